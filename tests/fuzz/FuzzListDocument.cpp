// libFuzzer entry point for the list document: the input becomes List.xml in
// a scratch folder and is opened as at start-up. An opened list is read entry
// by entry, its first range taken, and the saved document opened again:
// whatever the program loads, it must be able to write and load back.

#include "FuzzTempFile.h"

#include "common/AppError.h"
#include "list/ListDocument.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

constexpr const char* kEntryAttributes[] = {
    "FileName", "FileSize", "Downloaded", "Percent", "Remains",   "Segments", "URL",
    "Referer",  "AuthName", "AuthPass",   "Proxy",   "ProxyName", "ProxyPass"};

// Reads what the window reads of every entry; missing parts are refused with
// AppError, which is an answer, not a fault.
void ReadEntries(const ListDocument& list) {
    const int count = list.EntryCount();
    FUZZ_CHECK(count >= 0);
    for (int row = 0; row < count; ++row) {
        const ListEntry entry = list.FindEntry(row);
        if (!entry) continue;
        for (const char* name : kEntryAttributes) {
            try {
                entry.AttributeText(name);
            } catch (const AppError&) {
            }
        }
        const bool queued = entry.HasSegmentQueue();
        try {
            entry.FirstRange();
        } catch (const AppError&) {
            continue;
        }
        FUZZ_CHECK(queued);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FuzzScratchFolder folder;
    static const std::string path = folder.File("List.xml");
    FuzzScratchFolder::Write(path, data, size);

    ListDocument list(path);
    try {
        list.OpenList();
    } catch (const AppError&) {
        FUZZ_CHECK(!list.IsOpen());
        return 0;
    }
    FUZZ_CHECK(list.IsOpen());
    ReadEntries(list);
    const int count = list.EntryCount();

    // A job run takes the first range of the first entry; a queue it cannot
    // advance (a gap in its numbering, say) or a list without a root is
    // refused with AppError.
    try {
        if (const ListEntry entry = list.FindEntry(0); entry && entry.HasSegmentQueue())
            list.TakeFirstRange(entry, {"1", "1%", "1", "1"});
        list.SaveList();
    } catch (const AppError&) {
        return 0;
    }

    // What was saved opens again with the same entries.
    ListDocument reopened(path);
    try {
        reopened.OpenList();
    } catch (const AppError& error) {
        std::fprintf(stderr, "saved list does not open again: %s\n", error.what());
        FUZZ_CHECK(false);
    }
    FUZZ_CHECK(reopened.EntryCount() == count);
    ReadEntries(reopened);
    return 0;
}
