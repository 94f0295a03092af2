#include "common/Checksum.h"

#include <gtest/gtest.h>

namespace {

TEST(Checksum, PastedDigestsAreReadAsTheListKeepsThem) {
    const std::string md5(32, 'a'), sha1(40, 'b'), sha256(64, 'c'), sha512(128, 'd');
    struct Row {
        std::string text;
        std::string stored; // empty: refused
    };
    const Row rows[] = {
        {md5, "md5:" + md5},
        {sha1, "sha1:" + sha1},
        {sha256, "sha256:" + sha256},
        {sha512, "sha512:" + sha512},
        {"SHA256:" + std::string(64, 'C'), "sha256:" + sha256},
        {"sha-256: " + sha256.substr(0, 32) + " " + sha256.substr(32), "sha256:" + sha256},
        {"  MD5:" + md5 + "\n", "md5:" + md5},
        {"sha1:" + md5, ""},            // a prefix that names another length
        {"sha256:" + sha256 + "0", ""}, // 65 digits
        {std::string(63, 'c') + "g", ""},
        {"crc32:" + md5, ""},
        {"sha256:", ""},
        {"e3b0c442", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StoredChecksum(row.text), row.stored) << row.text;
        EXPECT_EQ(ChecksumFieldAccepted(row.text), !row.stored.empty()) << row.text;
        // What the list keeps reads back as itself.
        if (row.stored.empty()) continue;
        EXPECT_EQ(StoredChecksum(row.stored), row.stored);
    }
    EXPECT_TRUE(ChecksumFieldAccepted("   ")) << "an empty field means no checksum";
    EXPECT_EQ(StoredChecksum(""), "");
    EXPECT_EQ(ParseChecksum(sha1)->DisplayName(), "SHA-1");
    EXPECT_EQ(ParseChecksum(sha512)->DisplayName(), "SHA-512");
}

} // namespace
