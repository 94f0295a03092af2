#include "http/CookieStore.h"

#include "common/AsciiText.h"
#include "http/AnswerParse.h"
#include "http/HttpDate.h"

#include <limits>

namespace {

std::string_view WithoutLeadingDot(std::string_view domain) {
    if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
    return domain;
}

std::string_view Unquoted(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

// Max-age seconds, clamped rather than overflowing; nullopt when not a
// non-negative decimal number.
std::optional<std::int64_t> ParseMaxAge(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    constexpr std::int64_t kCap = std::int64_t{1} << 40; // far beyond any useful lifetime
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        if (value < kCap) value = value * 10 + (c - '0');
    }
    return value < kCap ? value : kCap;
}

} // namespace

Cookie ParseSetCookie(std::string_view value, std::string_view requestHost, std::int64_t now) {
    Cookie cookie;
    std::optional<std::int64_t> expires;
    bool expiresGiven = false;
    std::optional<std::int64_t> maxAge;
    std::string domain;
    bool first = true;
    while (true) {
        const auto semicolon = value.find(';');
        const std::string_view item = TrimBlanks(value.substr(0, semicolon));
        const auto eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        const std::string_view itemValue =
            eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        if (first) {
            cookie.name = name;
            cookie.value = itemValue;
            first = false;
        } else {
            const std::string_view attribute = TrimBlanks(name);
            const std::string_view attributeValue = TrimBlanks(itemValue);
            if (EqualsIgnoreCase(attribute, "path"))
                cookie.path = Unquoted(attributeValue);
            else if (EqualsIgnoreCase(attribute, "domain"))
                domain = attributeValue;
            else if (EqualsIgnoreCase(attribute, "expires"))
                expires = ParseHttpDate(attributeValue), expiresGiven = true;
            else if (EqualsIgnoreCase(attribute, "max-age"))
                maxAge = ParseMaxAge(attributeValue);
            else if (EqualsIgnoreCase(attribute, "secure"))
                cookie.secure = true;
        }
        if (semicolon == std::string_view::npos) break;
        value.remove_prefix(semicolon + 1);
    }
    if (cookie.path.empty()) cookie.path = "/";
    if (domain.empty()) domain = requestHost;
    cookie.domain = ToLowerAscii(WithoutLeadingDot(domain));
    // Max-age counts only without an "expires"; one that cannot be read
    // leaves the cookie without an expiry.
    cookie.expires = expiresGiven ? expires : maxAge ? std::optional(now + *maxAge) : std::nullopt;
    return cookie;
}

bool DomainMatches(std::string_view host, std::string_view domain) {
    domain = WithoutLeadingDot(domain);
    if (domain.empty() || host.empty()) return false;
    if (EqualsIgnoreCase(host, domain)) return true;
    // Beyond exact equality a domain must have an inner dot (no cookies for a
    // whole top-level domain), and an IPv4 host has no parent domains.
    if (IsDottedIPv4(host) || domain.find('.') == std::string_view::npos) return false;
    return host.size() > domain.size() + 1 && host[host.size() - domain.size() - 1] == '.' &&
           EqualsIgnoreCase(host.substr(host.size() - domain.size()), domain);
}

void CookieStore::TakeHeaders(const std::vector<std::string>& headerLines,
                              std::string_view requestHost, bool secureAnswer, std::int64_t now) {
    std::lock_guard lock(mutex_);
    // In the order received: a later header for the same name wins.
    for (std::size_t i = 0; i < headerLines.size();) {
        std::size_t next = i + 1;
        while (next < headerLines.size() && !headerLines[next].empty() &&
               (headerLines[next].front() == ' ' || headerLines[next].front() == '\t'))
            ++next;
        // One header with its continuation lines.
        const std::vector<std::string> header(headerLines.begin() + static_cast<std::ptrdiff_t>(i),
                                              headerLines.begin() +
                                                  static_cast<std::ptrdiff_t>(next));
        for (const char* name : {"Set-cookie", "Set-cookie2"})
            for (const std::string& value : FindHeaderValues(header, name))
                AddHeld(ParseSetCookie(value, requestHost, now), requestHost, secureAnswer);
        i = next;
    }
}

void CookieStore::Add(Cookie cookie, std::string_view requestHost, bool secureAnswer) {
    std::lock_guard lock(mutex_);
    AddHeld(std::move(cookie), requestHost, secureAnswer);
}

void CookieStore::AddHeld(Cookie cookie, std::string_view requestHost, bool secureAnswer) {
    if (!DomainMatches(requestHost, cookie.domain)) return;
    if (cookie.name.size() + cookie.value.size() > kMaxCookieBytes) return;
    if (cookie.secure && !secureAnswer) return;
    const std::uint64_t age = ++added_;
    for (Domain& d : domains_) {
        if (!EqualsIgnoreCase(d.name, cookie.domain)) continue;
        for (Stored& existing : d.cookies) {
            if (EqualsIgnoreCase(existing.cookie.name, cookie.name)) {
                if (existing.cookie.secure && !secureAnswer) return;
                existing = {std::move(cookie), age};
                return;
            }
        }
        if (d.cookies.size() >= kMaxCookiesPerDomain) DropOldest(&d);
        d.cookies.push_back({std::move(cookie), age});
        if (Count() > kMaxCookies) DropOldest(nullptr);
        return;
    }
    Domain d{cookie.domain, {}};
    d.cookies.push_back({std::move(cookie), age});
    domains_.push_back(std::move(d));
    if (Count() > kMaxCookies) DropOldest(nullptr);
}

std::size_t CookieStore::Count() const {
    std::size_t count = 0;
    for (const Domain& d : domains_)
        count += d.cookies.size();
    return count;
}

void CookieStore::DropOldest(Domain* within) {
    Domain* oldestDomain = nullptr;
    std::size_t oldest = 0;
    for (Domain& d : domains_) {
        if (within && &d != within) continue;
        for (std::size_t k = 0; k < d.cookies.size(); ++k)
            if (!oldestDomain || d.cookies[k].age < oldestDomain->cookies[oldest].age)
                oldestDomain = &d, oldest = k;
    }
    if (!oldestDomain) return;
    oldestDomain->cookies.erase(oldestDomain->cookies.begin() +
                                static_cast<std::ptrdiff_t>(oldest));
    // A domain left without cookies counts as new when it comes back.
    std::erase_if(domains_, [](const Domain& d) { return d.cookies.empty(); });
}

void CookieStore::RemoveExpired(std::int64_t now) {
    std::lock_guard lock(mutex_);
    for (Domain& d : domains_)
        std::erase_if(d.cookies, [now](const Stored& s) {
            return s.cookie.expires && *s.cookie.expires <= now;
        });
    // A domain left without cookies counts as new when it comes back.
    std::erase_if(domains_, [](const Domain& d) { return d.cookies.empty(); });
}

std::string CookieStore::CookieList(std::string_view host, std::string_view directory,
                                    bool secureConnection) const {
    std::lock_guard lock(mutex_);
    std::string list;
    for (auto d = domains_.rbegin(); d != domains_.rend(); ++d) {
        if (!DomainMatches(host, d->name)) continue;
        for (const Stored& stored : d->cookies) {
            const Cookie& c = stored.cookie;
            if (c.value.empty() || (c.secure && !secureConnection)) continue;
            if (directory.substr(0, c.path.size()) != c.path) continue;
            if (!list.empty()) list += "; ";
            list += c.name;
            list += '=';
            list += c.value;
        }
    }
    return list;
}

bool CookieStore::Empty() const {
    std::lock_guard lock(mutex_);
    return domains_.empty();
}

std::vector<Cookie> CookieStore::All() const {
    std::lock_guard lock(mutex_);
    std::vector<Cookie> all;
    for (const Domain& d : domains_)
        for (const Stored& stored : d.cookies)
            all.push_back(stored.cookie);
    return all;
}
