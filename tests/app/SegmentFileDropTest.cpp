#include "app/core/SegmentFileDrop.h"

#include <gtest/gtest.h>

namespace {

TEST(SegmentFileDrop, OnlyOneLocalSegmentFileIsTaken) {
    const QUrl sdl = QUrl::fromLocalFile("/home/ann/part.sdl");
    EXPECT_EQ(DroppedSegmentFile({sdl}), "/home/ann/part.sdl");
    EXPECT_EQ(DroppedSegmentFile({QUrl::fromLocalFile("/home/ann/PART.SDL")}),
              "/home/ann/PART.SDL");
    EXPECT_EQ(DroppedSegmentFile({}), std::nullopt);
    EXPECT_EQ(DroppedSegmentFile({sdl, QUrl::fromLocalFile("/home/ann/other.sdl")}), std::nullopt);
    EXPECT_EQ(DroppedSegmentFile({QUrl::fromLocalFile("/home/ann/part.avi")}), std::nullopt);
    EXPECT_EQ(DroppedSegmentFile({QUrl::fromLocalFile("/home/ann/part.sdl.txt")}), std::nullopt);
    EXPECT_EQ(DroppedSegmentFile({QUrl("http://example.com/part.sdl")}), std::nullopt);
}

} // namespace
