#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The bytes the run compares with the server before it fetches a range: up
// to kHeldSampleSize bytes that the incomplete file already holds, next to
// the first queued range. A byte is held when no queued range covers it (a
// range covers Begin through End, End included). The sample is the held
// bytes that end at the first range's Begin - 1, or, when that range begins
// at 0 (or the byte before it is not held), the held bytes that start at its
// End + 1; it stops at the first byte that is not held. When neither side of
// the first range is held, the first held bytes of the file are taken.
// Nothing when the file holds no byte outside the queue.
inline constexpr std::int64_t kHeldSampleSize = 65536;

// First and last offset of the sample, both included.
std::optional<std::pair<std::int64_t, std::int64_t>>
HeldSample(const std::vector<std::pair<std::int64_t, std::int64_t>>& queue, std::int64_t fileSize);
