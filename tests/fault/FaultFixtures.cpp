#include "FaultFixtures.h"

#include "common/AppError.h"
#include "common/Texts.h"
#include "list/ListDocument.h"
#include "list/ListSnapshot.h"

#include <gtest/gtest.h>

std::string StoredEntry::Text(const std::string& name) const {
    for (const auto& [key, value] : attributes)
        if (key == name) return value;
    return {};
}

bool StoredEntry::Has(const std::string& name) const {
    for (const auto& attribute : attributes)
        if (attribute.first == name) return true;
    return false;
}

namespace {

// The queue in S1, S2, .. order; a gap in the numbering shows as "<missing S<i>>".
std::vector<std::string> QueueOf(const ElementSnapshot* element) {
    std::vector<std::string> queue;
    if (!element) return queue;
    for (size_t i = 1; i <= element->attributes.size(); ++i) {
        const std::string name = "S" + std::to_string(i);
        queue.push_back(element->Attribute(name).value_or("<missing " + name + ">"));
    }
    return queue;
}

} // namespace

StoredList ReadStoredList(const std::string& listPath) {
    StoredList list;
    if (!FileExists(listPath)) {
        list.error = "no file";
        return list;
    }
    ListDocument document(listPath);
    try {
        document.OpenList();
    } catch (const AppError& e) {
        list.error = e.what();
        return list;
    }
    list.parsed = true;
    for (int row = 0; row < document.EntryCount(); ++row) {
        const ElementSnapshot element = SnapshotOf(document.FindEntry(row));
        StoredEntry entry;
        entry.attributes = element.attributes;
        if (const ElementSnapshot* segments = element.Child("Segments")) {
            entry.begins = QueueOf(segments->Child("Begin"));
            entry.ends = QueueOf(segments->Child("End"));
        }
        list.entries.push_back(std::move(entry));
    }
    return list;
}

StoredList PeekStoredList(const std::string& listPath) {
    TempDir copy;
    try {
        WriteWholeFile(copy.file("List.xml"), ReadWholeFile(listPath));
    } catch (const std::exception& e) {
        StoredList none;
        none.error = e.what(); // gone meanwhile, say with its file system
        return none;
    }
    return ReadStoredList(copy.file("List.xml"));
}

int64_t RecordedBegin(const std::string& listPath) {
    const StoredList list = PeekStoredList(listPath);
    if (list.entries.size() != 2 || list.entries[1].begins.empty()) return -1;
    return std::stoll(list.entries[1].begins[0]);
}

int64_t RecordedInHole(const std::string& listPath, int64_t holeBegin, int64_t holeEnd) {
    const StoredList list = PeekStoredList(listPath);
    if (!list.parsed) return -1;
    if (list.entries.size() < 2) return holeEnd - holeBegin;
    for (const std::string& text : list.entries[1].begins) {
        const int64_t begin = std::stoll(text);
        if (begin >= holeBegin && begin < holeEnd) return begin - holeBegin;
    }
    return holeEnd - holeBegin;
}

std::string CounterViolations(const StoredEntry& entry) {
    std::string problems;
    try {
        const int64_t size = StrToInt64(entry.Text("FileSize"));
        const int64_t downloaded = StrToInt64(entry.Text("Downloaded"));
        const int64_t remains = StrToInt64(entry.Text("Remains"));
        const int64_t segments = StrToInt64(entry.Text("Segments"));
        if (remains != size - downloaded)
            problems += "Remains " + entry.Text("Remains") + " is not FileSize - Downloaded; ";
        if (segments != static_cast<int64_t>(entry.begins.size()))
            problems += "Segments " + entry.Text("Segments") + " but Begin holds " +
                        std::to_string(entry.begins.size()) + " ranges; ";
        if (entry.begins.size() != entry.ends.size())
            problems += "Begin holds " + std::to_string(entry.begins.size()) + " and End " +
                        std::to_string(entry.ends.size()) + " ranges; ";
        if (entry.Text("Percent") != PercentText(downloaded, size))
            problems += "Percent " + entry.Text("Percent") + " does not match Downloaded; ";
    } catch (const AppError& e) {
        problems += std::string("a counter is not a number: ") + e.what();
    }
    return problems;
}

int64_t CheckLeftBehind(const std::string& listPath, const std::string& dataPath,
                        const HoleyFile& file, const std::string& original,
                        const StoredEntry& neighbour) {
    const StoredList list = ReadStoredList(listPath);
    EXPECT_TRUE(list.parsed) << list.error;
    if (!list.parsed || list.entries.empty() || list.entries.size() > 2) {
        ADD_FAILURE() << "List.xml holds " << list.entries.size() << " entries";
        return 0;
    }
    // The entry that no run touched is exactly as it was.
    EXPECT_EQ(list.entries[0].attributes, neighbour.attributes);
    EXPECT_EQ(list.entries[0].begins, neighbour.begins);
    EXPECT_EQ(list.entries[0].ends, neighbour.ends);

    const std::string written = FileExists(dataPath) ? ReadWholeFile(dataPath) : "";
    EXPECT_EQ(static_cast<int64_t>(written.size()), file.size);
    if (list.entries.size() == 1) {
        EXPECT_TRUE(written == original) << "the entry is gone, but the file is not complete";
        return file.size;
    }

    const StoredEntry& entry = list.entries[1];
    EXPECT_EQ(CounterViolations(entry), "");
    EXPECT_EQ(entry.Text("FileName"), file.incomplete);
    EXPECT_EQ(entry.Text("FileSize"), std::to_string(file.size));

    // The queue is what is left of the original ranges, in their order; the
    // first may begin later, after a prefix that was recorded.
    const size_t queued = std::min(entry.begins.size(), entry.ends.size());
    const size_t taken = file.ranges.size() - std::min(queued, file.ranges.size());
    int64_t prefix = 0;
    for (size_t i = 0; i < queued && taken + i < file.ranges.size(); ++i) {
        const auto [begin, end] = file.ranges[taken + i];
        if (i == 0) {
            const int64_t now = std::stoll(entry.begins[0]);
            EXPECT_TRUE(now >= begin && now <= std::min(end, file.size - 1)) << "S1 " << now;
            prefix = now - begin;
        } else {
            EXPECT_EQ(entry.begins[i], std::to_string(begin)) << "S" << i + 1;
        }
        EXPECT_EQ(entry.ends[i], std::to_string(end)) << "S" << i + 1;
    }
    int64_t counted = file.size - file.Missing() + prefix;
    for (size_t i = 0; i < taken; ++i)
        counted += file.ranges[i].second - file.ranges[i].first;
    EXPECT_EQ(entry.Text("Downloaded"), std::to_string(counted));

    // Every byte the list no longer asks for is in the file: each range it
    // no longer lists, from begin through end, and the recorded prefix.
    std::vector<std::pair<int64_t, int64_t>> claimed(file.ranges.begin(),
                                                     file.ranges.begin() + taken);
    if (prefix > 0)
        claimed.emplace_back(file.ranges[taken].first, file.ranges[taken].first + prefix - 1);
    std::string wrong;
    for (const auto& [begin, end] : claimed) {
        const size_t length = static_cast<size_t>(std::min(end, file.size - 1) - begin + 1);
        if (written.size() < static_cast<size_t>(begin) + length ||
            written.compare(static_cast<size_t>(begin), length, original,
                            static_cast<size_t>(begin), length) != 0)
            wrong += " " + std::to_string(begin) + "-" + std::to_string(end);
    }
    EXPECT_EQ(wrong, "") << "of the ranges the list no longer asks for, these are not in the file";
    return counted;
}

std::vector<std::string> RunArgs(const std::string& listPath, int row) {
    return {"run", listPath, std::to_string(row)};
}

std::vector<std::string> ImportArgs(const std::string& listPath, const std::string& segmentFile,
                                    const std::string& url) {
    return {"import", listPath, segmentFile, url};
}
