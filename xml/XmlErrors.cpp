#include "xml/XmlErrors.h"

#include "xml/Utf8.h"
#include "xml/XmlEncoding.h"

#include <cerrno>
#include <unistd.h>

namespace {

// How many characters of the faulty line a parse failure quotes.
constexpr std::size_t kQuotedCharacters = 40;
// Enough bytes for that many characters in any encoding a list may use.
constexpr std::size_t kQuotedBytes = kQuotedCharacters * 4;

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

} // namespace

XmlErrorCapture::XmlErrorCapture()
    : previousContext_(xmlStructuredErrorContext), previousHandler_(xmlStructuredError) {
    // A generic lambda adapts to the handler type of whichever libxml2
    // version is installed (the error pointer became const in later ones).
    xmlStructuredErrorFunc handler = [](void* self, auto* error) {
        static_cast<XmlErrorCapture*>(self)->Record(*error);
    };
    xmlSetStructuredErrorFunc(this, handler);
}

XmlErrorCapture::~XmlErrorCapture() {
    xmlSetStructuredErrorFunc(previousContext_, previousHandler_);
}

// The first fatal error is what stopped the parser; later reports follow
// from it. A plain error is kept only until a fatal one arrives.
void XmlErrorCapture::Record(const xmlError& error) {
    if (error.level <= level_ || (level_ >= XML_ERR_ERROR && error.level != XML_ERR_FATAL)) return;
    level_ = error.level;
    reason_ = error.message ? SanitizeUtf8(error.message) : std::string();
    while (!reason_.empty() && (reason_.back() == '\n' || reason_.back() == '\r'))
        reason_.pop_back();
    line_ = error.line;
}

std::string ParseFailureMessage(const std::string& reason, int line, const std::string& lineText) {
    return reason + "\r\n" + "Line" + ": " + std::to_string(line) + "\r\n" + lineText;
}

std::string QuotedLine(int fd, int line) {
    return FirstCodePoints(
        ToUtf8(ReadLineBytes(fd, line, kQuotedBytes), DeclaredEncoding(ReadHead(fd))),
        kQuotedCharacters);
}
