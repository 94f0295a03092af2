// Malformed, truncated, enormous and hostile List.xml and segment files, read
// by the real program in a child process with 1 GiB of address space and a
// watchdog: each gives a clear message or loads, and none crashes, hangs,
// eats memory, reads a file it was pointed at or goes to the network.

#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers reserve terabytes of address space for their shadow memory.
constexpr bool kLimitMemory = false;
#else
constexpr bool kLimitMemory = true;
#endif
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;

constexpr const char* kSecret = "QUILVANE-SECRET-7f3a";
constexpr const char* kListHead = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n";
constexpr const char* kSegmentHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

// What a reader must make of a file.
enum class Outcome {
    Loads,         // no message; the entries (or the import values) are there
    ParseFailure,  // "<reason>\r\nLine: <n>\r\n<text>" with the given reason, if one is given
    Message,       // any other clear message, with the given text if one is given
    NotSegmentFile // the first-line test says no
};

struct Case {
    std::string name;
    std::string content;
    Outcome outcome;
    std::string reason; // expected start of the message; empty: libxml2's own words
};

std::string Entry(int k, const std::string& fileName = "/tmp/quilvane-hostile.bin",
                  const std::string& referer = "") {
    return "<N" + std::to_string(k) + " FileName=\"" + fileName +
           "\" FileSize=\"1000\" Downloaded=\"990\" Percent=\"99%\" Remains=\"10\" Segments=\"1\" "
           "URL=\"http://127.0.0.1:1/x\" Referer=\"" +
           referer +
           "\" AuthName=\"\" AuthPass=\"\" Proxy=\"\" ProxyName=\"\" ProxyPass=\"\"><Segments>"
           "<Begin S1=\"0\"/><End S1=\"10\"/></Segments></N" +
           std::to_string(k) + ">";
}

// The element n1 of a segment file, with one range unless told otherwise.
std::string N1Element(const std::string& fileName = "film.avi",
                      const std::string& beginAttributes = " n1=\"0\"",
                      const std::string& endAttributes = " n1=\"10\"") {
    return "<n1 File_name=\"" + fileName + "\" Size=\"1000\" Loaded=\"990\"><Segments><Begin" +
           beginAttributes + "/><End" + endAttributes + "/></Segments></n1>";
}

std::string SegmentBody(const std::string& fileName = "film.avi") {
    return "<root>" + N1Element(fileName) + "</root>";
}

// A DTD that nests ten entities ten deep: a billion "lol"s when expanded.
std::string Laughs(const std::string& root) {
    std::string dtd = "<!DOCTYPE " + root + " [\n<!ENTITY lol0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            dtd += "&lol" + std::to_string(i - 1) + ";";
        dtd += "\">\n";
    }
    return dtd + "]>\n";
}

// One entity of a megabyte, referred to two thousand times: 2 GB when expanded.
std::string QuadraticReferences(const std::string& root, std::string& references) {
    references.clear();
    for (int i = 0; i < 2000; ++i)
        references += "&big;";
    return "<!DOCTYPE " + root + " [\n<!ENTITY big \"" + std::string(1 << 20, 'x') + "\">\n]>\n";
}

std::string Attributes(const char* prefix, int count) {
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += " " + std::string(prefix) + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    return text;
}

std::string Nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "<a>";
        close += "</a>";
    }
    return open + close;
}

// A start tag of 50 000 attributes written with character references inside
// an entity: only the parser's own replacement shows it.
std::string CrowdedEntity(const std::string& root) {
    std::string value = "&#60;x";
    for (int i = 1; i <= 50000; ++i)
        value += " a" + std::to_string(i) + "&#61;\"1\"";
    return "<!DOCTYPE " + root + " [\n<!ENTITY crowd '" + value + "/&#62;'>\n]>\n";
}

std::string Utf16Le(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string Enormous(const std::string& head, const std::string& open, const std::string& unit,
                     const std::string& close) {
    std::string text = head + open;
    text.reserve(100u << 20);
    while (text.size() < (100u << 20))
        text += unit;
    return text + close;
}

class HostileFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string secretPath = dir.file("secret.txt");

    void SetUp() override { WriteWholeFile(secretPath, kSecret); }

    DriverProcess::Limits Limits() const {
        DriverProcess::Limits limits;
        if (kLimitMemory) limits.addressSpace = kAddressSpace;
        return limits;
    }

    // Runs the driver on the file and checks the outcome; returns its output.
    void Check(const Case& c, const std::vector<std::string>& args, const std::string& path) {
        SCOPED_TRACE(c.name);
        const std::string before = ReadWholeFile(path);
        DriverProcess driver(args, dir.file("driver.stderr"), Limits());
        const DriverProcess::Exit exit = driver.Wait(30s);
        ASSERT_FALSE(exit.timedOut) << "hung\n" << driver.Transcript();
        ASSERT_TRUE(exit.exited) << "died of signal " << exit.code << "\n" << driver.Transcript();
        EXPECT_EQ(exit.code, 0) << driver.Transcript();
        if (kLimitMemory) {
            EXPECT_LT(exit.maxRssKiB, 512 * 1024) << driver.Transcript();
        }

        const std::vector<std::string> errors = driver.LinesStartingWith("ERROR ");
        std::string all;
        for (const std::string& line : driver.Lines())
            all += line + "\n";
        EXPECT_EQ(all.find(kSecret), std::string::npos) << "the file read a file it names\n" << all;
        EXPECT_TRUE(ReadWholeFile(path) == before) << "the file was changed";

        switch (c.outcome) {
        case Outcome::Loads:
            EXPECT_TRUE(errors.empty()) << driver.Transcript();
            EXPECT_TRUE(!driver.LinesStartingWith("ROWS 1").empty() ||
                        !driver.LinesStartingWith("VALUES ").empty())
                << driver.Transcript();
            break;
        case Outcome::ParseFailure: {
            ASSERT_EQ(errors.size(), 1u) << driver.Transcript();
            const std::string message = Unescaped(errors[0].substr(6));
            const size_t lineAt = message.find("\r\nLine: ");
            ASSERT_NE(lineAt, std::string::npos) << message;
            EXPECT_GT(lineAt, 0u) << "no reason: " << message;
            EXPECT_NE(message.find("\r\n", lineAt + 8), std::string::npos) << message;
            if (!c.reason.empty()) {
                EXPECT_EQ(message.substr(0, lineAt), c.reason);
            }
            EXPECT_FALSE(driver.LinesStartingWith("ROWS 0").empty() &&
                         driver.LinesStartingWith("SEGMENT yes").empty())
                << driver.Transcript();
            break;
        }
        case Outcome::Message:
            ASSERT_EQ(errors.size(), 1u) << driver.Transcript();
            EXPECT_EQ(Unescaped(errors[0].substr(6)).rfind(c.reason, 0), 0u) << errors[0];
            break;
        case Outcome::NotSegmentFile:
            EXPECT_TRUE(errors.empty()) << driver.Transcript();
            EXPECT_FALSE(driver.LinesStartingWith("SEGMENT no").empty()) << driver.Transcript();
            break;
        }
    }

    void CheckList(const Case& c) {
        const std::string path = dir.file("List.xml");
        WriteWholeFile(path, c.content);
        // Row 99 does not exist: the window loads the list and resumes nothing.
        Check(c, RunArgs(path, 99), path);
    }

    void CheckSegmentFile(const Case& c) {
        const std::string path = dir.file("download.sdl");
        WriteWholeFile(path, c.content);
        Check(c, {"segment", path}, path);
    }
};

const std::string kCrowdedReason = "Too many attributes in one element (more than 20000)";

TEST_F(HostileFileTest, ListFiles) {
    const std::string valid = std::string(kListHead) + "<MAIN>" + Entry(1) + "</MAIN>\n";
    std::string references;
    const std::string quadratic = QuadraticReferences("MAIN", references);
    const std::string external =
        "<!DOCTYPE MAIN [\n<!ENTITY secret SYSTEM \"file://" + secretPath + "\">\n]>\n";
    const Case cases[] = {
        {"valid", valid, Outcome::Loads, ""},
        {"malformed", std::string(kListHead) + "<MAIN><N1 FileName=\"a\"></MAIN>",
         Outcome::ParseFailure, ""},
        {"truncated", valid.substr(0, valid.size() / 2), Outcome::ParseFailure, ""},
        {"empty", "", Outcome::ParseFailure, "Document is empty"},
        {"binary noise", RandomBytes(65536, 8), Outcome::ParseFailure, ""},
        {"a 20 MiB attribute value",
         std::string(kListHead) + "<MAIN>" + Entry(1, std::string(20 << 20, 'a')) + "</MAIN>",
         Outcome::ParseFailure, ""},
        {"deep nesting", std::string(kListHead) + "<MAIN>" + Nested(100000) + "</MAIN>",
         Outcome::ParseFailure, ""},
        {"billion laughs in content",
         std::string(kListHead) + Laughs("MAIN") + "<MAIN>&lol9;</MAIN>", Outcome::ParseFailure,
         ""},
        {"billion laughs in an attribute",
         std::string(kListHead) + Laughs("MAIN") + "<MAIN>" + Entry(1, "&lol9;") + "</MAIN>",
         Outcome::ParseFailure, ""},
        {"a large entity referred to two thousand times in an attribute",
         std::string(kListHead) + quadratic + "<MAIN>" + Entry(1, references) + "</MAIN>",
         Outcome::Loads, ""},
        {"an external entity in content",
         std::string(kListHead) + external + "<MAIN>&secret;" + Entry(1) + "</MAIN>",
         Outcome::Loads, ""},
        {"an external entity in an attribute",
         std::string(kListHead) + external + "<MAIN>" + Entry(1, "/tmp/x.bin", "&secret;") +
             "</MAIN>",
         Outcome::ParseFailure, ""},
        {"a start tag of 200 000 attributes",
         std::string(kListHead) + "<MAIN><N1><Segments><Begin" + Attributes("S", 200000) +
             "/></Segments></N1></MAIN>",
         Outcome::ParseFailure, kCrowdedReason},
        {"the same in UTF-16",
         Utf16Le("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<MAIN><N1><Segments><Begin" +
                 Attributes("S", 200000) + "/></Segments></N1></MAIN>"),
         Outcome::ParseFailure, kCrowdedReason},
        {"the same made by an entity",
         std::string(kListHead) + CrowdedEntity("MAIN") + "<MAIN>&crowd;</MAIN>",
         Outcome::ParseFailure, kCrowdedReason},
    };
    for (const Case& c : cases)
        CheckList(c);
}

TEST_F(HostileFileTest, ListFileBeyondWhatIsReadIsRefusedUnread) {
    // Sparse: the reader refuses it by its size, before reading a byte.
    const std::string path = dir.file("List.xml");
    WriteWholeFile(path, std::string(kListHead) + "<MAIN>");
    ASSERT_EQ(::truncate(path.c_str(), (off_t{1} << 30) + 1), 0);
    DriverProcess driver(RunArgs(path, 99), dir.file("driver.stderr"), Limits());
    const DriverProcess::Exit exit = driver.Wait(30s);
    ASSERT_FALSE(exit.timedOut) << "hung\n" << driver.Transcript();
    EXPECT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
    EXPECT_EQ(driver.LinesStartingWith("ERROR "),
              std::vector<std::string>{"ERROR File too large\\r\\nLine: 0\\r\\n"});
}

TEST_F(HostileFileTest, ListFileThatIsAPipe) {
    const std::string path = dir.file("List.xml");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // Nobody writes to the pipe: opening or reading it must not wait for that.
    DriverProcess driver(RunArgs(path, 99), dir.file("driver.stderr"), Limits());
    const DriverProcess::Exit exit = driver.Wait(30s);
    ASSERT_FALSE(exit.timedOut) << "hung\n" << driver.Transcript();
    EXPECT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
    EXPECT_EQ(driver.LinesStartingWith("ERROR "),
              std::vector<std::string>{"ERROR Not a regular file\\r\\nLine: 0\\r\\n"});
}

TEST_F(HostileFileTest, SegmentFiles) {
    std::string references;
    const std::string quadratic = QuadraticReferences("root", references);
    const std::string external =
        "<!DOCTYPE root [\n<!ENTITY secret SYSTEM \"file://" + secretPath + "\">\n]>\n";
    const std::string valid = kSegmentHead + SegmentBody();
    const Case cases[] = {
        {"valid", valid, Outcome::Loads, ""},
        {"a queue of 20 000 ranges",
         kSegmentHead +
             ("<root>" + N1Element("film.avi", Attributes("n", 20000), Attributes("n", 20000)) +
              "</root>"),
         Outcome::Loads, ""},
        {"malformed", std::string(kSegmentHead) + "<root><n1 File_name=\"a\"></root>",
         Outcome::ParseFailure, ""},
        {"truncated", valid.substr(0, valid.size() - 30), Outcome::ParseFailure, ""},
        {"empty", "", Outcome::NotSegmentFile, ""},
        {"enormous: 100 MiB of ignored elements",
         Enormous(kSegmentHead, "<root>" + N1Element(), "<n2 a=\"b\"/>", "</root>"),
         Outcome::ParseFailure, "File too large"},
        {"deep nesting", kSegmentHead + Nested(100000), Outcome::ParseFailure, ""},
        {"billion laughs in content", kSegmentHead + Laughs("root") + "<root>&lol9;</root>",
         Outcome::ParseFailure, ""},
        {"billion laughs in an attribute", kSegmentHead + Laughs("root") + SegmentBody("&lol9;"),
         Outcome::ParseFailure, ""},
        {"a large entity referred to two thousand times in an attribute",
         kSegmentHead + quadratic + SegmentBody(references), Outcome::Loads, ""},
        {"an external entity in an attribute", kSegmentHead + external + SegmentBody("&secret;"),
         Outcome::ParseFailure, ""},
        {"an End of 200 000 attributes",
         kSegmentHead +
             ("<root>" + N1Element("film.avi", " n1=\"0\"", Attributes("n", 200000)) + "</root>"),
         Outcome::ParseFailure, kCrowdedReason},
        {"the same made by an entity",
         kSegmentHead + CrowdedEntity("root") + "<root>&crowd;</root>", Outcome::ParseFailure,
         kCrowdedReason},
    };
    for (const Case& c : cases)
        CheckSegmentFile(c);
}

TEST_F(HostileFileTest, FilesThatNameNetworkResourcesFetchNothing) {
    ScriptedServer server;
    const std::string dtd = server.url("/x.dtd");
    const std::string doctype = "<!DOCTYPE %s SYSTEM \"" + dtd +
                                "\" [\n<!ENTITY % remote SYSTEM \"" + dtd +
                                "\">\n%remote;\n<!ENTITY far SYSTEM \"" + dtd + "\">\n]>\n";
    const auto withRoot = [&](const std::string& root) {
        std::string text = doctype;
        text.replace(text.find("%s"), 2, root);
        return text;
    };
    CheckList({"a list with a remote DTD and remote entities",
               std::string(kListHead) + withRoot("MAIN") + "<MAIN>&far;" + Entry(1) + "</MAIN>",
               Outcome::Loads, ""});
    CheckSegmentFile({"a segment file with a remote DTD and remote entities",
                      kSegmentHead + withRoot("root") + SegmentBody(), Outcome::Loads, ""});
    EXPECT_FALSE(server.waitForRequests(1, 300ms)) << "a reader went to the network";
    EXPECT_EQ(server.connectionCount(), 0);
}

} // namespace
