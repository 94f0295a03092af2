#include "common/Texts.h"

#include "common/AppError.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

[[noreturn]] void NotAnInteger(std::string_view text) {
    throw AppError("'" + std::string(text) + "' is not a valid integer value");
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int64_t StrToInt64(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) NotAnInteger(text);
    // Magnitude limit: 2^63 for negative values, 2^63 - 1 otherwise.
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        int digit = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0) NotAnInteger(text);
        if (value > (limit - static_cast<uint64_t>(digit)) / base) NotAnInteger(text);
        value = value * base + static_cast<uint64_t>(digit);
    }
    if (negative) return value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                        : -static_cast<int64_t>(value);
    return static_cast<int64_t>(value);
}

int32_t StrToInt32(std::string_view text) {
    int64_t v = StrToInt64(text);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        NotAnInteger(text);
    return static_cast<int32_t>(v);
}

int64_t AddChecked(int64_t a, int64_t b, std::string_view text) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) NotAnInteger(text);
    return sum;
}

int64_t SubtractChecked(int64_t a, int64_t b, std::string_view text) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(a, b, &difference)) NotAnInteger(text);
    return difference;
}

std::string IntToText(int64_t value) { return std::to_string(value); }

std::string FormatZeroHashHash(long double value, std::string_view decimalSeparator) {
    // Round on the decimal digits of the value as extended precision shows
    // them (18 significant digits), so 0.125 becomes 0.13 and not 0.12.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17Le", value);
    std::string s(buf);
    bool negative = s[0] == '-';
    if (negative) s.erase(0, 1);
    size_t ePos = s.find('e');
    std::string digits = s.substr(0, 1) + s.substr(2, ePos - 2); // 18 digits
    int exponent = std::stoi(s.substr(ePos + 1));
    // Place the digits so that intDigits holds the integer part.
    int pointPos = exponent + 1; // digits before the decimal point
    if (pointPos <= 0) {
        digits.insert(0, static_cast<size_t>(-pointPos + 1), '0');
        pointPos = 1;
    }
    if (static_cast<int>(digits.size()) < pointPos + 3) digits.append(pointPos + 3 - digits.size(), '0');
    // Keep two decimals, round half up on the third.
    bool roundUp = digits[static_cast<size_t>(pointPos + 2)] >= '5';
    digits.resize(static_cast<size_t>(pointPos + 2));
    if (roundUp) {
        int k = static_cast<int>(digits.size()) - 1;
        while (k >= 0 && digits[static_cast<size_t>(k)] == '9') digits[static_cast<size_t>(k--)] = '0';
        if (k < 0) {
            digits.insert(0, 1, '1');
            ++pointPos;
        } else {
            ++digits[static_cast<size_t>(k)];
        }
    }
    std::string intPart = digits.substr(0, static_cast<size_t>(pointPos));
    std::string frac = digits.substr(static_cast<size_t>(pointPos));
    size_t nz = intPart.find_first_not_of('0');
    intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    std::string out;
    if (negative && (intPart != "0" || !frac.empty())) out = "-";
    out += intPart;
    if (!frac.empty()) {
        out += decimalSeparator;
        out += frac;
    }
    return out;
}

std::string PercentText(int64_t downloaded, int64_t size) {
    if (size == 0)
        throw AppError(downloaded == 0 ? "Invalid floating point operation"
                                       : "Floating point division by zero");
    long double value = static_cast<long double>(downloaded) / (static_cast<long double>(size) / 100.0L);
    return FormatZeroHashHash(value, QLocale::system().decimalPoint().toStdString()) + "%";
}

QString WithoutTimeZone(const QString& format) {
    // Zone fields are runs of "t" outside quoted text. A field goes with the
    // blanks before it (after it, when it leads) and with brackets that hold
    // nothing else.
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == u'\'') quoted = !quoted;
        if (quoted || c != u't') {
            result += c;
            ++i;
            continue;
        }
        while (i < format.size() && format[i] == u't')
            ++i;
        const bool leading = result.trimmed().isEmpty();
        while (!result.isEmpty() && result.back().isSpace())
            result.chop(1);
        if (!result.isEmpty() && result.back() == u'(' && i < format.size() && format[i] == u')') {
            result.chop(1);
            ++i;
            while (!result.isEmpty() && result.back().isSpace())
                result.chop(1);
        }
        if (leading || result.isEmpty())
            while (i < format.size() && format[i].isSpace())
                ++i;
    }
    return result;
}

std::string TimeStampText(const QLocale& locale) {
    const QString date = locale.toString(QDate::currentDate(), QLocale::ShortFormat);
    const QString time = locale.toString(QTime::currentTime(),
                                         WithoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
    return (date + " " + time).toStdString();
}

std::string TimeStampText() {
    return TimeStampText(QLocale::system());
}
