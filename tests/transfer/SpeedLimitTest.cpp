// The speed limit's bucket, driven by an injected clock.

#include "transfer/SpeedLimit.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

struct Line {
    SpeedLimit::Clock::time_point now{};
    SpeedLimit limit{[this] { return now; }};
    // Bytes granted over `span`, asking for `chunk` bytes whenever the
    // bucket allows and stepping the clock by the wait it names (or 1 ms).
    std::int64_t Fetch(SpeedLimit::Clock::duration span, std::size_t chunk = 65536) {
        std::int64_t bytes = 0;
        for (const auto until = now + span; now < until;) {
            const SpeedLimit::Grant grant = limit.Ask(chunk);
            bytes += static_cast<std::int64_t>(grant.bytes);
            now += grant.bytes > 0 ? 1ms : grant.wait;
        }
        return bytes;
    }
};

TEST(SpeedLimit, HoldsItsRateWithSmallBurstsAndChangesAtOnce) {
    const struct {
        std::int64_t rate;
        std::size_t chunk;
    } cases[] = {{1024 * 1024, 65536}, {100 * 1024, 4096}, {10 * 1024 * 1024, 1 << 20}, {1000, 16}};
    for (const auto& c : cases) {
        Line line;
        line.limit.SetRate(c.rate);
        line.Fetch(1s, c.chunk); // the first burst
        const std::int64_t second = line.Fetch(10s, c.chunk);
        EXPECT_NEAR(static_cast<double>(second), 10.0 * static_cast<double>(c.rate),
                    0.01 * 10.0 * static_cast<double>(c.rate) + 16)
            << c.rate;
    }

    // A burst is at most a tenth of a second's bytes (at least 16 KiB).
    Line idle;
    idle.limit.SetRate(1024 * 1024);
    idle.Fetch(1s);
    idle.now += 5s;
    EXPECT_EQ(idle.limit.Ask(1 << 30).bytes, 1024u * 1024 / 10);
    idle.limit.SetRate(1000);
    idle.now += 30s;
    EXPECT_EQ(idle.limit.Ask(1 << 30).bytes, 16u * 1024);

    // A lower rate holds from the next ask on; 0 lifts the limit.
    Line change;
    change.limit.SetRate(4 * 1024 * 1024);
    change.Fetch(2s);
    change.limit.SetRate(512 * 1024);
    EXPECT_NEAR(static_cast<double>(change.Fetch(4s)), 4 * 512 * 1024.0, 64 * 1024.0);
    change.limit.SetRate(0);
    EXPECT_EQ(change.limit.Ask(123456789).bytes, 123456789u);
}

TEST(SpeedLimit, ConnectionsShareOneRate) {
    Line line;
    line.limit.SetRate(1024 * 1024);
    line.Fetch(1s);
    // Four connections, whichever asks first in turn, get the one rate
    // between them.
    std::int64_t each[4] = {};
    for (int turn = 0; line.now < SpeedLimit::Clock::time_point{} + 9s; ++turn) {
        bool any = false;
        SpeedLimit::Clock::duration wait = 1h;
        for (int k = 0; k < 4; ++k) {
            std::int64_t& bytes = each[(turn + k) % 4];
            const SpeedLimit::Grant grant = line.limit.Ask(8192);
            bytes += static_cast<std::int64_t>(grant.bytes);
            any = any || grant.bytes > 0;
            if (grant.bytes == 0) wait = std::min(wait, grant.wait);
        }
        line.now += any ? 1ms : wait;
    }
    const std::int64_t total = each[0] + each[1] + each[2] + each[3];
    EXPECT_NEAR(static_cast<double>(total), 8.0 * 1024 * 1024, 0.02 * 8 * 1024 * 1024);
    for (std::int64_t bytes : each)
        EXPECT_GT(bytes, total / 8);
}

} // namespace
