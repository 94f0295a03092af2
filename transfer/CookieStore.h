#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One cookie as a server set it.
struct Cookie {
    std::string name;
    std::string value;
    std::string domain; // lower case, without a leading dot
    std::string path;
    std::optional<std::int64_t> expires; // seconds since 1970 (UTC); none: until the client ends
    bool secure = false;
};

// Reads one Set-cookie (or Set-cookie2) value set by an answer from
// `requestHost`, at `now` (seconds since 1970). Pure: it does not judge
// whether the cookie may be stored.
Cookie ParseSetCookie(std::string_view value, std::string_view requestHost, std::int64_t now);

// Whether a cookie of `domain` (as set, any case, one leading dot allowed)
// belongs to `host`: the host is the domain or ends with "." + domain. A
// host written as a dotted IPv4 address, and a domain without an inner dot,
// only match themselves.
bool DomainMatches(std::string_view host, std::string_view domain);

// The cookies that servers set, kept for the life of the client and sent
// back to the hosts they belong to.
class CookieStore {
public:
    // Takes every Set-cookie and Set-cookie2 header of a header block that
    // answered a request to `requestHost`.
    void TakeHeaders(const std::vector<std::string>& headerLines, std::string_view requestHost,
                     std::int64_t now);
    // Stores a cookie unless its domain does not fit `requestHost`; a cookie
    // of the same domain and name is replaced in place.
    void Add(Cookie cookie, std::string_view requestHost);
    // Removes cookies whose expiry time has come.
    void RemoveExpired(std::int64_t now);
    // The Cookie header value for a request: most recently added domain
    // first, within a domain in the order the names first arrived; empty
    // when no cookie applies.
    std::string CookieList(std::string_view host, std::string_view directory) const;

    // All stored cookies, domain by domain in the order the domains were added.
    std::vector<Cookie> All() const;
    bool Empty() const { return domains_.empty(); }

private:
    struct Domain {
        std::string name;
        std::vector<Cookie> cookies;
    };
    std::vector<Domain> domains_; // in the order first added
};

// The current time as seconds since 1970 (UTC).
std::int64_t UnixTimeNow();
