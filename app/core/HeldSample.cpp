#include "app/core/HeldSample.h"

#include <algorithm>

namespace {

using Range = std::pair<std::int64_t, std::int64_t>;

// The missing ranges within the file, in order of their first byte, with
// overlapping and adjacent ones joined.
std::vector<Range> Missing(std::vector<Range> queue, std::int64_t fileSize) {
    std::vector<Range> ranges;
    for (auto [first, last] : queue) {
        last = std::min(last, fileSize - 1);
        first = std::max<std::int64_t>(first, 0);
        if (first <= last) ranges.emplace_back(first, last);
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<Range> joined;
    for (const Range& range : ranges) {
        if (!joined.empty() && range.first <= joined.back().second + 1)
            joined.back().second = std::max(joined.back().second, range.second);
        else
            joined.push_back(range);
    }
    return joined;
}

// The held run that contains `at`, as [first, last]; nothing when `at` is
// outside the file or missing.
std::optional<Range> HeldRunAt(const std::vector<Range>& missing, std::int64_t at,
                               std::int64_t fileSize) {
    if (at < 0 || at >= fileSize) return std::nullopt;
    std::int64_t first = 0, last = fileSize - 1;
    for (const Range& range : missing) {
        if (range.first <= at && at <= range.second) return std::nullopt;
        if (range.second < at) first = range.second + 1;
        if (range.first > at) {
            last = range.first - 1;
            break;
        }
    }
    return Range{first, last};
}

} // namespace

std::optional<std::pair<std::int64_t, std::int64_t>>
HeldSample(const std::vector<std::pair<std::int64_t, std::int64_t>>& queue, std::int64_t fileSize) {
    if (fileSize <= 0) return std::nullopt;
    const std::vector<Range> missing = Missing(queue, fileSize);
    if (!queue.empty()) {
        const auto [begin, end] = queue.front();
        if (begin > 0) {
            if (auto run = HeldRunAt(missing, begin - 1, fileSize)) {
                const std::int64_t last = std::min(begin - 1, run->second);
                return Range{std::max(run->first, last - kHeldSampleSize + 1), last};
            }
        }
        if (end < fileSize - 1 && end >= -1) {
            if (auto run = HeldRunAt(missing, end + 1, fileSize)) {
                const std::int64_t first = std::max(end + 1, run->first);
                return Range{first, first + std::min(run->second - first, kHeldSampleSize - 1)};
            }
        }
    }
    // Neither side of the first range is held: the file's first held bytes.
    std::int64_t first = 0;
    for (const Range& range : missing) {
        if (range.first > first) break;
        first = std::max(first, range.second + 1);
    }
    if (first >= fileSize) return std::nullopt;
    const auto run = HeldRunAt(missing, first, fileSize);
    return Range{first, first + std::min(run->second - first, kHeldSampleSize - 1)};
}
