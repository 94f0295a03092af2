#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Decodes the code point that starts at text[pos] and moves pos past it.
// A malformed, overlong or surrogate sequence yields -1 and moves pos by one byte.
long DecodeUtf8(std::string_view text, std::size_t& pos);

// text with every malformed sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

// The first count code points of a well-formed UTF-8 text.
std::string FirstCodePoints(std::string_view text, std::size_t count);

// Whether text is well-formed UTF-8 holding only characters an XML 1.0
// document can carry (no NUL or other control character except tab, line
// feed and carriage return, no U+FFFE or U+FFFF).
bool IsXmlText(std::string_view text);
