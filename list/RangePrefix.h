#pragma once

#include <cstdint>
#include <optional>

// A queued range of an entry and the entry's counters, as they stand.
struct RangeState {
    std::int64_t begin = 0, end = 0;
    std::int64_t downloaded = 0, remains = 0;
};

// What recording a durable prefix of a range changes.
struct PrefixRecord {
    // The prefix holds every byte the range can deliver (to its End, or to
    // the file's last byte): the range is taken, and the counters move by
    // End - Begin as for any taken range.
    bool wholeRange = false;
    // Otherwise the range's new Begin: the first byte not yet durable.
    std::int64_t begin = 0;
    // The counters after the record.
    std::int64_t downloaded = 0, remains = 0;
};

// Recording that every byte before `durableTo` (an offset in the file) is
// on disk. Downloaded and Remains move by exactly the bytes recorded, so
// that taking the rest of the range later still brings them where taking
// the whole range would have. Nothing when no new byte is durable. Throws
// AppError when a counter would leave the signed 64-bit range.
std::optional<PrefixRecord> RecordPrefix(const RangeState& now, std::int64_t fileSize,
                                         std::int64_t durableTo);
