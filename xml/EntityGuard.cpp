#include "xml/EntityGuard.h"

#include "xml/AttributeGuard.h"

#include <libxml/SAX2.h>

namespace {

void GuardedEntityDecl(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                       const xmlChar* systemId, xmlChar* content) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
    auto* guard = static_cast<EntityGuard*>(ctxt->_private);
    if (guard && content && CrowdedText(reinterpret_cast<const char*>(content))) {
        guard->crowded = true;
        guard->line = xmlSAX2GetLineNumber(context);
        xmlStopParser(ctxt);
        return;
    }
    xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
}

} // namespace

void GuardEntityDeclarations(xmlParserCtxt* ctxt, EntityGuard& guard) {
    ctxt->_private = &guard;
    ctxt->sax->entityDecl = GuardedEntityDecl;
}
