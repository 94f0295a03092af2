#include "xml/XmlDoc.h"

#include "common/AppError.h"
#include "common/UniqueFd.h"
#include "xml/Utf8.h"

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

// libxml2 checks the attribute names of one start tag for duplicates pair by
// pair before any callback sees the tag, so a tag with a few hundred
// thousand attributes keeps it busy for hours. The attributes are therefore
// counted in the text on its way into the parser, and the tag is never
// handed over.
constexpr std::size_t kMaxAttributes = 20000;

// Counts, over UTF-8 text given piece by piece, the "=" between one "<" and
// the next. Every attribute needs an "=" of its own, and a "<" ends the
// attributes of a tag even inside a value (the parser refuses it there), so
// the count bounds a tag's attributes from above without following quotes,
// comments or the DTD.
class AttributeCounter {
public:
    // False once some tag has more than kMaxAttributes attributes.
    bool Scan(std::string_view text) {
        for (const char c : text) {
            if (c == '\n') {
                ++line_;
            } else if (c == '<') {
                inTag_ = true;
                equals_ = 0;
                tagLine_ = line_;
            } else if (c == '=' && inTag_ && ++equals_ > kMaxAttributes) {
                crowded_ = true;
                return false;
            }
        }
        return true;
    }
    bool Crowded() const { return crowded_; }
    // The line (counted from 1) where the crowded tag begins.
    int TagLine() const { return tagLine_; }

private:
    bool inTag_ = false;
    bool crowded_ = false;
    std::size_t equals_ = 0;
    int line_ = 1;
    int tagLine_ = 1;
};

bool CrowdedText(std::string_view text) {
    AttributeCounter counter;
    return !counter.Scan(text);
}

// Encodings in which "<", "=" and a line feed are the ASCII bytes and no
// other character holds those bytes: their text is counted as it is.
bool KeepsAsciiBytes(const std::string& encoding) {
    for (const char* prefix : {"UTF-8", "UTF8", "US-ASCII", "ASCII", "ISO-8859", "ISO8859",
                               "WINDOWS-125", "CP125", "KOI8", "LATIN"})
        if (strncasecmp(encoding.c_str(), prefix, std::strlen(prefix)) == 0) return true;
    return encoding.empty();
}

// The encoding the parser will read the file in: the first bytes tell
// UTF-16, UCS-4 and EBCDIC apart, otherwise the declaration names it.
std::string StreamEncoding(int fd) {
    unsigned char head[4] = {};
    ssize_t got;
    do {
        got = pread(fd, head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    const std::string_view bytes(reinterpret_cast<const char*>(head),
                                 got > 0 ? static_cast<std::size_t>(got) : 0);
    using namespace std::string_view_literals;
    if (bytes.starts_with("\x00\x00\xFE\xFF"sv) || bytes.starts_with("\x00\x00\x00<"sv))
        return "UTF-32BE";
    if (bytes.starts_with("\xFF\xFE\x00\x00"sv) || bytes.starts_with("<\x00\x00\x00"sv))
        return "UTF-32LE";
    if (bytes.starts_with("\xFE\xFF"sv) || bytes.starts_with("\x00<\x00?"sv)) return "UTF-16BE";
    if (bytes.starts_with("\xFF\xFE"sv) || bytes.starts_with("<\x00?\x00"sv)) return "UTF-16LE";
    if (bytes.starts_with("\x4C\x6F\xA7\x94"sv)) return "IBM037";
    return DeclaredEncoding(fd);
}

// What the parser reads the file through: it passes the bytes on as they
// are, counting the attributes of each start tag on the way, and ends the
// input with an error instead of passing on a crowded tag.
class CountingInput {
public:
    explicit CountingInput(int fd) : fd_(fd) {
        const std::string encoding = StreamEncoding(fd);
        if (KeepsAsciiBytes(encoding)) return;
        iconv_t opened = iconv_open("UTF-8", encoding.c_str());
        if (opened != reinterpret_cast<iconv_t>(-1)) decoder_.reset(opened);
    }

    static int Read(void* self, char* buffer, int length) {
        return static_cast<CountingInput*>(self)->ReadSome(buffer, length);
    }

    const AttributeCounter& Counter() const { return counter_; }

private:
    int ReadSome(char* buffer, int length) {
        ssize_t got;
        do {
            got = pread(fd_, buffer, static_cast<std::size_t>(length), offset_);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return static_cast<int>(got);
        if (!Count(std::string_view(buffer, static_cast<std::size_t>(got)))) return -1;
        offset_ += got;
        return static_cast<int>(got);
    }

    bool Count(std::string_view bytes) {
        if (!decoder_) return counter_.Scan(bytes);
        // A character cut off at the end of a piece waits for the next one.
        pending_.append(bytes);
        char* in = pending_.data();
        std::size_t inLeft = pending_.size();
        char out[4096];
        while (inLeft > 0) {
            char* outPtr = out;
            std::size_t outLeft = sizeof out;
            const std::size_t rc = iconv(decoder_.get(), &in, &inLeft, &outPtr, &outLeft);
            if (!counter_.Scan(std::string_view(out, static_cast<std::size_t>(outPtr - out))))
                return false;
            if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
            if (errno == EINVAL) break;
            // An invalid sequence counts as nothing; go on after its first byte.
            ++in;
            --inLeft;
        }
        pending_.erase(0, pending_.size() - inLeft);
        return true;
    }

    int fd_;
    off_t offset_ = 0;
    std::unique_ptr<void, IconvClose> decoder_;
    std::string pending_;
    AttributeCounter counter_;
};

std::string CrowdedReason() {
    return "Too many attributes in one element (more than " + std::to_string(kMaxAttributes) + ")";
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
    if (guard && content && CrowdedText(reinterpret_cast<const char*>(content))) {
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
        ctxt->_private = &guard;
        ctxt->sax->entityDecl = GuardedEntityDecl;
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
    const std::string lineText = FirstCodePoints(
        ToUtf8(ReadLineBytes(fd, line, kQuotedBytes), DeclaredEncoding(fd)), kQuotedCharacters);
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
