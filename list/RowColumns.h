#pragma once

#include <array>

// The columns of a download row: the caption, then six sub-items, each
// showing the entry attribute of the same name.
enum RowColumn {
    FileNameColumn,
    FileSizeColumn,
    DownloadedColumn,
    PercentColumn,
    RemainsColumn,
    SegmentsColumn,
    URLColumn,
    kRowColumnCount
};

// The entry attribute each column shows, in column order.
inline constexpr std::array<const char*, kRowColumnCount> kRowColumnAttributes = {
    "FileName", "FileSize", "Downloaded", "Percent", "Remains", "Segments", "URL"};
