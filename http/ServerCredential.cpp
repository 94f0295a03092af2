#include "http/ServerCredential.h"

#include "http/Base64.h"

bool CredentialMayGoTo(const Origin& home, const Origin& target) {
    if (home.host.empty() || home.port == 0 || home.host != target.host) return false;
    if (home.scheme == target.scheme) return home.port == target.port;
    return home.scheme == "http" && target.scheme == "https" && target.port == 443;
}

std::string BasicAuthorization(const std::string& userName, const std::string& password) {
    return "Basic " + Base64Encode(userName + ":" + password);
}
