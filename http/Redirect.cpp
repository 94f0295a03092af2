#include "http/Redirect.h"

#include "common/AsciiText.h"
#include "common/HttpFailure.h"

#include <algorithm>
#include <vector>

namespace {

HttpFailure CannotFollow(const std::string& why) {
    return HttpFailure(HttpFailureKind::Redirect,
                       "The server redirected to an address that cannot be followed: " + why + ".");
}

std::string PercentEncoded(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ' || byte >= 0x80) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

// A path with its "." and ".." segments applied; it starts with "/".
std::string WithoutDotSegments(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string_view segment = path.substr(start, slash - start);
        const bool last = slash == path.size();
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            if (last) segments.emplace_back();
        } else if (segment == ".") {
            if (last) segments.emplace_back();
        } else {
            segments.push_back(segment);
        }
        start = slash + 1;
    }
    std::string out;
    for (const std::string_view segment : segments) {
        out += '/';
        out += segment;
    }
    return out.empty() ? "/" : out;
}

// A target (path and query) with dot segments resolved in its path.
std::string NormalTarget(std::string_view target) {
    const std::size_t query = std::min(target.find('?'), target.size());
    return WithoutDotSegments(target.substr(0, query)) + std::string(target.substr(query));
}

bool IsSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

} // namespace

bool IsFollowedRedirect(int statusCode) {
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 ||
           statusCode == 308;
}

std::string ResolveLocation(const UrlParts& base, std::string_view rawLocation) {
    for (const char c : rawLocation)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            throw CannotFollow("it holds control characters");
    std::string location = PercentEncoded(TrimBlanks(rawLocation));
    std::replace(location.begin(), location.end(), '\\', '/');
    location.erase(std::min(location.find('#'), location.size()));

    const std::size_t colon = location.find(':');
    const bool hasScheme = colon != std::string::npos && colon > 0 &&
                           colon < location.find_first_of("/?") &&
                           std::all_of(location.begin(), location.begin() + colon, IsSchemeChar);
    if (hasScheme || location.rfind("//", 0) == 0) {
        const std::string absolute =
            hasScheme ? location : ToLowerAscii(base.scheme) + ":" + location;
        const std::size_t schemeEnd = absolute.find(':');
        const std::string scheme = ToLowerAscii(absolute.substr(0, schemeEnd));
        if (scheme != "http" && scheme != "https")
            throw CannotFollow("it is a " + scheme.substr(0, 20) + " address, not http or https");
        if (absolute.compare(schemeEnd, 3, "://") != 0) throw CannotFollow("it names no server");
        UrlParts parts = SplitUrl(absolute);
        if (parts.host.empty()) throw CannotFollow("it names no server");
        const auto nameChar = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
        };
        if (!std::all_of(parts.host.begin(), parts.host.end(), nameChar) ||
            !std::all_of(parts.port.begin(), parts.port.end(), IsAsciiDigit) ||
            parts.port.size() > 5)
            throw CannotFollow("its server name or port is not usable");
        parts.port = parts.port.empty() ? (scheme == "https" ? "443" : "80") : parts.port;
        parts.target = NormalTarget(parts.target);
        return UrlText(parts);
    }

    UrlParts parts = base;
    const std::string_view path =
        std::string_view(base.target)
            .substr(0, std::min(base.target.find('?'), base.target.size()));
    if (location.empty())
        parts.target = base.target;
    else if (location[0] == '/')
        parts.target = NormalTarget(location);
    else if (location[0] == '?')
        parts.target = std::string(path) + location;
    else
        parts.target = NormalTarget(base.directory + location);
    return UrlText(parts);
}
