#include "http/Url.h"

#include "common/AsciiText.h"
#include "common/HttpFailure.h"

#include <algorithm>

UrlParts SplitUrl(std::string_view rawUrl) {
    std::string url(rawUrl);
    std::replace(url.begin(), url.end(), '\\', '/');

    UrlParts parts;
    std::string_view rest = url;
    if (const auto sep = rest.find("://"); sep != std::string_view::npos) {
        parts.scheme = rest.substr(0, sep);
        rest.remove_prefix(sep + 3);
    }
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);

    if (const auto at = authority.find('@'); at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        const auto colon = userInfo.find(':');
        parts.userName = userInfo.substr(0, colon);
        if (colon != std::string_view::npos) parts.password = userInfo.substr(colon + 1);
        authority.remove_prefix(at + 1);
    }
    const auto colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) parts.port = authority.substr(colon + 1);

    if (const auto hash = path.find('#'); hash != std::string_view::npos)
        path = path.substr(0, hash);
    parts.target = "/" + std::string(path);
    const std::string_view beforeQuery =
        std::string_view(parts.target).substr(0, parts.target.find('?'));
    parts.directory = beforeQuery.substr(0, beforeQuery.rfind('/') + 1);
    return parts;
}

UrlParts CompleteUrl(UrlParts url, const PreviousRequest& previous) {
    const std::string ownScheme = url.scheme;
    if (url.host.empty()) url.host = previous.host;
    if (url.scheme.empty())
        url.scheme = EqualsIgnoreCase(previous.scheme, "https") ? "https" : "http";
    if (url.port.empty()) {
        if (EqualsIgnoreCase(ownScheme, "http"))
            url.port = "80";
        else if (EqualsIgnoreCase(ownScheme, "https"))
            url.port = "443";
        else if (!previous.port.empty())
            url.port = previous.port;
        else
            throw HttpFailure(HttpFailureKind::UnknownScheme, "Unknown Protocol");
    }
    return url;
}

bool IsHttps(const UrlParts& url) {
    return EqualsIgnoreCase(url.scheme, "https");
}

bool SameEnd(std::string_view a, std::string_view b) {
    try {
        const UrlParts x = CompleteUrl(SplitUrl(a), {}), y = CompleteUrl(SplitUrl(b), {});
        const auto path = [](const std::string& target) {
            return target.substr(0, target.find('?'));
        };
        return OriginOf(x) == OriginOf(y) && path(x.target) == path(y.target);
    } catch (const HttpFailure&) {
        return false;
    }
}

int PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

Origin OriginOf(const UrlParts& completedUrl) {
    return {ToLowerAscii(completedUrl.scheme), ToLowerAscii(completedUrl.host),
            PortNumber(completedUrl.port)};
}

std::string HostValue(const UrlParts& url) {
    return url.port == (IsHttps(url) ? "443" : "80") ? url.host : url.host + ":" + url.port;
}

std::string UrlText(const UrlParts& url) {
    return ToLowerAscii(url.scheme) + "://" + HostValue(url) + url.target;
}
