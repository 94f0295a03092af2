// One speed limit over every connection of a download: a token bucket that
// the workers draw from before they write bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

// Refilled at the limit's rate and holding at most a tenth of a second's
// bytes (at least kMinBurst), so that no connection gets a burst the line
// would notice. Any thread may ask and change the rate; a new rate holds
// from the next ask on. Rate 0: no limit.
class SpeedLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::int64_t kMinBurst = 16 * 1024;

    explicit SpeedLimit(std::function<Clock::time_point()> now = Clock::now);

    void SetRate(std::int64_t bytesPerSecond);
    std::int64_t Rate() const;

    // How many of `wanted` bytes may be written now (taken from the bucket),
    // or, when none may, how long until one may.
    struct Grant {
        std::size_t bytes = 0;
        Clock::duration wait{};
    };
    Grant Ask(std::size_t wanted);

private:
    std::int64_t Burst() const;
    void Refill(Clock::time_point now);

    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::int64_t rate_ = 0;
    double tokens_ = 0;
    Clock::time_point filledAt_{};
};
