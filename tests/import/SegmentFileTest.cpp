#include "import/core/SegmentFile.h"

#include "common/AppError.h"
#include "support/TempDir.h"

#include <QLocale>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A segment file with the given n1 attributes and Segments content.
std::string Sdl(const std::string& n1Attributes, const std::string& segments,
                const std::string& encoding = "UTF-8") {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\r\n<SDL>\r\n  <n1 " +
           n1Attributes + ">\r\n    <Segments>" + segments + "</Segments>\r\n  </n1>\r\n</SDL>\r\n";
}

const std::string kPlain = "File_name=\"D:\\old\\film.avi\" Size=\"1000\" Loaded=\"333\"";

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const AppError& e) {
        return e.what();
    }
    return "(no error)";
}

class SegmentFileTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string Write(const std::string& bytes, const std::string& name = "film.sdl") {
        WriteWholeFile(dir.file(name), bytes);
        return dir.file(name);
    }
    ImportValues Read(const std::string& bytes) { return ReadSegmentFile(Write(bytes)); }
    std::string ReadError(const std::string& bytes) {
        return MessageOf([&] { Read(bytes); });
    }
};

// Fails the whole program when the action does not return in time: a hang is
// the fault these cases look for.
void WithinSeconds(int seconds, const std::function<void()>& action) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([action, done] {
        action();
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        ADD_FAILURE() << "no answer within " << seconds << " s";
        std::_Exit(1);
    }
}

} // namespace

TEST_F(SegmentFileTest, FirstLineTest) {
    struct Case {
        const char* what;
        std::string bytes;
        bool accepted;
    };
    const std::string utf16 = std::string("<\0?\0x\0m\0l\0 \0v\0e\0r\0s\0i\0o\0n\0=\0", 28);
    const Case cases[] = {
        {"capitals and single quotes", "<?XML VERSION='1.0'?>\n<a/>", true},
        {"byte-order mark", "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<a/>", true},
        {"other text before the marker", "junk <?xml version=\"1.0\"?>", true},
        {"no line break at all", "<?xml version=\"1.0\"?>", true},
        {"marker across a block boundary", std::string(8190, ' ') + "<?xml version=\"1.0\"?>",
         true},
        {"declaration on the second line", "\n<?xml version=\"1.0\"?>\n<a/>", false},
        {"comment on the first line", "<!-- c -->\r\n<?xml version=\"1.0\"?>", false},
        {"carriage return ends the first line", "<a/>\r<?xml version=\"1.0\"?>", false},
        {"two spaces", "<?xml  version=\"1.0\"?>\n<a/>", false},
        {"UTF-16", "\xFF\xFE" + utf16, false},
        {"empty file", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsSegmentFile(Write(c.bytes)), c.accepted) << c.what;
}

TEST_F(SegmentFileTest, NotSegmentFileMessage) {
    EXPECT_EQ(NotSegmentFileMessage("/tmp/a b.sdl"),
              "File \"/tmp/a b.sdl\" is not a Vesko's .SDL file!");
}

TEST_F(SegmentFileTest, IoErrorTexts) {
    const std::string file = Write("<?xml version=\"1.0\"?>");
    ::mkfifo(dir.file("pipe").c_str(), 0600);
    struct Case {
        std::string path, message;
    };
    const Case cases[] = {
        {dir.file("missing.sdl"), "File not found"},
        {dir.path(), "File access denied"},
        {file + "/inside.sdl", "Invalid filename"},
        {dir.file(std::string(300, 'x')), "Invalid filename"},
        // A pipe would block the reader; it is refused at once.
        {dir.file("pipe"), "File access denied"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MessageOf([&] { IsSegmentFile(c.path); }), c.message) << c.path;
        EXPECT_EQ(MessageOf([&] { ReadSegmentFile(c.path); }), c.message) << c.path;
    }
    if (::geteuid() != 0) {
        ::chmod(file.c_str(), 0);
        EXPECT_EQ(MessageOf([&] { IsSegmentFile(file); }), "File access denied");
    }
    EXPECT_EQ(IoErrorText(EMFILE), "Too many open files");
    EXPECT_EQ(IoErrorText(EPERM), "File access denied");
    EXPECT_EQ(IoErrorText(EIO), "I/O error 5");
}

TEST_F(SegmentFileTest, IncompleteFileStaysInTheSegmentFilesFolder) {
    const std::string folder = dir.path() + "/";
    const std::pair<std::string, std::string> accepted[] = {
        {"D:\\old\\film.avi", "film.avi"},
        {"film.avi", "film.avi"},
        {"../../x", "x"},
        {"/etc/passwd", "passwd"},
        {"..\\..\\x", "x"},
        {"C:x.avi", "x.avi"},
        {"...", "..."},
    };
    for (const auto& [fileName, name] : accepted) {
        const std::string attrs = "File_name=\"" + fileName + "\" Size=\"1\" Loaded=\"0\"";
        EXPECT_EQ(Read(Sdl(attrs, "<End/>")).IncompletePath, folder + name) << fileName;
    }
    for (const std::string fileName : {"dir/", "..", ".", "", "C:\\dl\\..", "a\\."}) {
        const std::string attrs = "File_name=\"" + fileName + "\" Size=\"1\" Loaded=\"0\"";
        EXPECT_EQ(ReadError(Sdl(attrs, "<End/>")),
                  "The segment file names no valid file: '" + fileName + "'")
            << fileName;
    }
    // The folder ends at the last separator of either kind.
    EXPECT_EQ(IncompleteFilePath("C:\\dl\\film.sdl", "D:\\old\\film.avi"), "C:\\dl\\film.avi");
    EXPECT_EQ(IncompleteFilePath("/home/u/dl\\film.sdl", "film.avi"), "/home/u/dl\\film.avi");
    EXPECT_EQ(IncompleteFilePath("film.sdl", "D:film.avi"), "film.avi");
}

TEST_F(SegmentFileTest, ValuesAreTakenAsWritten) {
    const std::string sep = QLocale::system().decimalPoint().toStdString();
    ImportValues v = Read(Sdl(kPlain, "<Begin n1=\"0\" n2=\"500\"/><End n1=\"100\" n2=\" 9x\"/>"));
    EXPECT_EQ(v.IncompletePath, dir.file("film.avi"));
    EXPECT_EQ(v.SizeText, "1000");
    EXPECT_EQ(v.LoadedText, "333");
    EXPECT_EQ(v.PercentText, "33" + sep + "3%");
    EXPECT_EQ(v.Remains, 667);
    EXPECT_EQ(v.RangeCount, 2);
    using Ranges = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(v.Ranges, (Ranges{{"0", "100"}, {"500", " 9x"}}));

    // Predefined entities and character references are plain text.
    EXPECT_EQ(
        Read(Sdl("File_name=\"a&amp;b&#46;avi\" Size=\"1\" Loaded=\"0\"", "<End/>")).IncompletePath,
        dir.file("a&b.avi"));

    v = Read(Sdl("File_name=\"f\" Size=\" 1000\" Loaded=\"+0x10\"", "<End/>"));
    EXPECT_EQ(v.SizeText, " 1000");
    EXPECT_EQ(v.LoadedText, "+0x10");
    EXPECT_EQ(v.Remains, 984);
    EXPECT_EQ(v.RangeCount, 0);
    EXPECT_TRUE(v.Ranges.empty());

    // A Loaded above Size and a negative Loaded are read without complaint.
    v = Read(Sdl("File_name=\"f\" Size=\"100\" Loaded=\"150\"", "<End/>"));
    EXPECT_EQ(v.PercentText, "150%");
    EXPECT_EQ(v.Remains, -50);
}

TEST_F(SegmentFileTest, PercentTexts) {
    const std::string sep = QLocale::system().decimalPoint().toStdString();
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"1000", "333", "33" + sep + "3%"},
        {"3", "1", "33" + sep + "33%"},
        {"3", "2", "66" + sep + "67%"},
        {"3", "0", "0%"},
        {"3", "3", "100%"},
    };
    for (const auto& [size, loaded, percent] : cases) {
        std::string attrs =
            std::string("File_name=\"f\" Size=\"") + size + "\" Loaded=\"" + loaded + "\"";
        EXPECT_EQ(Read(Sdl(attrs, "<End/>")).PercentText, percent) << size << " " << loaded;
    }
}

TEST_F(SegmentFileTest, RangesFollowTheIndexNotTheAttributeOrder) {
    ImportValues v = Read(Sdl(kPlain, "<End n3=\"30\" n1=\"10\" n2=\"20\"/>"
                                      "<Begin n1=\"1\" n2=\"2\" n3=\"3\" n4=\"4\"/>"));
    using Ranges = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(v.RangeCount, 3);
    EXPECT_EQ(v.Ranges, (Ranges{{"1", "10"}, {"2", "20"}, {"3", "30"}}));

    // The first of two n1 elements, and the first Begin and End, are read.
    v = Read("<?xml version=\"1.0\"?><r><n1 File_name=\"a\" Size=\"10\" Loaded=\"0\">"
             "<Segments><Begin n1=\"0\"/><End n1=\"9\"/><Begin n1=\"5\"/><End/></Segments></n1>"
             "<n1 File_name=\"b\" Size=\"20\" Loaded=\"0\"><Segments><End/></Segments></n1></r>");
    EXPECT_EQ(v.IncompletePath, dir.file("a"));
    EXPECT_EQ(v.SizeText, "10");
    EXPECT_EQ(v.Ranges, (Ranges{{"0", "9"}}));
}

TEST_F(SegmentFileTest, FailuresInTheOrderOfTheSteps) {
    struct Case {
        const char* what;
        std::string bytes, message;
    };
    const Case cases[] = {
        {"End with n1 and count",
         Sdl(kPlain, "<Begin n1=\"0\" n2=\"5\"/><End n1=\"9\" count=\"1\"/>"),
         kNullConversionMessage},
        {"Begin lacks an index", Sdl(kPlain, "<Begin n1=\"0\"/><End n1=\"9\" n2=\"20\"/>"),
         kNullConversionMessage},
        {"no File_name", Sdl("Size=\"1\" Loaded=\"0\"", "<End/>"), kNullConversionMessage},
        {"no Loaded", Sdl("File_name=\"f\" Size=\"x\"", "<End/>"), kNullConversionMessage},
        {"trailing space", Sdl("File_name=\"f\" Size=\"1000 \" Loaded=\"0\"", "<End/>"),
         "'1000 ' is not a valid integer value"},
        {"loaded converted first", Sdl("File_name=\"f\" Size=\"abc\" Loaded=\"q\"", "<End/>"),
         "'q' is not a valid integer value"},
        {"size 0, loaded 0", Sdl("File_name=\"f\" Size=\"0\" Loaded=\"0\"", "<End/>"),
         "Invalid floating point operation"},
        {"size 0, loaded 5", Sdl("File_name=\"f\" Size=\"0\" Loaded=\"5\"", "<End/>"),
         "Floating point division by zero"},
        {"conversion before a missing Segments",
         "<?xml version=\"1.0\"?><r><n1 File_name=\"f\" Size=\"1\" Loaded=\"z\"/></r>",
         "'z' is not a valid integer value"},
        {"no n1", "<?xml version=\"1.0\"?><r><n2/><N1/></r>",
         "The segment file has no n1 element in r"},
        {"no Segments", "<?xml version=\"1.0\"?><r><n1 " + kPlain + "><segments/></n1></r>",
         "The segment file has no Segments element in n1"},
        {"no End", Sdl(kPlain, "<Begin n1=\"0\"/>"),
         "The segment file has no End element in Segments"},
        {"no Begin for a range", Sdl(kPlain, "<End n1=\"9\"/>"),
         "The segment file has no Begin element in Segments"},
        {"an entity reference stays text, which is no number",
         "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"1\">]><r><n1 File_name=\"f\" "
         "Size=\"&e;\" Loaded=\"0\"><Segments><End/></Segments></n1></r>",
         "'&e;' is not a valid integer value"},
        {"remains out of range",
         Sdl("File_name=\"f\" Size=\"9223372036854775807\" Loaded=\"-2\"", "<End/>"),
         "The remaining size of '9223372036854775807' minus '-2' bytes is out of range"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadError(c.bytes), c.message) << c.what;
    // No Begin is needed when there is no range.
    EXPECT_EQ(Read(Sdl(kPlain, "<End/>")).RangeCount, 0);
}

TEST_F(SegmentFileTest, CyrillicNamesInBothEncodings) {
    const std::string utf8Name = "\xD0\xA4\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBC.avi"; // Фильм.avi
    const std::string cp1251Name = "\xD4\xE8\xEB\xFC\xEC.avi";
    const std::string fromUtf8 =
        Read(Sdl("File_name=\"C:\\" + utf8Name + "\" Size=\"1\" Loaded=\"0\"", "<End/>"))
            .IncompletePath;
    const std::string fromCp1251 =
        Read(Sdl("File_name=\"C:\\" + cp1251Name + "\" Size=\"1\" Loaded=\"0\"", "<End/>",
                 "Windows-1251"))
            .IncompletePath;
    EXPECT_EQ(fromUtf8, dir.file(utf8Name));
    EXPECT_EQ(fromCp1251, fromUtf8);
}

TEST_F(SegmentFileTest, ParseErrorReport) {
    // Line 3 holds an unquoted attribute value; the report shows its first 40
    // characters, decoded from the file's encoding.
    const std::string line3 =
        "<n1 File_name=\"\xD4\xE8\xEB\xFC\xEC-with-a-name-longer-than-forty.avi\" "
        "Size=1000>";
    const std::string message = ReadError("<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
                                          "<SDL>\r\n" +
                                          line3 + "\r\n</SDL>\r\n");
    const size_t first = message.find("\r\n");
    ASSERT_NE(first, std::string::npos) << message;
    const size_t second = message.find("\r\n", first + 2);
    ASSERT_NE(second, std::string::npos) << message;
    EXPECT_FALSE(message.substr(0, first).empty());
    EXPECT_EQ(message.substr(first + 2, second - first - 2), "Line: 3");
    EXPECT_EQ(message.substr(second + 2),
              "<n1 File_name=\"\xD0\xA4\xD0\xB8\xD0\xBB\xD1\x8C\xD0\xBC-with-a-name-longer-");

    // An empty file is not a document either.
    EXPECT_NE(ReadError("").find("\r\nLine: "), std::string::npos);
}

TEST_F(SegmentFileTest, HostileFilesAreNeitherExpandedNorFollowed) {
    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]>";
    std::string deep = "<?xml version=\"1.0\"?><r><n1 " + kPlain + "><Segments><End/></Segments>";
    for (int i = 0; i < 100000; ++i)
        deep += "<d>";
    const std::string hostile[] = {
        "<?xml version=\"1.0\"?>" + laughs +
            "<r><n1 File_name=\"&l9;\" Size=\"1\" Loaded=\"0\">"
            "<Segments><End/></Segments></n1></r>",
        "<?xml version=\"1.0\"?>" + laughs +
            "<r><x>&l9;</x><n1 File_name=\"a\" Size=\"1\" "
            "Loaded=\"0\"><Segments><End/></Segments></n1></r>",
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
        "<r><n1 File_name=\"&x;\" Size=\"1\" Loaded=\"0\"><Segments><End/></Segments></n1></r>",
        "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"file:///etc/passwd\">"
        "<r><n1 File_name=\"a\" Size=\"1\" Loaded=\"0\"><Segments><End/></Segments></n1></r>",
        deep,
    };
    for (const std::string& bytes : hostile) {
        const std::string path = Write(bytes);
        WithinSeconds(30, [&] {
            try {
                const ImportValues v = ReadSegmentFile(path);
                EXPECT_EQ(v.IncompletePath, dir.file("a"));
            } catch (const AppError& e) {
                const std::string message = e.what();
                EXPECT_FALSE(message.empty());
                EXPECT_LT(message.size(), 1000u);
                EXPECT_EQ(message.find("root:"), std::string::npos);
            }
        });
    }
}
