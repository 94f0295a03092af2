#include "transfer/ServerCredential.h"

#include "transfer/Base64.h"
#include "transfer/HttpText.h"
#include "transfer/Url.h"

Origin OriginOf(const UrlParts& completedUrl) {
    int port = 0;
    for (char c : completedUrl.port) {
        if (c < '0' || c > '9' || port > 65535) return {};
        port = port * 10 + (c - '0');
    }
    if (port > 65535) return {};
    return {ToLowerAscii(completedUrl.scheme), ToLowerAscii(completedUrl.host), port};
}

bool CredentialMayGoTo(const Origin& home, const Origin& target) {
    if (home.host.empty() || home.port == 0 || home.host != target.host) return false;
    if (home.scheme == target.scheme) return home.port == target.port;
    return home.scheme == "http" && target.scheme == "https" && target.port == 443;
}

std::string BasicAuthorization(const std::string& userName, const std::string& password) {
    return "Basic " + Base64Encode(userName + ":" + password);
}
