#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Seconds since 1970-01-01 00:00:00 UTC of an HTTP date in RFC 1123, RFC 850
// or asctime form (and the common cookie form with dashes and a four-digit
// year); nullopt when the text is not such a date.
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

// The current time as seconds since 1970 (UTC), the scale of ParseHttpDate.
std::int64_t UnixTimeNow();
