// Telling a file's encoding from its first bytes, and decoding to UTF-8.
#include "xml/XmlEncoding.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

const std::string kFilm1251 = "\xD4\xE8\xEB\xFC\xEC";                     // Фильм
const std::string kFilmUtf8 = "\xD0\xA4\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBC"; // Фильм
const std::string kFffd = "\xEF\xBF\xBD";

TEST(XmlEncoding, SniffsByteOrderMarksAndDeclarations) {
    struct Case {
        std::string head, stream, declared;
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\" encoding=\"Windows-1251\"?>", "Windows-1251", "Windows-1251"},
        {"<?xml version='1.0' encoding \r\n= 'koi8-r' ?><a/>", "koi8-r", "koi8-r"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "UTF-8", "UTF-8"},
        {"<?xml version=\"1.0\"?><a encoding=\"cp866\"/>", "", ""},
        {"<?xml version=\"1.0\" encoding=UTF-8?>", "", ""},
        {" <?xml version=\"1.0\" encoding=\"cp866\"?>", "", ""},
        {"", "", ""},
        {"\xFF\xFE<\0?\0"s, "UTF-16LE", ""},
        {"<\0?\0x\0"s, "UTF-16LE", ""},
        {"\xFE\xFF\0<"s, "UTF-16BE", ""},
        {"\0<\0?"s, "UTF-16BE", ""},
        {"\xFF\xFE\0\0"s, "UTF-32LE", ""},
        {"\0\0\xFE\xFF"s, "UTF-32BE", ""},
        {"\x4C\x6F\xA7\x94", "IBM037", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StreamEncoding(c.head), c.stream) << c.head;
        EXPECT_EQ(DeclaredEncoding(c.head), c.declared) << c.head;
    }
    for (const char* ascii : {"", "windows-1251", "UTF-8", "ISO-8859-5", "koi8-r", "cp1252"})
        EXPECT_TRUE(KeepsAsciiBytes(ascii)) << ascii;
    for (const char* other : {"UTF-16LE", "UTF-32BE", "IBM037", "Shift_JIS"})
        EXPECT_FALSE(KeepsAsciiBytes(other)) << other;
}

TEST(XmlEncoding, DecodesToWellFormedUtf8) {
    struct Case {
        std::string bytes, encoding, utf8;
    };
    const Case cases[] = {
        {"C:\\" + kFilm1251, "Windows-1251", "C:\\" + kFilmUtf8},
        {"a\x98z", "Windows-1251", "a" + kFffd + "z"}, // 0x98 is unassigned there
        {kFilmUtf8 + "\xFF", "UTF-8", kFilmUtf8 + kFffd},
        {kFilm1251.substr(0, 1), "", kFffd},
        {kFilm1251.substr(0, 1), "no-such-encoding", kFffd},
        {"A\0B"s, "UTF-16LE", "A" + kFffd}, // cut off in the middle of a character
    };
    for (const Case& c : cases)
        EXPECT_EQ(ToUtf8(c.bytes, c.encoding), c.utf8) << c.encoding;
}

TEST(XmlEncoding, StreamDecoderJoinsCharactersCutBetweenPieces) {
    const std::string utf16 = "<\0\x24\x04 \0=\0"s; // "<Ф =" in UTF-16LE
    Utf8StreamDecoder decoder("UTF-16LE");
    ASSERT_TRUE(decoder.Valid());
    std::string text;
    const auto collect = [&](std::string_view part) {
        text.append(part);
        return true;
    };
    for (const char byte : utf16)
        EXPECT_TRUE(decoder.Feed(std::string_view(&byte, 1), collect));
    EXPECT_EQ(text, "<\xD0\xA4 =");
    // A sink that says no stops the decoding at once.
    EXPECT_FALSE(decoder.Feed("a\0"s, [](std::string_view) { return false; }));
    EXPECT_FALSE(Utf8StreamDecoder("no-such-encoding").Valid());
}

} // namespace
