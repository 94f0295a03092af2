#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

class QLocale;

// Converts an integer text: optional leading spaces, an optional sign, then
// decimal digits or hexadecimal digits after "$", "x", "X", "0x" or "0X",
// nothing after them, within the signed 64-bit range. Otherwise throws
// AppError "'<text>' is not a valid integer value".
int64_t StrToInt64(std::string_view text);

// The same rules, the value also within the signed 32-bit range.
int32_t StrToInt32(std::string_view text);

// a + b and a - b of counters read from texts: a result beyond the signed
// 64-bit range throws the conversion error of `text`, the value it came from.
int64_t AddChecked(int64_t a, int64_t b, std::string_view text);
int64_t SubtractChecked(int64_t a, int64_t b, std::string_view text);

// Plain decimal text of a value, "-" only before a negative one.
std::string IntToText(int64_t value);

// "<downloaded / (size / 100)>%" formatted as "0.##" in extended precision,
// rounding half away from zero, with the locale's decimal separator.
// A zero size throws "Floating point division by zero" (or "Invalid floating
// point operation" when downloaded is zero too).
std::string PercentText(int64_t downloaded, int64_t size);

// Formats a value with the pattern "0.##" using the given decimal separator.
std::string FormatZeroHashHash(long double value, std::string_view decimalSeparator);

// The locale's short date, one space, the locale's long time without its
// time-zone fields.
std::string TimeStampText();
std::string TimeStampText(const QLocale& locale);

// A time format pattern without its time-zone fields ("t" to "tttt") and the
// blanks or brackets that belong to them; quoted text is kept.
QString WithoutTimeZone(const QString& format);
