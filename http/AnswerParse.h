#pragma once

// Answers as pure functions over their bytes: the status line, header
// lookup and the values that frame a body. Nothing here touches a socket.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest line of an answer; a longer one fails the request.
inline constexpr std::size_t kMaxAnswerLineLength = 16384;
// Most header lines in one header block; more fail like an over-long line,
// so a hostile server cannot make the client hold an unbounded header block.
inline constexpr std::size_t kMaxHeaderLines = 1000;
// Largest single read from the connection.
inline constexpr std::size_t kReadBlockSize = 32768;

// The status code of a status line; -1 when it is not a number.
int ParseStatusCode(std::string_view statusLine);

// The value of the first header line named `name` (letter case ignored),
// joined with its continuation lines by single spaces, blanks trimmed;
// empty when absent.
std::string FindHeaderValue(const std::vector<std::string>& lines, std::string_view name);
// The values of every header line named `name`, in order.
std::vector<std::string> FindHeaderValues(const std::vector<std::string>& lines,
                                          std::string_view name);

// A Content-Length value as a signed 64-bit number; nullopt ("unknown")
// when it is absent, not a decimal number, negative or beyond 64 bits.
std::optional<std::int64_t> ParseContentLength(std::string_view value);
// The size on a chunk-size line: the hexadecimal text up to the first space
// (or chunk extension); 0 when that is not a hexadecimal number or does not
// fit a signed 64-bit integer.
std::uint64_t ParseChunkSize(std::string_view line);
// True when the Connection or Proxy-Connection value is keep-alive.
bool AllowsKeepAlive(const std::vector<std::string>& lines);
// True when Transfer-Encoding contains "chunked".
bool IsChunkedBody(const std::vector<std::string>& lines);

// The number of bytes a range asks for: begin through end, clamped to the
// last byte of a file of fileSize bytes; 0 when that leaves nothing.
std::int64_t RangeByteCount(std::int64_t begin, std::int64_t end, std::int64_t fileSize);
// Whether an answer to a range request is exactly that range, judged before
// any byte of its body is written: a status line that contains "206 Partial
// Content" and is no redirect, a Content-Range (when sent) that names
// begin..min(end, fileSize - 1) of a file of fileSize bytes (or "*"), and a
// Content-Length (when sent) of exactly that many bytes.
bool AnswerMatchesRange(const std::string& statusLine, int statusCode,
                        const std::vector<std::string>& headerLines, std::int64_t begin,
                        std::int64_t end, std::int64_t fileSize);

// The complete length a Content-Range value gives ("bytes 0-0/1000" gives
// "1000"), as sent; empty when the value gives none.
std::string ContentRangeTotal(std::string_view value);

// How a status text reads, tested as plain substrings in this order: one
// that contains "ERROR" (a failed request's text, or a server's line that
// says so) is an error even when it also names 206; then one that contains
// "206 Partial Content" (letter case as written) is partial content; any
// other is an answer that does not serve the range.
enum class StatusVerdict { Error, PartialContent, Other };
StatusVerdict JudgeStatusText(std::string_view statusText);
