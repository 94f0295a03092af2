// Parse error capture and quoting, and the check that a written document
// loads again.
#include "xml/XmlDoc.h"
#include "support/TempDir.h"
#include "xml/XmlErrors.h"

#include "common/AppError.h"

#include <gtest/gtest.h>

#include <libxml/parser.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

XmlDocPtr Parse(const std::string& text, const char* encoding = nullptr) {
    return XmlDocPtr(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, encoding, 0));
}

std::string Text(const XmlBufferPtr& buffer) {
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                       static_cast<std::size_t>(xmlBufferLength(buffer.get())));
}

XmlDocPtr FromUtf8(const std::string& text) {
    XmlErrorCapture quiet;
    return Parse(text, "UTF-8");
}

TEST(XmlErrors, QuotesTheFaultyLineDecoded) {
    TempDir dir;
    const std::string head = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\r\n";
    // Line 2 holds 45 characters: 5 Cyrillic ones in Windows-1251, then 40 digits.
    const std::string text = head + "\xD4\xE8\xEB\xFC\xEC" + std::string(40, '7') + "\r\nend";
    WriteWholeFile(dir.file("f"), text);
    const int fd = open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(QuotedLine(fd, 2), "\xD0\xA4\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBC" + std::string(35, '7'));
    EXPECT_EQ(QuotedLine(fd, 3), "end");
    EXPECT_EQ(QuotedLine(fd, 4), "");
    EXPECT_EQ(QuotedLine(fd, 0), "");
    close(fd);
}

TEST(XmlErrors, CaptureKeepsTheFirstFatalErrorAndGivesTheHandlerBack) {
    static int printed = 0;
    void* const previousContext = xmlStructuredErrorContext;
    const xmlStructuredErrorFunc previous = xmlStructuredError;
    const xmlStructuredErrorFunc counting = [](void*, auto*) { ++printed; };
    xmlSetStructuredErrorFunc(nullptr, counting);
    const std::string bad = "<r>\n<a></b>\n<c></d>\n";
    {
        XmlErrorCapture errors;
        EXPECT_FALSE(errors.HasError());
        EXPECT_EQ(Parse(bad), nullptr);
        EXPECT_TRUE(errors.HasError());
        EXPECT_EQ(errors.Reason().rfind("Opening and ending tag mismatch: a line 2", 0), 0u)
            << errors.Reason();
        EXPECT_FALSE(errors.Reason().ends_with('\n'));
        EXPECT_EQ(errors.Line(), 2);
    }
    EXPECT_EQ(printed, 0);
    EXPECT_EQ(Parse(bad), nullptr);
    EXPECT_GT(printed, 0);
    xmlSetStructuredErrorFunc(previousContext, previous);
}

TEST(RoundTrip, RefusesToWriteWhatWouldNotLoadAgain) {
    struct Case {
        std::string document;
        bool written;
    };
    const std::string han = "\xE5\x90\x8D"; // no Windows-1251 character
    const std::string zhe = "\xD0\x96";     // a Windows-1251 character
    const Case cases[] = {
        {"<" + han + "/>", false},
        {"<r " + han + "=\"1\"/>", false},
        {"<r><?" + han + " x?></r>", false},
        {"<r xmlns:" + han + "=\"u\"/>", false},
        {"<" + zhe + " " + zhe + "=\"" + zhe + "\"/>", true},
        {"<r a=\"" + han + "\">" + han + "</r>", true},
        {"<!DOCTYPE r [<!ENTITY e \"" + han + "\">]><r>&e;</r>", true},
    };
    for (const Case& c : cases) {
        const XmlDocPtr doc = FromUtf8(c.document);
        ASSERT_NE(doc, nullptr) << c.document;
        try {
            // What was written loads again, and writes the very same text.
            const std::string written = Text(SerializeXml(doc.get(), "Windows-1251"));
            EXPECT_TRUE(c.written) << c.document;
            const XmlDocPtr again = Parse(written);
            ASSERT_NE(again, nullptr) << c.document;
            EXPECT_EQ(Text(SerializeXml(again.get(), "Windows-1251")), written);
        } catch (const AppError& error) {
            EXPECT_FALSE(c.written) << c.document;
            EXPECT_STREQ(error.what(), "The document cannot be written in Windows-1251");
        }
    }
    EXPECT_THROW(SerializeXml(FromUtf8("<r/>").get(), "no-such-encoding"), AppError);
}

} // namespace
