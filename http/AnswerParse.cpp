#include "http/AnswerParse.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <limits>

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
    return ParseDecimal(TrimBlanks(value), std::numeric_limits<std::int64_t>::max());
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

std::int64_t RangeByteCount(std::int64_t begin, std::int64_t end, std::int64_t fileSize) {
    const std::int64_t last = std::min(end, fileSize - 1);
    if (begin < 0 || last < begin) return 0;
    return last - begin + 1;
}

namespace {

// "bytes <first>-<last>/<complete length>", the length being "*" or a number.
bool ContentRangeNames(std::string_view value, std::int64_t first, std::int64_t last,
                       std::int64_t fileSize) {
    constexpr std::string_view kUnit = "bytes ";
    if (value.substr(0, kUnit.size()) != kUnit) return false;
    value.remove_prefix(kUnit.size());
    const auto dash = value.find('-');
    const auto slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return false;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const auto from = ParseDecimal(value.substr(0, dash), kMax);
    const auto to = ParseDecimal(value.substr(dash + 1, slash - dash - 1), kMax);
    const std::string_view length = value.substr(slash + 1);
    if (!from || !to || *from != first || *to != last) return false;
    return length == "*" || ParseDecimal(length, kMax) == fileSize;
}

} // namespace

bool AnswerMatchesRange(const std::string& statusLine, int statusCode,
                        const std::vector<std::string>& headerLines, std::int64_t begin,
                        std::int64_t end, std::int64_t fileSize) {
    if (statusLine.find("206 Partial Content") == std::string::npos) return false;
    if ((statusCode >= 300 && statusCode <= 399) ||
        !FindHeaderValue(headerLines, "Location").empty())
        return false;
    const std::int64_t count = RangeByteCount(begin, end, fileSize);
    if (count == 0) return false;
    for (const std::string& value : FindHeaderValues(headerLines, "Content-Range"))
        if (!ContentRangeNames(value, begin, begin + count - 1, fileSize)) return false;
    for (const std::string& value : FindHeaderValues(headerLines, "Content-Length"))
        if (ParseContentLength(value) != count) return false;
    return true;
}

std::string ContentRangeTotal(std::string_view value) {
    value = TrimBlanks(value);
    const auto slash = value.rfind('/');
    if (value.substr(0, 6) != "bytes " || slash == std::string_view::npos) return {};
    const std::string_view total = TrimBlanks(value.substr(slash + 1));
    return total == "*" ? std::string() : std::string(total);
}

StatusVerdict JudgeStatusText(std::string_view statusText) {
    if (statusText.find("ERROR") != std::string_view::npos) return StatusVerdict::Error;
    if (statusText.find("206 Partial Content") != std::string_view::npos)
        return StatusVerdict::PartialContent;
    return StatusVerdict::Other;
}
