#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// How many leading bytes of a file the sniffing below looks at.
constexpr std::size_t kHeadBytes = 512;

// The first kHeadBytes bytes of the file open at fd: fewer when the file is
// shorter, none when it cannot be read.
std::string ReadHead(int fd);

// The encoding named by the XML declaration at the start of head (after a
// UTF-8 byte-order mark), or "" when it names none.
std::string DeclaredEncoding(std::string_view head);

// The encoding the parser will read a file starting with head in: the first
// bytes tell UTF-16, UCS-4 and EBCDIC apart, otherwise the declaration names it.
std::string StreamEncoding(std::string_view head);

// Encodings in which "<", "=" and a line feed are the ASCII bytes and no
// other character holds those bytes ("" included: the parser's default).
bool KeepsAsciiBytes(const std::string& encoding);

// bytes in the given encoding as well-formed UTF-8; what cannot be converted
// becomes U+FFFD. An unknown encoding is taken for UTF-8.
std::string ToUtf8(const std::string& bytes, const std::string& encoding);

struct IconvClose {
    void operator()(void* cd) const noexcept;
};
using IconvPtr = std::unique_ptr<void, IconvClose>;

// An iconv descriptor from encoding to UTF-8, or null when there is none.
IconvPtr OpenToUtf8(const std::string& encoding);

// Decodes text that arrives piece by piece into UTF-8.
class Utf8StreamDecoder {
public:
    // Receives the UTF-8 text in parts; false stops the decoding.
    using Sink = std::function<bool(std::string_view)>;

    explicit Utf8StreamDecoder(const std::string& encoding);
    // False when the encoding cannot be converted.
    bool Valid() const { return cd_ != nullptr; }
    // Decodes the next piece. A character cut off at its end waits for the
    // next piece; an invalid sequence counts as nothing. False as soon as the
    // sink says false.
    bool Feed(std::string_view bytes, const Sink& sink);

private:
    IconvPtr cd_;
    std::string pending_;
};
