#pragma once

// URLs as the client takes them apart and completes them from the previous
// request.

#include <string>
#include <string_view>

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
// Whether the scheme is https (any letter case): such a URL is fetched over TLS.
bool IsHttps(const UrlParts& url);
// A port text as a number; 0 when it is not a usable port.
int PortNumber(std::string_view text);

// Scheme, host and port: whom a request speaks to.
struct Origin {
    std::string scheme; // lower case
    std::string host;   // lower case
    int port = 0;

    bool operator==(const Origin&) const = default;
};
Origin OriginOf(const UrlParts& completedUrl);
// host, plus ":" and the port unless it is the scheme's default port (443
// for https, 80 for every other scheme).
std::string HostValue(const UrlParts& url);
// Whether two URLs, completed, name the same file on the same server: the
// same scheme and host (letter case aside), port and path; the query may
// differ. URLs that cannot be completed are never the same.
bool SameEnd(std::string_view a, std::string_view b);
// The URL of completed parts, without user information: the scheme in lower
// case, "://", the Host value and the target.
std::string UrlText(const UrlParts& url);
