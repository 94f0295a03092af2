#include "xml/XmlDoc.h"

#include "common/AppError.h"
#include "common/UniqueFd.h"
#include "xml/AttributeGuard.h"
#include "xml/EntityGuard.h"
#include "xml/RoundTrip.h"
#include "xml/XmlErrors.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct ParserCtxtFree {
    void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtFree>;

} // namespace

XmlDocPtr ParseXmlFile(const std::string& path, off_t maxBytes) {
    // Non-blocking open so that a FIFO in the file's place cannot hang us.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    struct stat status {};
    if (fstat(fd.Get(), &status) != 0)
        throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    if (S_ISDIR(status.st_mode)) throw AppError(ParseFailureMessage(std::strerror(EISDIR), 0, ""));
    if (!S_ISREG(status.st_mode)) throw AppError(ParseFailureMessage("Not a regular file", 0, ""));

    return ParseXmlFd(fd.Get(), maxBytes, path.c_str());
}

XmlDocPtr ParseXmlFd(int fd, off_t maxBytes, const char* url) {
    // A document's tree takes many times the document's size in memory.
    struct stat status {};
    if (fstat(fd, &status) != 0) throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    if (status.st_size > maxBytes) throw AppError(ParseFailureMessage(std::strerror(EFBIG), 0, ""));
    XmlDocPtr doc;
    std::string reason;
    int line = 0;
    {
        XmlErrorCapture errors;
        ParserCtxtPtr ctxt(xmlNewParserCtxt());
        if (!ctxt) throw std::bad_alloc();
        EntityGuard guard;
        GuardEntityDeclarations(ctxt.get(), guard);
        CountingInput input(fd);
        // No XML_PARSE_NOENT (entity substitution), no DTD loading, no XML_PARSE_HUGE:
        // the parser's own limits on depth and sizes stay in force.
        doc.reset(xmlCtxtReadIO(ctxt.get(), CountingInput::Read, nullptr, &input, url, nullptr,
                                XML_PARSE_NOBLANKS | XML_PARSE_NONET));
        const bool crowded = guard.crowded || input.Counter().Crowded();
        if (doc && xmlDocGetRootElement(doc.get()) && !crowded) return doc;
        doc.reset();
        if (crowded) {
            reason = CrowdedReason();
            line = guard.crowded ? guard.line : input.Counter().TagLine();
        } else {
            reason = errors.HasError() ? errors.Reason() : std::string("Document is empty");
            line = errors.HasError() ? errors.Line() : 0;
        }
    }
    throw AppError(ParseFailureMessage(reason, line, QuotedLine(fd, line)));
}

XmlBufferPtr SerializeXml(xmlDoc* doc, const char* encoding) {
    XmlBufferPtr buffer(xmlBufferCreate());
    if (!buffer) throw std::bad_alloc();
    // Grow geometrically: the writer appends the text in small pieces.
    xmlBufferSetAllocationScheme(buffer.get(), XML_BUFFER_ALLOC_DOUBLEIT);
    const std::string refused = std::string("The document cannot be written in ") + encoding;
    {
        XmlErrorCapture errors;
        xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer.get(), encoding, 0);
        if (!save) throw AppError(std::string("Unsupported encoding ") + encoding);
        const long written = xmlSaveDoc(save, doc);
        // Closing flushes the encoder; an unencodable text shows up as an error here.
        const int closed = xmlSaveClose(save);
        if (written < 0 || closed < 0 || errors.HasError()) throw AppError(refused);
    }
    if (!ReadsBack(doc, buffer.get())) throw AppError(refused);
    return buffer;
}
