#include "HoleyFile.h"

#include "TempDir.h"

#include <algorithm>
#include <random>

std::string RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

int64_t HoleyFile::Missing() const {
    int64_t missing = 0;
    for (const auto& [begin, end] : ranges)
        missing += end - begin;
    return missing;
}

std::string HoleyFile::SegmentFileText(const std::string& recordedName) const {
    std::string begin, end;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const std::string name = " n" + std::to_string(i + 1) + "=\"";
        begin += name + std::to_string(ranges[i].first) + "\"";
        end += name + std::to_string(ranges[i].second) + "\"";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SDL>\n <n1 File_name=\"" + recordedName +
           "\" Size=\"" + std::to_string(size) + "\" Loaded=\"" + std::to_string(size - Missing()) +
           "\">\n  <Segments><Begin" + begin + "/><End" + end + "/></Segments>\n </n1>\n</SDL>\n";
}

TestEntry HoleyFile::Entry(const std::string& url) const {
    TestEntry e;
    e.fileName = incomplete;
    e.fileSize = std::to_string(size);
    e.downloaded = std::to_string(size - Missing());
    e.remains = std::to_string(Missing());
    e.percent = "0%";
    e.url = url;
    for (const auto& [begin, end] : ranges)
        e.ranges.push_back({begin, end});
    return e;
}

HoleyFile MakeHoleyFile(const std::string& originalPath, const std::string& incompletePath,
                        int64_t size, const std::vector<std::pair<int64_t, int64_t>>& ranges,
                        uint32_t seed) {
    HoleyFile file;
    file.original = originalPath;
    file.incomplete = incompletePath;
    file.size = size;
    file.ranges = ranges;
    std::string bytes = RandomBytes(static_cast<size_t>(size), seed);
    WriteWholeFile(originalPath, bytes);
    for (const auto& [begin, end] : ranges)
        for (int64_t i = begin; i < end && i < size; ++i)
            bytes[static_cast<size_t>(i)] = '\0';
    WriteWholeFile(incompletePath, bytes);
    return file;
}

bool HoleHoldsAtMostAPrefix(const std::string& now, const std::string& original, int64_t begin,
                            int64_t end) {
    if (now.size() < static_cast<size_t>(end) || original.size() < static_cast<size_t>(end))
        return false;
    int64_t i = begin;
    while (i < end && now[i] == original[i])
        ++i;
    for (; i < end; ++i)
        if (now[i] != '\0') return false;
    return true;
}

std::string QueueViolations(const HoleyFile& file, const std::string& original,
                            const std::string& now, std::vector<std::pair<int64_t, int64_t>> queue,
                            int64_t downloaded) {
    std::string violations;
    auto range = [](const std::pair<int64_t, int64_t>& r) {
        return "[" + std::to_string(r.first) + ", " + std::to_string(r.second) + "]";
    };
    int64_t queued = 0;
    for (const auto& r : queue) {
        queued += r.second - r.first;
        bool inHole = false;
        for (const auto& hole : file.ranges)
            inHole =
                inHole || (hole.first <= r.first && r.first <= r.second && r.second <= hole.second);
        if (!inHole) violations += "range " + range(r) + " lies in no hole; ";
    }
    std::sort(queue.begin(), queue.end());
    for (std::size_t i = 1; i < queue.size(); ++i)
        if (queue[i].first < queue[i - 1].second)
            violations +=
                "ranges " + range(queue[i - 1]) + " and " + range(queue[i]) + " overlap; ";
    for (const auto& hole : file.ranges)
        for (int64_t at = hole.first; at < hole.second; ++at) {
            const bool stillQueued = std::any_of(queue.begin(), queue.end(), [at](const auto& r) {
                return r.first <= at && at < r.second;
            });
            if (stillQueued ||
                now[static_cast<std::size_t>(at)] == original[static_cast<std::size_t>(at)])
                continue;
            violations += "byte " + std::to_string(at) + " is counted as there but is not; ";
            break;
        }
    const int64_t expected = file.size - queued;
    if (downloaded != expected)
        violations += "Downloaded is " + std::to_string(downloaded) + ", the queue says " +
                      std::to_string(expected) + "; ";
    return violations;
}
