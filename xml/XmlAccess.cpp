#include "xml/XmlAccess.h"

namespace {

const xmlChar* Xml(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

bool Unprefixed(const xmlNs* ns) {
    return ns == nullptr || ns->prefix == nullptr;
}

} // namespace

bool IsNamed(const xmlChar* name, const xmlNs* ns, const char* wanted) {
    return Unprefixed(ns) && xmlStrEqual(name, Xml(wanted));
}

xmlNodePtr FirstChildElement(xmlNodePtr parent, const char* name) {
    if (!parent || !name) return nullptr;
    for (xmlNodePtr child = parent->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE && IsNamed(child->name, child->ns, name)) return child;
    return nullptr;
}

xmlAttrPtr FindAttribute(xmlNodePtr element, const char* name) {
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next)
        if (IsNamed(attribute->name, attribute->ns, name)) return attribute;
    return nullptr;
}

std::string AttributeValue(const xmlAttr* attribute) {
    std::string value;
    for (const xmlNode* part = attribute->children; part; part = part->next) {
        if (part->type == XML_ENTITY_REF_NODE)
            value.append("&").append(reinterpret_cast<const char*>(part->name)).append(";");
        else if (part->content)
            value += reinterpret_cast<const char*>(part->content);
    }
    return value;
}

std::size_t AttributeCount(const xmlNode* element) {
    std::size_t count = 0;
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next)
        ++count;
    return count;
}

AttributeIndex::AttributeIndex(xmlNodePtr element) {
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next)
        Add(attribute);
}

xmlAttrPtr AttributeIndex::Find(const std::string& name) const {
    const auto found = byName_.find(name);
    return found == byName_.end() ? nullptr : found->second;
}

void AttributeIndex::Add(xmlAttrPtr attribute) {
    if (Unprefixed(attribute->ns))
        byName_.emplace(reinterpret_cast<const char*>(attribute->name), attribute);
}
