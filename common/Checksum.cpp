#include "common/Checksum.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

struct Algorithm {
    const char* name;    // as stored, lower case
    const char* display; // as messages name it
    std::size_t digits;
};

constexpr std::array<Algorithm, 4> kAlgorithms{{
    {"md5", "MD5", 32},
    {"sha1", "SHA-1", 40},
    {"sha256", "SHA-256", 64},
    {"sha512", "SHA-512", 128},
}};

// Spaces (and tabs, line breaks) left out, letters in lower case.
std::string Compact(const std::string& text) {
    std::string out;
    for (const char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

std::string Checksum::DisplayName() const {
    for (const Algorithm& known : kAlgorithms)
        if (algorithm == known.name) return known.display;
    return algorithm;
}

std::optional<Checksum> ParseChecksum(const std::string& text) {
    std::string digits = Compact(text);
    std::string named;
    if (const std::size_t colon = digits.find(':'); colon != std::string::npos) {
        named = digits.substr(0, colon);
        named.erase(std::remove(named.begin(), named.end(), '-'), named.end());
        digits = digits.substr(colon + 1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
        }))
        return std::nullopt;
    for (const Algorithm& known : kAlgorithms) {
        if (digits.size() != known.digits) continue;
        if (!named.empty() && named != known.name) return std::nullopt;
        return Checksum{known.name, digits};
    }
    return std::nullopt;
}

bool ChecksumFieldAccepted(const std::string& text) {
    return Compact(text).empty() || ParseChecksum(text).has_value();
}

std::string StoredChecksum(const std::string& text) {
    const std::optional<Checksum> checksum = ParseChecksum(text);
    return checksum ? checksum->Stored() : std::string();
}
