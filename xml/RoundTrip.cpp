#include "xml/RoundTrip.h"

#include "xml/XmlDoc.h"
#include "xml/XmlErrors.h"

#include <libxml/parser.h>

namespace {

bool IsAscii(const xmlChar* text) {
    if (text)
        for (; *text; ++text)
            if (*text >= 0x80) return false;
    return true;
}

bool NsIsAscii(const xmlNs* ns) {
    return !ns || IsAscii(ns->prefix);
}

// Whether the document has a DTD, or a name (of an element, an attribute, a
// namespace prefix, a processing instruction or an entity reference) beyond
// ASCII. Only then can its written text differ from what it holds.
bool MayNotReadBack(xmlDoc* doc) {
    if (doc->intSubset || doc->extSubset) return true;
    const xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node;) {
        switch (node->type) {
        case XML_ELEMENT_NODE:
            if (!IsAscii(node->name) || !NsIsAscii(node->ns)) return true;
            for (const xmlNs* ns = node->nsDef; ns; ns = ns->next)
                if (!NsIsAscii(ns)) return true;
            for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next)
                if (!IsAscii(attribute->name) || !NsIsAscii(attribute->ns)) return true;
            break;
        case XML_PI_NODE:
        case XML_ENTITY_REF_NODE:
            if (!IsAscii(node->name)) return true;
            break;
        default:
            break;
        }
        if (node->type == XML_ELEMENT_NODE && node->children) {
            node = node->children;
            continue;
        }
        while (node != top && !node->next)
            node = node->parent;
        node = node == top ? nullptr : node->next;
    }
    return false;
}

// Whether the written text loads again as ParseXmlFd loads the list.
bool ParsesBack(xmlBuffer* text) {
    XmlErrorCapture quiet;
    const XmlDocPtr again(xmlReadMemory(reinterpret_cast<const char*>(xmlBufferContent(text)),
                                        xmlBufferLength(text), nullptr, nullptr,
                                        XML_PARSE_NOBLANKS | XML_PARSE_NONET));
    return again && xmlDocGetRootElement(again.get());
}

} // namespace

bool ReadsBack(xmlDoc* doc, xmlBuffer* text) {
    return !MayNotReadBack(doc) || ParsesBack(text);
}
