#include "app/core/WindowDrops.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowDrops, OnlyOneLocalSegmentFileIsTaken) {
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

TEST(WindowDrops, OnlyOneHttpOrHttpsAddressOpensNewDownload) {
    const QString link = QStringLiteral("https://example.com/get/file.iso?x=1");
    EXPECT_EQ(DroppedWebAddress({QUrl(link)}, {}), link.toStdString());
    EXPECT_EQ(DroppedWebAddress({}, "  HTTP://example.com/a.bin\n"), "HTTP://example.com/a.bin");
    EXPECT_EQ(DroppedWebAddress({QUrl(link), QUrl(link)}, {}), std::nullopt);
    EXPECT_EQ(DroppedWebAddress({QUrl("ftp://example.com/a.bin")}, {}), std::nullopt);
    EXPECT_EQ(DroppedWebAddress({QUrl::fromLocalFile("/home/ann/a.bin")}, {}), std::nullopt);
    EXPECT_EQ(DroppedWebAddress({}, "http://a.example/1\nhttp://b.example/2"), std::nullopt);
    EXPECT_EQ(DroppedWebAddress({}, "http:///no-host"), std::nullopt);
    EXPECT_EQ(DroppedWebAddress({}, "see http://example.com/a.bin"), std::nullopt);
}

} // namespace
