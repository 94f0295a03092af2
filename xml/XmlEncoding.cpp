#include "xml/XmlEncoding.h"

#include "xml/Utf8.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <strings.h>
#include <unistd.h>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Converts in through cd, handing the UTF-8 text to sink in parts and
// consuming in as it goes. A character cut off at the end is left in `in`
// when waitForRest, otherwise it is an invalid sequence; an invalid sequence
// becomes the `invalid` text and the conversion goes on after its first
// byte. False as soon as the sink says false.
bool Convert(iconv_t cd, std::string_view& in, bool waitForRest, std::string_view invalid,
             const Utf8StreamDecoder::Sink& sink) {
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char out[4096];
    bool accepted = true;
    while (inLeft > 0) {
        char* outPtr = out;
        std::size_t outLeft = sizeof out;
        const std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        if (!sink(std::string_view(out, static_cast<std::size_t>(outPtr - out)))) {
            accepted = false;
            break;
        }
        if (rc != static_cast<std::size_t>(-1) || error == E2BIG) continue;
        if (error == EINVAL && waitForRest) break;
        if (!invalid.empty() && !sink(invalid)) {
            accepted = false;
            break;
        }
        ++inPtr;
        --inLeft;
    }
    in = std::string_view(inPtr, inLeft);
    return accepted;
}

} // namespace

std::string ReadHead(int fd) {
    char head[kHeadBytes];
    ssize_t got;
    do {
        got = pread(fd, head, sizeof head, 0);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? std::string(head, static_cast<std::size_t>(got)) : std::string();
}

std::string DeclaredEncoding(std::string_view text) {
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

std::string StreamEncoding(std::string_view head) {
    using namespace std::string_view_literals;
    if (head.starts_with("\x00\x00\xFE\xFF"sv) || head.starts_with("\x00\x00\x00<"sv))
        return "UTF-32BE";
    if (head.starts_with("\xFF\xFE\x00\x00"sv) || head.starts_with("<\x00\x00\x00"sv))
        return "UTF-32LE";
    if (head.starts_with("\xFE\xFF"sv) || head.starts_with("\x00<\x00?"sv)) return "UTF-16BE";
    if (head.starts_with("\xFF\xFE"sv) || head.starts_with("<\x00?\x00"sv)) return "UTF-16LE";
    if (head.starts_with("\x4C\x6F\xA7\x94"sv)) return "IBM037";
    return DeclaredEncoding(head);
}

bool KeepsAsciiBytes(const std::string& encoding) {
    for (const char* prefix : {"UTF-8", "UTF8", "US-ASCII", "ASCII", "ISO-8859", "ISO8859",
                               "WINDOWS-125", "CP125", "KOI8", "LATIN"})
        if (strncasecmp(encoding.c_str(), prefix, std::strlen(prefix)) == 0) return true;
    return encoding.empty();
}

std::string ToUtf8(const std::string& bytes, const std::string& encoding) {
    if (encoding.empty() || strcasecmp(encoding.c_str(), "UTF-8") == 0 ||
        strcasecmp(encoding.c_str(), "UTF8") == 0)
        return SanitizeUtf8(bytes);
    const IconvPtr cd = OpenToUtf8(encoding);
    if (!cd) return SanitizeUtf8(bytes);
    std::string result;
    std::string_view in = bytes;
    Convert(static_cast<iconv_t>(cd.get()), in, false, kReplacement, [&](std::string_view text) {
        result.append(text);
        return true;
    });
    return SanitizeUtf8(result);
}

void IconvClose::operator()(void* cd) const noexcept {
    iconv_close(static_cast<iconv_t>(cd));
}

IconvPtr OpenToUtf8(const std::string& encoding) {
    const iconv_t cd = iconv_open("UTF-8", encoding.c_str());
    return IconvPtr(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

Utf8StreamDecoder::Utf8StreamDecoder(const std::string& encoding) : cd_(OpenToUtf8(encoding)) {}

bool Utf8StreamDecoder::Feed(std::string_view bytes, const Sink& sink) {
    pending_.append(bytes);
    std::string_view in = pending_;
    if (!Convert(static_cast<iconv_t>(cd_.get()), in, true, {}, sink)) return false;
    pending_.erase(0, pending_.size() - in.size());
    return true;
}
