#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

// Reading elements and attributes of a parsed document, the same way for the
// download list and for segment files.
//
// Names are matched as written in the file: a prefixed name never matches.
// An attribute's value is its text as the file writes it. A reference to an
// entity that the document itself declares is never expanded (a few
// kilobytes of references to a large entity would otherwise become
// gigabytes); it stays in the value as the text "&name;". Character
// references and the five predefined entities are plain text by then.

bool IsNamed(const xmlChar* name, const xmlNs* ns, const char* wanted);

// The first child element with this name, or nullptr.
xmlNodePtr FirstChildElement(xmlNodePtr parent, const char* name);

// The attribute with this name, or nullptr.
xmlAttrPtr FindAttribute(xmlNodePtr element, const char* name);

std::string AttributeValue(const xmlAttr* attribute);

// How many attributes the element carries, prefixed ones included.
std::size_t AttributeCount(const xmlNode* element);

// The unprefixed attributes of an element by name, so that a long queue is
// read without scanning every attribute once per range. Valid while the
// element's attributes stay as they were.
class AttributeIndex {
public:
    explicit AttributeIndex(xmlNodePtr element);
    // The attribute with this name, or nullptr.
    xmlAttrPtr Find(const std::string& name) const;
    void Add(xmlAttrPtr attribute);

private:
    std::unordered_map<std::string_view, xmlAttrPtr> byName_;
};
