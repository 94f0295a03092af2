#include "list/XmlDoc.h"

#include "common/AppError.h"
#include "common/UniqueFd.h"
#include "list/Utf8.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>

namespace {

// How many characters of the faulty line a parse failure quotes.
constexpr std::size_t kQuotedCharacters = 40;
// Enough bytes for that many characters in any encoding a list may use.
constexpr std::size_t kQuotedBytes = kQuotedCharacters * 4;

struct ParserCtxtFree {
    void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtFree>;

// While alive, libxml2's reports on this thread are kept here instead of being
// printed; the handler that was installed before comes back afterwards.
class XmlErrorCapture {
public:
    XmlErrorCapture()
        : previousContext_(xmlStructuredErrorContext), previousHandler_(xmlStructuredError) {
        // A generic lambda adapts to the handler type of whichever libxml2
        // version is installed (the error pointer became const in later ones).
        xmlStructuredErrorFunc handler = [](void* self, auto* error) {
            static_cast<XmlErrorCapture*>(self)->Record(*error);
        };
        xmlSetStructuredErrorFunc(this, handler);
    }
    ~XmlErrorCapture() { xmlSetStructuredErrorFunc(previousContext_, previousHandler_); }
    XmlErrorCapture(const XmlErrorCapture&) = delete;
    XmlErrorCapture& operator=(const XmlErrorCapture&) = delete;

    bool HasError() const { return level_ >= XML_ERR_ERROR; }
    const std::string& Reason() const { return reason_; }
    int Line() const { return line_; }

private:
    // The first fatal error is what stopped the parser; later reports follow
    // from it. A plain error is kept only until a fatal one arrives.
    void Record(const xmlError& error) {
        if (error.level <= level_ || (level_ >= XML_ERR_ERROR && error.level != XML_ERR_FATAL))
            return;
        level_ = error.level;
        reason_ = error.message ? SanitizeUtf8(error.message) : std::string();
        while (!reason_.empty() && (reason_.back() == '\n' || reason_.back() == '\r'))
            reason_.pop_back();
        line_ = error.line;
    }

    void* previousContext_;
    xmlStructuredErrorFunc previousHandler_;
    int level_ = XML_ERR_NONE;
    std::string reason_;
    int line_ = 0;
};

// The bytes of line number `line` (counted from 1), without its line break,
// at most limit of them.
std::string ReadLineBytes(int fd, int line, std::size_t limit) {
    std::string result;
    if (line < 1) return result;
    char chunk[65536];
    int current = 1;
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd, chunk, sizeof chunk, offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        offset += got;
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                if (current == line) {
                    if (!result.empty() && result.back() == '\r') result.pop_back();
                    return result;
                }
                ++current;
            } else if (current == line) {
                result += chunk[i];
                if (result.size() >= limit) return result;
            }
        }
    }
    if (!result.empty() && result.back() == '\r') result.pop_back();
    return result;
}

// The encoding named by the file's XML declaration, or "" when it names none.
std::string DeclaredEncoding(int fd) {
    char head[512];
    ssize_t got;
    do {
        got = pread(fd, head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return {};
    std::string_view text(head, static_cast<std::size_t>(got));
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!text.starts_with("<?xml")) return {};
    text = text.substr(0, text.find("?>"));
    const std::size_t key = text.find("encoding");
    if (key == std::string_view::npos) return {};
    text.remove_prefix(key + 8);
    const auto skipSpaces = [&] {
        while (!text.empty() &&
               (text[0] == ' ' || text[0] == '\t' || text[0] == '\r' || text[0] == '\n'))
            text.remove_prefix(1);
    };
    skipSpaces();
    if (text.empty() || text[0] != '=') return {};
    text.remove_prefix(1);
    skipSpaces();
    if (text.empty() || (text[0] != '"' && text[0] != '\'')) return {};
    const char quote = text[0];
    text.remove_prefix(1);
    const std::size_t end = text.find(quote);
    if (end == std::string_view::npos) return {};
    return std::string(text.substr(0, end));
}

struct IconvClose {
    void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};

// bytes in the given encoding as well-formed UTF-8; what cannot be converted
// becomes U+FFFD.
std::string ToUtf8(const std::string& bytes, const std::string& encoding) {
    if (encoding.empty() || strcasecmp(encoding.c_str(), "UTF-8") == 0 ||
        strcasecmp(encoding.c_str(), "UTF8") == 0)
        return SanitizeUtf8(bytes);
    iconv_t opened = iconv_open("UTF-8", encoding.c_str());
    if (opened == reinterpret_cast<iconv_t>(-1)) return SanitizeUtf8(bytes);
    std::unique_ptr<void, IconvClose> cd(opened);
    std::string result;
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char out[256];
    while (inLeft > 0) {
        char* outPtr = out;
        std::size_t outLeft = sizeof out;
        const std::size_t rc = iconv(opened, &in, &inLeft, &outPtr, &outLeft);
        result.append(out, static_cast<std::size_t>(outPtr - out));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // An invalid or cut-off sequence: mark it and go on after its first byte.
            result += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
        }
    }
    return SanitizeUtf8(result);
}

// What the readers take in. libxml2 checks the attribute names of one start
// tag for duplicates pair by pair, so a tag with a few hundred thousand
// attributes keeps it busy for hours; and a document's tree takes many times
// the document's size in memory.
constexpr off_t kMaxDocumentBytes = 32 << 20;
constexpr std::size_t kMaxAttributes = 20000;

// Where the first start tag with more than kMaxAttributes attributes begins in
// UTF-8 text, or npos. Every attribute needs an "=" of its own, and a "<"
// ends the attributes of a tag even inside a value (the parser refuses it
// there), so counting the "=" between one "<" and the next bounds the count
// from above without following quotes, comments or the DTD.
std::size_t CrowdedTagOffset(std::string_view text) {
    std::size_t tag = std::string_view::npos;
    std::size_t equals = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '<') {
            tag = i;
            equals = 0;
        } else if (text[i] == '=' && tag != std::string_view::npos && ++equals > kMaxAttributes) {
            return tag;
        }
    }
    return std::string_view::npos;
}

// The whole file as UTF-8, decoded as the parser will decode it: the first
// bytes tell UTF-16, UCS-4 and EBCDIC apart, otherwise the declaration names
// the encoding.
std::string DecodedText(const std::string& bytes, int fd) {
    const auto startsWith = [&](std::string_view head) {
        return bytes.compare(0, head.size(), head) == 0;
    };
    using namespace std::string_view_literals;
    if (startsWith("\x00\x00\xFE\xFF"sv) || startsWith("\x00\x00\x00<"sv))
        return ToUtf8(bytes, "UTF-32BE");
    if (startsWith("\xFF\xFE\x00\x00"sv) || startsWith("<\x00\x00\x00"sv))
        return ToUtf8(bytes, "UTF-32LE");
    if (startsWith("\xFE\xFF"sv) || startsWith("\x00<\x00?"sv)) return ToUtf8(bytes, "UTF-16BE");
    if (startsWith("\xFF\xFE"sv) || startsWith("<\x00?\x00"sv)) return ToUtf8(bytes, "UTF-16LE");
    if (startsWith("\x4C\x6F\xA7\x94"sv)) return ToUtf8(bytes, "IBM037");
    return ToUtf8(bytes, DeclaredEncoding(fd));
}

std::string CrowdedReason() {
    return "Too many attributes in one element (more than " + std::to_string(kMaxAttributes) + ")";
}

// Refuses, before the parser sees it, a file larger than kMaxDocumentBytes or
// one with a start tag that carries more than kMaxAttributes attributes.
void RefuseOverload(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    if (status.st_size > kMaxDocumentBytes)
        throw AppError(ParseFailureMessage(std::strerror(EFBIG), 0, ""));
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n =
            pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    const std::string text = DecodedText(bytes, fd);
    const std::size_t tag = CrowdedTagOffset(text);
    if (tag == std::string::npos) return;
    const int line = 1 + static_cast<int>(std::count(
                             text.begin(), text.begin() + static_cast<std::ptrdiff_t>(tag), '\n'));
    throw AppError(ParseFailureMessage(
        CrowdedReason(), line,
        FirstCodePoints(ToUtf8(ReadLineBytes(fd, line, kQuotedBytes), DeclaredEncoding(fd)),
                        kQuotedCharacters)));
}

// An entity whose text holds a crowded start tag is refused where it is
// declared: the parser parses an entity's text when it is first referred to,
// after character references in it have been replaced, which the scan of
// the file cannot see.
struct EntityGuard {
    bool crowded = false;
    int line = 0;
};

void GuardedEntityDecl(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                       const xmlChar* systemId, xmlChar* content) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(context);
    auto* guard = static_cast<EntityGuard*>(ctxt->_private);
    if (guard && content &&
        CrowdedTagOffset(reinterpret_cast<const char*>(content)) != std::string_view::npos) {
        guard->crowded = true;
        guard->line = xmlSAX2GetLineNumber(context);
        xmlStopParser(ctxt);
        return;
    }
    xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
}

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

std::string ParseFailureMessage(const std::string& reason, int line, const std::string& lineText) {
    return reason + "\r\n" + "Line" + ": " + std::to_string(line) + "\r\n" + lineText;
}

XmlDocPtr ParseXmlFile(const std::string& path) {
    // Non-blocking open so that a FIFO in the file's place cannot hang us.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    struct stat status {};
    if (fstat(fd.Get(), &status) != 0)
        throw AppError(ParseFailureMessage(std::strerror(errno), 0, ""));
    if (S_ISDIR(status.st_mode)) throw AppError(ParseFailureMessage(std::strerror(EISDIR), 0, ""));
    if (!S_ISREG(status.st_mode)) throw AppError(ParseFailureMessage("Not a regular file", 0, ""));

    return ParseXmlFd(fd.Get(), path.c_str());
}

XmlDocPtr ParseXmlFd(int fd, const char* url) {
    RefuseOverload(fd);
    XmlDocPtr doc;
    std::string reason;
    int line = 0;
    {
        XmlErrorCapture errors;
        ParserCtxtPtr ctxt(xmlNewParserCtxt());
        if (!ctxt) throw std::bad_alloc();
        EntityGuard guard;
        ctxt->_private = &guard;
        ctxt->sax->entityDecl = GuardedEntityDecl;
        // No XML_PARSE_NOENT (entity substitution), no DTD loading, no XML_PARSE_HUGE:
        // the parser's own limits on depth and sizes stay in force.
        doc.reset(xmlCtxtReadFd(ctxt.get(), fd, url, nullptr,
                                XML_PARSE_NOBLANKS | XML_PARSE_NONET));
        if (doc && xmlDocGetRootElement(doc.get()) && !guard.crowded) return doc;
        doc.reset();
        if (guard.crowded) {
            reason = CrowdedReason();
            line = guard.line;
        } else {
            reason = errors.HasError() ? errors.Reason() : std::string("Document is empty");
            line = errors.HasError() ? errors.Line() : 0;
        }
    }
    const std::string lineText = FirstCodePoints(
        ToUtf8(ReadLineBytes(fd, line, kQuotedBytes), DeclaredEncoding(fd)),
        kQuotedCharacters);
    throw AppError(ParseFailureMessage(reason, line, lineText));
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
    // The writer turns a character the encoding lacks into a character
    // reference, which is sound in text but not inside a name or a DTD: such
    // a file would never load again. Where that can happen, the text is
    // parsed back first.
    if (MayNotReadBack(doc) && !ParsesBack(buffer.get())) throw AppError(refused);
    return buffer;
}
