// libFuzzer entry point for the list document: the input becomes List.xml in
// a scratch folder and is opened as at start-up. An opened list is read entry
// by entry, its first queue advanced, and the saved document opened again:
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
        const XmlElement entry = list.FindEntry(row);
        if (!entry) continue;
        for (const char* name : kEntryAttributes) {
            try {
                ListDocument::AttributeText(entry, name);
            } catch (const AppError&) {
            }
        }
        const XmlElement segments = ListDocument::ChildElement(entry, "Segments");
        for (const char* part : {"Begin", "End"}) {
            const XmlElement queue = ListDocument::ChildElement(segments, part);
            try {
                ListDocument::AttributeText(queue, "S1");
            } catch (const AppError&) {
            }
        }
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

    // A job run advances the first queue and saves; a refused queue (a gap in
    // its numbering, say) or a list without a root is refused with AppError.
    try {
        if (const XmlElement entry = list.FindEntry(0)) {
            const XmlElement segments = ListDocument::ChildElement(entry, "Segments");
            if (const XmlElement begin = ListDocument::ChildElement(segments, "Begin"))
                list.AdvanceQueue(begin);
        }
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
