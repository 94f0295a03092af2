#pragma once

#include <libxml/tree.h>

// Whether text, written from doc, loads again as the list is loaded.
//
// The writer turns a character the encoding lacks into a character
// reference, which is sound in text but not inside a name or a DTD: such a
// file would never load again. Only a document with a DTD or with a name
// beyond ASCII can be written that way, so only such a one is parsed back.
bool ReadsBack(xmlDoc* doc, xmlBuffer* text);
