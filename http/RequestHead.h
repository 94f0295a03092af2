#pragma once

// The head of a request, written whole in one piece.

#include <cstddef>
#include <string>
#include <string_view>

// Header lines of a request longer than this are folded.
inline constexpr std::size_t kMaxRequestHeaderLineLength = 1024;

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
// The head that asks a proxy for a tunnel to `authority` (host:port), with
// the proxy's credential (full value, empty: none) and nothing of the server's.
std::string BuildConnectHead(const std::string& authority, const std::string& proxyAuthorization);
// A header line longer than kMaxRequestHeaderLineLength broken after spaces,
// tabs or commas outside double quotes; pieces are joined by CR LF and one
// space. Shorter lines come back unchanged.
std::string FoldHeaderLine(std::string_view line);
