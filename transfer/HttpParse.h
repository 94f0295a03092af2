#pragma once

// The wire-format pieces of the HTTP client as pure functions over bytes:
// URL splitting, the request head, the status line, header lookup, body
// framing values and HTTP dates. Nothing here touches a socket.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest line of an answer; a longer one fails the request.
inline constexpr std::size_t kMaxAnswerLineLength = 16384;
// Most header lines in one header block; more fail like an over-long line,
// so a hostile server cannot make the client hold an unbounded header block.
inline constexpr std::size_t kMaxHeaderLines = 1000;
// Largest single read from the connection.
inline constexpr std::size_t kReadBlockSize = 32768;
// Header lines of a request longer than this are folded.
inline constexpr std::size_t kMaxRequestHeaderLineLength = 1024;
// Largest Content-Length that counts as known.
inline constexpr std::int64_t kMaxContentLength = 2147483647;

// Characters 0 to 32 count as blanks.
inline bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
std::string_view TrimBlanks(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);
// Four decimal numbers 0-255 separated by dots.
bool IsDottedIPv4(std::string_view host);

// A URL taken apart; backslashes count as slashes. Parts the URL does not
// have are empty.
struct UrlParts {
    std::string scheme; // as written, without "://"
    std::string userName;
    std::string password;
    std::string host;
    std::string port;
    std::string target;    // "/" + path and query, without any "#" part
    std::string directory; // target up to and including its last "/" before any "?"
};
UrlParts SplitUrl(std::string_view url);

// What a URL lacks is filled in from the previous request.
struct PreviousRequest {
    std::string scheme;
    std::string host;
    std::string port;
};
// Fills in host, scheme and port. Throws HttpFailure "Unknown Protocol" when
// no port can be found.
UrlParts CompleteUrl(UrlParts url, const PreviousRequest& previous);
// host, plus ":" and the port unless the port is "80".
std::string HostValue(const UrlParts& url);

// Everything that varies in a request head.
struct RequestHeadFields {
    std::string method;        // "HEAD" or "GET"
    std::string requestTarget; // origin form, or absolute form through a proxy
    bool viaProxy = false;
    std::string host;               // the Host value
    std::string byteRange;          // empty: no Range header
    std::string authorization;      // full value, empty: none
    std::string proxyAuthorization; // full value, empty: none
    std::string cookie;             // empty: none
};
// The complete head, ending with the empty line.
std::string BuildRequestHead(const RequestHeadFields& fields);
// A header line longer than kMaxRequestHeaderLineLength broken after spaces,
// tabs or commas outside double quotes; pieces are joined by CR LF and one
// space. Shorter lines come back unchanged.
std::string FoldHeaderLine(std::string_view line);

// The status code of a status line; -1 when it is not a number.
int ParseStatusCode(std::string_view statusLine);

// The value of the first header line named `name` (letter case ignored),
// joined with its continuation lines by single spaces, blanks trimmed;
// empty when absent.
std::string FindHeaderValue(const std::vector<std::string>& lines, std::string_view name);
// The values of every header line named `name`, in order.
std::vector<std::string> FindHeaderValues(const std::vector<std::string>& lines,
                                          std::string_view name);

// A Content-Length value; nullopt ("unknown") when it is not a decimal
// number, is negative or exceeds kMaxContentLength.
std::optional<std::int64_t> ParseContentLength(std::string_view value);
// The size on a chunk-size line: the hexadecimal text up to the first space
// (or chunk extension); 0 when that is not a hexadecimal number or does not
// fit a signed 64-bit integer.
std::uint64_t ParseChunkSize(std::string_view line);
// True when the Connection or Proxy-Connection value is keep-alive.
bool AllowsKeepAlive(const std::vector<std::string>& lines);
// True when Transfer-Encoding contains "chunked".
bool IsChunkedBody(const std::vector<std::string>& lines);

// Seconds since 1970-01-01 00:00:00 UTC of an HTTP date in RFC 1123, RFC 850
// or asctime form (and the common cookie form with dashes and a four-digit
// year); nullopt when the text is not such a date.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);
