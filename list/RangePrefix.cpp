#include "list/RangePrefix.h"

#include "common/Texts.h"

#include <algorithm>

std::optional<PrefixRecord> RecordPrefix(const RangeState& now, std::int64_t fileSize,
                                         std::int64_t durableTo) {
    if (durableTo <= now.begin) return std::nullopt;
    const std::string downloadedText = IntToText(now.downloaded);
    const std::string remainsText = IntToText(now.remains);
    PrefixRecord record;
    // The last byte the range can deliver.
    const std::int64_t last = std::min(now.end, fileSize - 1);
    std::int64_t moved = 0;
    if (durableTo > last) {
        record.wholeRange = true;
        moved = SubtractChecked(now.end, now.begin, IntToText(now.end));
    } else {
        record.begin = durableTo;
        moved = durableTo - now.begin;
    }
    record.downloaded = AddChecked(now.downloaded, moved, downloadedText);
    record.remains = SubtractChecked(now.remains, moved, remainsText);
    return record;
}
