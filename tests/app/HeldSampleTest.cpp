#include "app/core/HeldSample.h"

#include <gtest/gtest.h>

namespace {

using Queue = std::vector<std::pair<std::int64_t, std::int64_t>>;
using Sample = std::optional<std::pair<std::int64_t, std::int64_t>>;

TEST(HeldSample, NextToTheFirstRangeStoppingAtTheFirstByteNotHeld) {
    constexpr std::int64_t k = kHeldSampleSize;
    const struct Case {
        const char* name;
        Queue queue;
        std::int64_t size;
        Sample sample;
    } cases[] = {
        {"the bytes before the first range", {{100, 200}, {500, 600}}, 1000, {{0, 99}}},
        {"at most the sample's size", {{3 * k, 3 * k + 9}}, 4 * k, {{2 * k, 3 * k - 1}}},
        {"stops where an earlier range ends", {{5000, 5009}, {1000, 4000}}, 9000, {{4001, 4999}}},
        {"a range at 0: the bytes after its end", {{0, 1000}, {4000, 5000}}, 5000, {{1001, 3999}}},
        {"after its end, at most the size", {{0, 9}}, 3 * k, {{10, 10 + k - 1}}},
        {"the byte before is missing too: after", {{100, 200}, {50, 99}}, 1000, {{201, 999}}},
        {"neither side held: the file's first held bytes",
         {{100, 200}, {50, 99}, {201, 300}},
         1000,
         {{0, 49}}},
        {"an end past the file counts to its last byte", {{10, 99999}}, 100, {{0, 9}}},
        {"one range over the whole file: nothing", {{0, 999}}, 1000, std::nullopt},
        {"ranges that cover it together: nothing", {{500, 999}, {0, 499}}, 1000, std::nullopt},
        {"an empty file: nothing", {{0, 0}}, 0, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HeldSample(c.queue, c.size), c.sample) << c.name;
}

} // namespace
