#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// HTTP answers that a scripted server plays, built one way for every test:
// "HTTP/1.1 206 Partial Content", Content-Length, Content-Range, then
// "Connection: keep-alive" and any extra header lines (each ending in CR LF).

// A 206 with the given Content-Range value and body.
std::string PartialAnswer(const std::string& contentRange, const std::string& body,
                          const std::string& extraHeaders = "");
// The probe's answer for a file of `size` bytes: all of it, without a body.
std::string ProbeAnswer(std::int64_t size, const std::string& extraHeaders = "");
// The right answer to a request for begin..end of `content`, the end cut to
// its last byte.
std::string RangeAnswer(const std::string& content, std::int64_t begin, std::int64_t end,
                        const std::string& extraHeaders = "");
// The right answer to the run's sample of held bytes, for a download of
// `content` whose queue is `ranges`.
std::string SampleAnswer(const std::string& content,
                         const std::vector<std::pair<std::int64_t, std::int64_t>>& ranges);
// A redirect with the given status code to `location`, with a short body.
std::string RedirectAnswer(int code, const std::string& location);
