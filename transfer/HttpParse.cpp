#include "transfer/HttpParse.h"

#include "transfer/HttpClient.h"

#include <algorithm>
#include <array>
#include <limits>

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

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

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
        if (!IsDigit(c)) return std::nullopt;
        const int digit = c - '0';
        if (value > (limit - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

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
        while (len < host.size() && IsDigit(host[len]))
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

UrlParts SplitUrl(std::string_view rawUrl) {
    std::string url(rawUrl);
    std::replace(url.begin(), url.end(), '\\', '/');

    UrlParts parts;
    std::string_view rest = url;
    if (const auto sep = rest.find("://"); sep != std::string_view::npos) {
        parts.scheme = rest.substr(0, sep);
        rest.remove_prefix(sep + 3);
    }
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);

    if (const auto at = authority.find('@'); at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        const auto colon = userInfo.find(':');
        parts.userName = userInfo.substr(0, colon);
        if (colon != std::string_view::npos) parts.password = userInfo.substr(colon + 1);
        authority.remove_prefix(at + 1);
    }
    const auto colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string_view::npos) parts.port = authority.substr(colon + 1);

    if (const auto hash = path.find('#'); hash != std::string_view::npos)
        path = path.substr(0, hash);
    parts.target = "/" + std::string(path);
    const std::string_view beforeQuery =
        std::string_view(parts.target).substr(0, parts.target.find('?'));
    parts.directory = beforeQuery.substr(0, beforeQuery.rfind('/') + 1);
    return parts;
}

UrlParts CompleteUrl(UrlParts url, const PreviousRequest& previous) {
    const std::string ownScheme = url.scheme;
    if (url.host.empty()) url.host = previous.host;
    if (url.scheme.empty())
        url.scheme = EqualsIgnoreCase(previous.scheme, "https") ? "https" : "http";
    if (url.port.empty()) {
        if (EqualsIgnoreCase(ownScheme, "http"))
            url.port = "80";
        else if (EqualsIgnoreCase(ownScheme, "https"))
            url.port = "443";
        else if (!previous.port.empty())
            url.port = previous.port;
        else
            throw HttpFailure(HttpFailureKind::UnknownScheme, "Unknown Protocol");
    }
    return url;
}

std::string HostValue(const UrlParts& url) {
    return url.port == "80" ? url.host : url.host + ":" + url.port;
}

std::string FoldHeaderLine(std::string_view line) {
    const std::size_t limit = kMaxRequestHeaderLineLength;
    if (line.size() <= limit) return std::string(line);

    // Positions after which the line may break: blanks and commas outside
    // double quotes, within the value (the name stays with its first piece).
    std::vector<std::size_t> breaks;
    bool quoted = false;
    const auto separator = line.find(": ");
    const std::size_t valueStart = separator == std::string_view::npos ? 0 : separator + 2;
    for (std::size_t i = valueStart; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t' || c == ','))
            breaks.push_back(i);
    }
    auto isSpaceOrTab = [](char c) { return c == ' ' || c == '\t'; };

    std::string out;
    std::size_t start = 0;
    auto next = breaks.begin();
    bool first = true;
    while (start < line.size()) {
        const std::size_t prefix = first ? 0 : 1;
        std::size_t end = line.size(); // one past the piece
        if (prefix + (line.size() - start) > limit) {
            while (next != breaks.end() && *next < start)
                ++next;
            // The last break that keeps the piece within the limit, else the
            // first one after it; an unbreakable rest stays whole.
            auto chosen = breaks.end();
            for (auto it = next; it != breaks.end(); ++it) {
                if (prefix + (*it + 1 - start) <= limit || chosen == breaks.end()) chosen = it;
                if (prefix + (*it + 1 - start) > limit) break;
            }
            if (chosen != breaks.end()) end = *chosen + 1;
        }
        std::string_view piece = line.substr(start, end - start);
        while (!piece.empty() && isSpaceOrTab(piece.back()))
            piece.remove_suffix(1);
        if (!first) {
            while (!piece.empty() && isSpaceOrTab(piece.front()))
                piece.remove_prefix(1);
        }
        if (!piece.empty()) {
            if (!first) out += "\r\n ";
            out += piece;
            first = false;
        }
        start = end;
    }
    return out;
}

std::string BuildRequestHead(const RequestHeadFields& f) {
    std::string head;
    head.reserve(512 + f.cookie.size());
    head += f.method + " " + f.requestTarget + " HTTP/1.0\r\n";
    auto header = [&head](std::string_view name, std::string_view value) {
        std::string line;
        line.reserve(name.size() + 2 + value.size());
        line += name;
        line += ": ";
        line += value;
        head += FoldHeaderLine(line);
        head += "\r\n";
    };
    if (!f.viaProxy) header("Connection", "keep-alive");
    header("Cache-control", "no-cache");
    header("Pragma", "no-cache");
    if (f.viaProxy) header("Proxy-Connection", "keep-alive");
    header("Host", f.host);
    header("Accept", "*/*");
    header("Accept-Encoding", "identity");
    header("User-Agent", "Microsoft Internet Explorer 6.0");
    if (!f.byteRange.empty()) header("Range", "bytes=" + f.byteRange);
    if (!f.authorization.empty()) header("Authorization", f.authorization);
    if (!f.proxyAuthorization.empty()) header("Proxy-Authorization", f.proxyAuthorization);
    if (!f.cookie.empty()) header("Cookie", f.cookie);
    head += "\r\n";
    return head;
}

int ParseStatusCode(std::string_view statusLine) {
    const auto space = statusLine.find(' ');
    if (space == std::string_view::npos) return -1;
    std::string_view rest = statusLine.substr(space + 1);
    while (!rest.empty() && IsBlank(rest.front()))
        rest.remove_prefix(1);
    const auto code = ParseDecimal(rest.substr(0, rest.find(' ')), std::numeric_limits<int>::max());
    return code ? static_cast<int>(*code) : -1;
}

namespace {

bool IsContinuation(const std::string& line) {
    return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

// The joined value of the header at `index`.
std::string ValueAt(const std::vector<std::string>& lines, std::size_t index) {
    const std::string& line = lines[index];
    std::string value(TrimBlanks(std::string_view(line).substr(line.find(':') + 1)));
    for (std::size_t k = index + 1; k < lines.size() && IsContinuation(lines[k]); ++k) {
        const std::string_view more = TrimBlanks(lines[k]);
        if (more.empty()) continue;
        if (!value.empty()) value += ' ';
        value += more;
    }
    return value;
}

bool HasName(const std::string& line, std::string_view name) {
    if (IsContinuation(line)) return false;
    const auto colon = line.find(':');
    return colon != std::string::npos &&
           EqualsIgnoreCase(std::string_view(line).substr(0, colon), name);
}

} // namespace

std::string FindHeaderValue(const std::vector<std::string>& lines, std::string_view name) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (HasName(lines[i], name)) return ValueAt(lines, i);
    return {};
}

std::vector<std::string> FindHeaderValues(const std::vector<std::string>& lines,
                                          std::string_view name) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (HasName(lines[i], name)) values.push_back(ValueAt(lines, i));
    return values;
}

std::optional<std::int64_t> ParseContentLength(std::string_view value) {
    return ParseDecimal(TrimBlanks(value), kMaxContentLength);
}

std::uint64_t ParseChunkSize(std::string_view line) {
    const auto end = line.find_first_of(" \t;");
    const std::string_view digits = line.substr(0, end);
    if (digits.empty()) return 0;
    constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = HexDigitValue(c);
        if (digit < 0) return 0;
        if (value > (kLimit - static_cast<std::uint64_t>(digit)) / 16) return 0;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

bool AllowsKeepAlive(const std::vector<std::string>& lines) {
    auto isKeepAlive = [](const std::string& value) {
        std::string squeezed;
        for (char c : value)
            if (!IsBlank(c)) squeezed += c;
        return EqualsIgnoreCase(squeezed, "keep-alive");
    };
    return isKeepAlive(FindHeaderValue(lines, "Connection")) ||
           isKeepAlive(FindHeaderValue(lines, "Proxy-Connection"));
}

bool IsChunkedBody(const std::vector<std::string>& lines) {
    return FindHeaderValue(lines, "Transfer-Encoding").find("chunked") != std::string::npos;
}

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
        } else if (IsDigit(token.front())) {
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
