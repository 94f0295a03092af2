#include "transfer/CookieStore.h"

#include "transfer/AnswerParse.h"
#include "transfer/HttpDate.h"
#include "transfer/HttpText.h"

#include <chrono>
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

std::int64_t UnixTimeNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Cookie ParseSetCookie(std::string_view value, std::string_view requestHost, std::int64_t now) {
    Cookie cookie;
    std::optional<std::int64_t> expires;
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
                expires = ParseHttpDate(attributeValue);
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
    if (expires)
        cookie.expires = expires;
    else if (maxAge)
        cookie.expires = now + *maxAge;
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
                              std::string_view requestHost, std::int64_t now) {
    for (const char* name : {"Set-cookie", "Set-cookie2"})
        for (const std::string& value : FindHeaderValues(headerLines, name))
            Add(ParseSetCookie(value, requestHost, now), requestHost);
}

void CookieStore::Add(Cookie cookie, std::string_view requestHost) {
    if (!DomainMatches(requestHost, cookie.domain)) return;
    for (Domain& d : domains_) {
        if (!EqualsIgnoreCase(d.name, cookie.domain)) continue;
        for (Cookie& existing : d.cookies) {
            if (EqualsIgnoreCase(existing.name, cookie.name)) {
                existing = std::move(cookie);
                return;
            }
        }
        d.cookies.push_back(std::move(cookie));
        return;
    }
    Domain d{cookie.domain, {}};
    d.cookies.push_back(std::move(cookie));
    domains_.push_back(std::move(d));
}

void CookieStore::RemoveExpired(std::int64_t now) {
    for (Domain& d : domains_)
        std::erase_if(d.cookies, [now](const Cookie& c) { return c.expires && *c.expires <= now; });
    // A domain left without cookies counts as new when it comes back.
    std::erase_if(domains_, [](const Domain& d) { return d.cookies.empty(); });
}

std::string CookieStore::CookieList(std::string_view host, std::string_view directory) const {
    std::string list;
    for (auto d = domains_.rbegin(); d != domains_.rend(); ++d) {
        if (!DomainMatches(host, d->name)) continue;
        for (const Cookie& c : d->cookies) {
            if (c.value.empty() || c.secure) continue;
            if (directory.substr(0, c.path.size()) != c.path) continue;
            if (!list.empty()) list += "; ";
            list += c.name;
            list += '=';
            list += c.value;
        }
    }
    return list;
}

std::vector<Cookie> CookieStore::All() const {
    std::vector<Cookie> all;
    for (const Domain& d : domains_)
        all.insert(all.end(), d.cookies.begin(), d.cookies.end());
    return all;
}
