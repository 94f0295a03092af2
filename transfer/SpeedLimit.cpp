#include "transfer/SpeedLimit.h"

#include <algorithm>
#include <utility>

SpeedLimit::SpeedLimit(std::function<Clock::time_point()> now) : now_(std::move(now)) {}

std::int64_t SpeedLimit::Burst() const {
    return std::max(kMinBurst, rate_ / 10);
}

void SpeedLimit::SetRate(std::int64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    const Clock::time_point now = now_();
    Refill(now);
    rate_ = std::max<std::int64_t>(0, bytesPerSecond);
    // A new rate starts from a bucket no fuller than its own burst.
    tokens_ = std::min(tokens_, static_cast<double>(Burst()));
}

std::int64_t SpeedLimit::Rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

void SpeedLimit::Refill(Clock::time_point now) {
    if (filledAt_ != Clock::time_point{} && now > filledAt_) {
        const double seconds = std::chrono::duration<double>(now - filledAt_).count();
        tokens_ =
            std::min(static_cast<double>(Burst()), tokens_ + seconds * static_cast<double>(rate_));
    }
    filledAt_ = now;
}

SpeedLimit::Grant SpeedLimit::Ask(std::size_t wanted) {
    std::lock_guard lock(mutex_);
    if (rate_ <= 0 || wanted == 0) return {wanted, {}};
    Refill(now_());
    if (tokens_ >= 1) {
        const auto bytes = static_cast<std::size_t>(std::min(tokens_, static_cast<double>(wanted)));
        tokens_ -= static_cast<double>(bytes);
        return {bytes, {}};
    }
    const double seconds = (1 - tokens_) / static_cast<double>(rate_);
    return {0, std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(seconds))};
}
