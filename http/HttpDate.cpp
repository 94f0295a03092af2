#include "http/HttpDate.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool IsLeapYear(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int MonthFromName(std::string_view word) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    static constexpr std::array<std::string_view, 12> kFull = {
        "january", "february", "march",     "april",   "may",      "june",
        "july",    "august",   "september", "october", "november", "december"};
    const std::string lower = ToLowerAscii(word);
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (lower == kMonths[i] || lower == kFull[i]) return static_cast<int>(i) + 1;
    return 0;
}

bool IsWeekdayName(std::string_view word) {
    static constexpr std::array<std::string_view, 14> kDays = {
        "mon",    "tue",     "wed",       "thu",      "fri",    "sat",      "sun",
        "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
    const std::string lower = ToLowerAscii(word);
    return std::find(kDays.begin(), kDays.end(), lower) != kDays.end();
}

} // namespace

std::optional<std::int64_t> ParseHttpDate(std::string_view text) {
    int day = -1, month = 0, hour = -1, minute = -1, second = -1;
    std::int64_t year = -1;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == ',' || c == '-') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != ',' &&
               text[j] != '-')
            ++j;
        const std::string_view token = text.substr(i, j - i);
        i = j;
        if (token.find(':') != std::string_view::npos) {
            if (hour >= 0) return std::nullopt;
            int fields[3];
            std::string_view rest = token;
            for (int k = 0; k < 3; ++k) {
                const auto colon = rest.find(':');
                const std::string_view part = rest.substr(0, colon);
                if (part.empty() || part.size() > 2) return std::nullopt;
                const auto v = ParseDecimal(part, 99);
                if (!v) return std::nullopt;
                fields[k] = static_cast<int>(*v);
                if (k < 2 && colon == std::string_view::npos) return std::nullopt;
                rest =
                    colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
            }
            if (!rest.empty()) return std::nullopt;
            hour = fields[0];
            minute = fields[1];
            second = fields[2];
        } else if (IsAsciiDigit(token.front())) {
            const auto v = ParseDecimal(token, 9999);
            if (!v) return std::nullopt;
            if (token.size() <= 2 && day < 0) {
                day = static_cast<int>(*v);
            } else if (year < 0 && (token.size() == 2 || token.size() == 4)) {
                year = *v;
                if (token.size() == 2) year += year < 70 ? 2000 : 1900;
            } else {
                return std::nullopt;
            }
        } else if (const int m = MonthFromName(token); m != 0) {
            if (month != 0) return std::nullopt;
            month = m;
        } else if (!IsWeekdayName(token) && !EqualsIgnoreCase(token, "GMT") &&
                   !EqualsIgnoreCase(token, "UTC")) {
            return std::nullopt;
        }
    }
    if (day < 1 || month == 0 || year < 1601 || hour < 0) return std::nullopt;
    static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int monthDays = kDaysInMonth[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > monthDays || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (second == 60) second = 59; // a leap second counts as the one before
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

std::int64_t UnixTimeNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}
