#pragma once

// Byte-level text helpers for what servers send: blanks, ASCII letter case,
// dotted IPv4 addresses and plain decimal and hexadecimal digits.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Characters 0 to 32 count as blanks.
inline bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
inline bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
std::string_view TrimBlanks(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);
// Four decimal numbers 0-255 separated by dots.
bool IsDottedIPv4(std::string_view host);
// The value of a hexadecimal digit; -1 for any other character.
int HexDigitValue(char c);
// Decimal digits only, no sign; nullopt when empty, not digits or above `limit`.
std::optional<std::int64_t> ParseDecimal(std::string_view text, std::int64_t limit);
