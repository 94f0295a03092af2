// libFuzzer entry point for the segment-file reader: the input becomes the
// contents of a .sdl file in a scratch folder, which the first-line test and
// the reader then take in as an import would.

#include "FuzzTempFile.h"

#include "common/AppError.h"
#include "common/FolderSync.h"
#include "common/Texts.h"
#include "import/core/SegmentFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FuzzScratchFolder folder;
    static const std::string path = folder.File("download.sdl");
    FuzzScratchFolder::Write(path, data, size);

    // A readable regular file: the first-line test answers, it never fails.
    try {
        IsSegmentFile(path);
    } catch (const AppError& error) {
        std::fprintf(stderr, "IsSegmentFile failed: %s\n", error.what());
        FUZZ_CHECK(false);
    }

    ImportValues values;
    try {
        values = ReadSegmentFile(path);
    } catch (const AppError&) {
        return 0;
    }
    // The incomplete file stays in the segment file's folder.
    const std::string folderPrefix = FolderOf(path, kFolderSeparators);
    FUZZ_CHECK(values.IncompletePath.starts_with(folderPrefix));
    const std::string name = values.IncompletePath.substr(folderPrefix.size());
    FUZZ_CHECK(!name.empty() && name != "." && name != "..");
    FUZZ_CHECK(name.find_first_of("/\\:") == std::string::npos);
    // The numbers agree with the texts they came from.
    FUZZ_CHECK(values.RangeCount >= 0);
    FUZZ_CHECK(values.Ranges.size() == static_cast<std::size_t>(values.RangeCount));
    const int64_t total = StrToInt64(values.SizeText);
    const int64_t loaded = StrToInt64(values.LoadedText);
    int64_t remains = 0;
    FUZZ_CHECK(!__builtin_sub_overflow(total, loaded, &remains) && remains == values.Remains);
    FUZZ_CHECK(values.PercentText.ends_with("%"));
    return 0;
}
