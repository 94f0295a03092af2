// The attribute guard and the entity guard at their limits and one past them.
#include "support/TempDir.h"
#include "xml/AttributeGuard.h"
#include "xml/EntityGuard.h"
#include "xml/XmlDoc.h"
#include "xml/XmlErrors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A start tag of count attributes written with the given "=".
std::string Tag(std::size_t count, const std::string& equals = "=") {
    std::string tag = "<x";
    for (std::size_t i = 1; i <= count; ++i)
        tag += " a" + std::to_string(i) + equals + "\"1\"";
    return tag + "/>";
}

std::string Utf16Le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii)
        out += std::string{c, '\0'};
    return out;
}

TEST(AttributeGuard, InputEndsBeforeACrowdedTagInAnyEncoding) {
    struct Case {
        std::string text;
        bool utf16;
        int crowdedLine; // 0: not crowded
    };
    const std::size_t max = kMaxAttributes;
    const std::string head16 = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<r>\n";
    const Case cases[] = {
        {Tag(max), false, 0},
        {Tag(max + 1), false, 1},
        {"<r a=\"1\">\n" + Tag(max) + Tag(max), false, 0},
        {"<r>\n\n" + Tag(max + 1), false, 3},
        {head16 + Tag(max), true, 0},
        {head16 + Tag(max + 1), true, 3},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string bytes = c.utf16 ? Utf16Le(c.text) : c.text;
        WriteWholeFile(dir.file("f"), bytes);
        const int fd = open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        CountingInput input(fd);
        // Read in small pieces: the count goes on across them.
        std::string passed;
        char buffer[1000];
        int got;
        while ((got = CountingInput::Read(&input, buffer, sizeof buffer)) > 0)
            passed.append(buffer, static_cast<std::size_t>(got));
        close(fd);
        const bool crowded = c.crowdedLine > 0;
        EXPECT_EQ(got, crowded ? -1 : 0) << c.crowdedLine;
        EXPECT_EQ(input.Counter().Crowded(), crowded);
        EXPECT_EQ(CrowdedText(c.text), crowded);
        // What is passed on is the file's own bytes; never the crowded tag whole.
        EXPECT_EQ(passed, bytes.substr(0, crowded ? passed.size() : bytes.size()));
        if (crowded) {
            EXPECT_LT(passed.size(), bytes.size());
            EXPECT_EQ(input.Counter().TagLine(), c.crowdedLine);
        }
    }
}

TEST(EntityGuard, RefusesACrowdedEntityWhereItIsDeclared) {
    for (const std::size_t count : {kMaxAttributes, kMaxAttributes + 1}) {
        // Character references hide the markup from the scan of the file.
        const std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n\n<!ENTITY crowd '&#60;" +
                                 Tag(count, "&#61;").substr(1) + "'>\n]>\n<r/>\n";
        XmlErrorCapture quiet;
        xmlParserCtxt* ctxt = xmlNewParserCtxt();
        ASSERT_NE(ctxt, nullptr);
        EntityGuard guard;
        GuardEntityDeclarations(ctxt, guard);
        const XmlDocPtr doc(xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()),
                                              nullptr, nullptr, XML_PARSE_NONET));
        xmlFreeParserCtxt(ctxt);
        const bool crowded = count > kMaxAttributes;
        EXPECT_EQ(guard.crowded, crowded) << count;
        EXPECT_EQ(guard.line, crowded ? 4 : 0) << count;
        // An entity that passes is declared as usual.
        EXPECT_EQ(doc && xmlGetDocEntity(doc.get(), BAD_CAST "crowd"), !crowded) << count;
    }
}

} // namespace
