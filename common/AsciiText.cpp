#include "common/AsciiText.h"

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal digits only, no sign; nullopt when empty, not digits or above `limit`.
std::optional<std::int64_t> ParseDecimal(std::string_view text, std::int64_t limit) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (!IsAsciiDigit(c)) return std::nullopt;
        const int digit = c - '0';
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

bool IsDottedIPv4(std::string_view host) {
    int parts = 0;
    while (true) {
        std::size_t len = 0;
        while (len < host.size() && IsAsciiDigit(host[len]))
            ++len;
        if (len == 0 || len > 3) return false;
        if (!ParseDecimal(host.substr(0, len), 255)) return false;
        ++parts;
        host.remove_prefix(len);
        if (host.empty()) return parts == 4;
        if (host.front() != '.' || parts == 4) return false;
        host.remove_prefix(1);
    }
}
