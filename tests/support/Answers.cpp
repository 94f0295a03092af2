#include "Answers.h"

#include "app/core/HeldSample.h"

#include <algorithm>

namespace {

std::string Head(const std::string& length, const std::string& contentRange,
                 const std::string& extraHeaders) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + length +
           "\r\nContent-Range: " + contentRange + "\r\nConnection: keep-alive\r\n" + extraHeaders +
           "\r\n";
}

std::string ContentRange(std::int64_t first, std::int64_t last, std::int64_t size) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
           std::to_string(size);
}

} // namespace

std::string PartialAnswer(const std::string& contentRange, const std::string& body,
                          const std::string& extraHeaders) {
    return Head(std::to_string(body.size()), contentRange, extraHeaders) + body;
}

std::string ProbeAnswer(std::int64_t size, const std::string& extraHeaders) {
    return Head(std::to_string(size), ContentRange(0, size - 1, size), extraHeaders);
}

std::string RangeAnswer(const std::string& content, std::int64_t begin, std::int64_t end,
                        const std::string& extraHeaders) {
    const auto size = static_cast<std::int64_t>(content.size());
    const std::int64_t last = std::min(end, size - 1);
    return PartialAnswer(
        ContentRange(begin, last, size),
        content.substr(static_cast<size_t>(begin), static_cast<size_t>(last - begin + 1)),
        extraHeaders);
}

std::string SampleAnswer(const std::string& content,
                         const std::vector<std::pair<std::int64_t, std::int64_t>>& ranges) {
    const auto sample = HeldSample(ranges, static_cast<std::int64_t>(content.size()));
    return sample ? RangeAnswer(content, sample->first, sample->second) : std::string();
}

std::string RedirectAnswer(int code, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(code) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 4\r\nConnection: keep-alive\r\n\r\ngone";
}
