#pragma once

#include <libxml/parser.h>

// An entity whose text holds a crowded start tag is refused where it is
// declared: the parser parses an entity's text when it is first referred to,
// after character references in it have been replaced, which the scan of
// the file cannot see.
struct EntityGuard {
    bool crowded = false;
    // Where the refused declaration is.
    int line = 0;
};

// Has the parser of ctxt stop at the declaration of such an entity and note
// it in guard, which must outlive the parse. Other declarations are kept as
// the parser keeps them.
void GuardEntityDeclarations(xmlParserCtxt* ctxt, EntityGuard& guard);
