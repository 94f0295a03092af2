#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
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
// back to the hosts they belong to. What a server can make it hold is
// capped: a cookie whose name and value take more than kMaxCookieBytes is not
// stored, and beyond kMaxCookiesPerDomain cookies of one domain or
// kMaxCookies in all the one set longest ago goes first. The connections of
// one download share one store: every call may come from any thread.
class CookieStore {
public:
    static constexpr std::size_t kMaxCookiesPerDomain = 50;
    static constexpr std::size_t kMaxCookies = 1000;
    static constexpr std::size_t kMaxCookieBytes = 4096;

    // Takes every Set-cookie and Set-cookie2 header of a header block that
    // answered a request to `requestHost`, over https when `secureAnswer`.
    void TakeHeaders(const std::vector<std::string>& headerLines, std::string_view requestHost,
                     bool secureAnswer, std::int64_t now);
    // Stores a cookie unless its domain does not fit `requestHost` or it is
    // too large; a cookie of the same domain and name is replaced in place.
    // Only an https answer may set a secure cookie or replace one: what
    // arrived in clear text could have been put there by anyone on the way.
    void Add(Cookie cookie, std::string_view requestHost, bool secureAnswer);
    // Removes cookies whose expiry time has come.
    void RemoveExpired(std::int64_t now);
    // The Cookie header value for a request: most recently added domain
    // first, within a domain in the order the names first arrived; empty
    // when no cookie applies. A cookie marked secure goes only over a
    // secure connection.
    std::string CookieList(std::string_view host, std::string_view directory,
                           bool secureConnection = false) const;

    // All stored cookies, domain by domain in the order the domains were added.
    std::vector<Cookie> All() const;
    bool Empty() const;

private:
    struct Stored {
        Cookie cookie;
        std::uint64_t age; // when it was last set, counted in cookies added
    };
    struct Domain {
        std::string name;
        std::vector<Stored> cookies;
    };
    // Add, with mutex_ held.
    void AddHeld(Cookie cookie, std::string_view requestHost, bool secureAnswer);
    std::size_t Count() const;
    // Drops the cookie set longest ago, of one domain or of all.
    void DropOldest(Domain* within);

    mutable std::mutex mutex_;
    std::vector<Domain> domains_; // in the order first added
    std::uint64_t added_ = 0;
};
