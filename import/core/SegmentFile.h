#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a segment file yields for an import: the texts are kept exactly as the
// file writes them, the numbers are derived from them.
struct ImportValues {
    std::string IncompletePath; // the segment file's folder + the last part of File_name
    std::string SizeText;       // Size, as written
    std::string LoadedText;     // Loaded, as written
    std::string PercentText;    // PercentText(Loaded, Size)
    int64_t Remains = 0;        // Size - Loaded
    int64_t RangeCount = 0;     // number of End's attributes
    std::vector<std::pair<std::string, std::string>> Ranges; // Begin's n<i>, End's n<i>
};

// True when the file's first line (the bytes up to the first CR or LF)
// contains "<?xml version=" in any ASCII letter case. Throws AppError with the
// I/O error text when the file cannot be opened for reading; anything that is
// not a regular file is refused as "File access denied".
bool IsSegmentFile(const std::string& path);

// The message shown when IsSegmentFile answers no.
std::string NotSegmentFileMessage(const std::string& path);

// Parses the segment file and derives the import values. Throws AppError with
// the first failure met; the parsed document is released in every case.
ImportValues ReadSegmentFile(const std::string& path);

// The text of an I/O error for an errno value: "File not found",
// "Invalid filename", "Too many open files", "File access denied" or
// "I/O error <n>".
std::string IoErrorText(int error);

// What separates folders in the names a segment file holds and in the paths
// an import derives from them.
inline constexpr std::string_view kFolderSeparators = "\\:/";

// The incomplete file's path: the segment file's folder followed by the part
// of fileName after its last "\", ":" or "/". A name that comes out empty, "."
// or ".." is refused with AppError, so the path never leaves that folder.
std::string IncompleteFilePath(const std::string& segmentFilePath, const std::string& fileName);
