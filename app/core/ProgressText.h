#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class QLocale;

// The status bar's line for the range in hand, for example
// "Segment #3 - [1000-2000]: 412.5 of 1,024.0 MiB (40%), 35.2 MiB/s, 0:29 left".
// Received and total share the unit that suits the total; the speed and
// the time left are left out while the speed is not known (0).
std::string ProgressText(int pass, std::int64_t begin, std::int64_t end, std::int64_t received,
                         std::int64_t total, double bytesPerSecond, const QLocale& locale);

// The status bar's line while several connections fetch, for example
// "Segments #1, #5, #6: 412.5 of 1,000.0 MiB (41%), 0:50 left, 3
// connections, 11.8 MiB/s": the whole file's bytes present, the time left
// at the total rate, and the connections.
std::string ConnectionsProgressText(const std::vector<int>& segments, std::int64_t present,
                                    std::int64_t fileSize, double bytesPerSecond, int connections,
                                    const QLocale& locale);

// The status bar's line while a finished file is hashed, for example
// "Checking the SHA-256 checksum: 412.5 of 1,000.0 MiB (41%)".
std::string ChecksumProgressText(const std::string& algorithm, std::int64_t hashed,
                                 std::int64_t total, const QLocale& locale);

// A byte count in bytes, KiB, MiB or GiB with one decimal ("1,024.0 MiB");
// plain bytes have none ("512 bytes").
std::string SizeText(double bytes, const QLocale& locale);
// "0:29", "12:05" or "1:02:03".
std::string DurationText(std::int64_t seconds);

// How a run ended, in one line for the status bar.
std::string PausedText(int segmentsLeft);
std::string NotDownloadedText(int segmentsLeft);
std::string CompletedText(const std::string& fileName);

// The speed of a transfer over its last few seconds.
class TransferRate {
public:
    using Clock = std::chrono::steady_clock;
    explicit TransferRate(Clock::duration window = std::chrono::seconds(5)) : window_(window) {}
    // The total byte count at a moment; moments come in order.
    void Add(Clock::time_point at, std::int64_t bytes);
    // Bytes per second between the oldest sample in the window and the
    // newest; 0 until there are two samples a moment apart.
    double BytesPerSecond() const;

private:
    struct Sample {
        Clock::time_point at;
        std::int64_t bytes;
    };
    Clock::duration window_;
    std::deque<Sample> samples_;
};
