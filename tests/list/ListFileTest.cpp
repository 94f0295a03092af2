// List.xml on disk: creation, the bytes written, loading, parse failures and
// the atomic replacement of the file.
#include "ListTestHelpers.h"
#include "support/TempDir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kEmptyList = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN/>\n";

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder))
        names.push_back(item.path().filename().string());
    return names;
}

class ListFile : public ::testing::Test {
protected:
    std::string OpenFailure(const std::string& bytes) {
        WriteWholeFile(path, bytes);
        return ErrorOf([&] { list.OpenList(); });
    }

    TempDir dir;
    std::string path = dir.file("List.xml");
    ListDocument list{path};
};

TEST_F(ListFile, MissingListIsCreatedAtOnceEmptyAndPrivate) {
    list.OpenList();
    EXPECT_TRUE(list.IsOpen());
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_EQ(ReadWholeFile(path), kEmptyList);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"List.xml"});

    EXPECT_EQ(SnapshotOf(list.AppendEntry(SampleEntry("a.bin"))).name, "N1");
    list.SaveList();
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"List.xml"});
    ListDocument again(path);
    again.OpenList();
    EXPECT_EQ(again.EntryCount(), 1);
}

TEST_F(ListFile, OpeningRemovesOnlyTheTemporariesOfCutShortSaves) {
    WriteWholeFile(path, kEmptyList);
    const std::string leftover = ".List.xml.quilvane-save-a1B2c3";
    const std::vector<std::string> kept = {"List.xml.backup", "List.xml.old001", "List.xml.a1B2c3",
                                           ".List.xml.quilvane-save-a1B2c3d",
                                           ".Other.xml.quilvane-save-a1B2c3"};
    for (const std::string& name : kept)
        WriteWholeFile(dir.file(name), "the user's");
    WriteWholeFile(dir.file(leftover), "x");
    // A link named like a leftover is not the program's own file either.
    ASSERT_EQ(symlink("List.xml.backup", dir.file(".List.xml.quilvane-save-LiNk00").c_str()), 0);
    list.OpenList();
    std::vector<std::string> names = FolderNames(dir.path());
    std::vector<std::string> expected = kept;
    expected.push_back("List.xml");
    expected.push_back(".List.xml.quilvane-save-LiNk00");
    std::sort(names.begin(), names.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    for (const std::string& name : kept)
        EXPECT_EQ(ReadWholeFile(dir.file(name)), "the user's") << name;
}

TEST_F(ListFile, ListBeyond32MiBThatTheProgramWritesIsReadBack) {
    list.OpenList();
    const std::string longName(32 << 10, 'n');
    for (int i = 0; i < 1040; ++i)
        list.AppendEntry(SampleEntry(longName + std::to_string(i)));
    list.SaveList();
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    ASSERT_GT(status.st_size, 32 << 20);
    ListDocument again(path);
    again.OpenList();
    ASSERT_EQ(again.EntryCount(), 1040);
    EXPECT_EQ(again.FindEntry(1039).AttributeText("FileName"), longName + "1039");
}

TEST_F(ListFile, CloseListDoesNotWrite) {
    list.OpenList();
    list.AppendEntry(SampleEntry("a.bin"));
    list.CloseList();
    EXPECT_FALSE(list.IsOpen());
    EXPECT_EQ(ReadWholeFile(path), kEmptyList);
}

TEST_F(ListFile, ValuesSurviveSavingAndLoadingUnchanged) {
    const std::vector<std::string> values = {"a & b",
                                             "<tag>",
                                             "say \"hi\"",
                                             "it's",
                                             "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                                             "\xE4\xB8\xAD \xF0\x9F\x98\x80",
                                             "&amp; &#20013;",
                                             "tab\tline\nreturn\r!",
                                             "  spaced  "};
    list.OpenList();
    for (const std::string& value : values) {
        EntryValues entry = SampleEntry(value, {{value, value}});
        entry.auth = EntryValues::Auth{value, value};
        list.AppendEntry(entry);
    }
    list.SaveList();

    const std::string raw = ReadWholeFile(path);
    EXPECT_NE(raw.find("\xCF\xF0\xE8\xE2\xE5\xF2"), std::string::npos)
        << "Cyrillic in Windows-1251";
    EXPECT_NE(raw.find("&#20013;"), std::string::npos);
    EXPECT_NE(raw.find("&#128512;"), std::string::npos);
    for (const char* utf8 : {"\xD0\x9F", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"})
        EXPECT_EQ(raw.find(utf8), std::string::npos) << "UTF-8 bytes in the file";

    ListDocument loaded(path);
    loaded.OpenList();
    ASSERT_EQ(loaded.EntryCount(), static_cast<int>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        const ListEntry entry = loaded.FindEntry(static_cast<int>(i));
        EXPECT_EQ(entry.AttributeText("FileName"), values[i]);
        EXPECT_EQ(entry.AttributeText("AuthPass"), values[i]);
        EXPECT_EQ(entry.FirstRange(), RangeTexts(values[i], values[i]));
    }
}

TEST_F(ListFile, IndentedAndCompactFilesLoadTheSameEntries) {
    const std::string compact =
        "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN><N1 "
        "FileName=\"\xD4\xE0\xE9\xEB\" "
        "FileSize=\"10\"><Segments><Begin S1=\"0\"/><End S1=\"9\"/></Segments></N1>"
        "<N2 FileName=\"b\"><Segments><Begin/><End/></Segments></N2></MAIN>\n";
    const std::string indented =
        "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\r\n<!-- kept by hand -->\r\n"
        "<MAIN>\r\n  <N1 FileName=\"\xD4\xE0\xE9\xEB\" FileSize=\"10\">\r\n    <Segments>\r\n"
        "      <Begin S1=\"0\"></Begin>\r\n      <End S1=\"9\"/>\r\n    </Segments>\r\n  </N1>\r\n"
        "\t<N2 FileName=\"b\">\n <Segments> <Begin/> <End/> </Segments>\n </N2>\n</MAIN>\n\n";
    for (const std::string& bytes : {compact, indented}) {
        WriteWholeFile(path, bytes);
        ListDocument loaded(path);
        loaded.OpenList();
        ASSERT_EQ(loaded.EntryCount(), 2);
        const ListEntry first = loaded.FindEntry(0);
        EXPECT_EQ(first.AttributeText("FileName"), "\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB");
        EXPECT_EQ(ChildNames(SnapshotOf(first)), std::vector<std::string>{"Segments"});
        EXPECT_EQ(ChildNames(SegmentsOf(SnapshotOf(first))),
                  (std::vector<std::string>{"Begin", "End"}));
        EXPECT_EQ(first.FirstRange(), RangeTexts("0", "9"));
        EXPECT_EQ(ChildNames(SegmentsOf(SnapshotOf(loaded.FindEntry(1)))),
                  (std::vector<std::string>{"Begin", "End"}));
        EXPECT_EQ(ReadWholeFile(path), bytes) << "loading never writes";
    }
}

TEST_F(ListFile, RootOfAnyNameHoldsTheEntries) {
    WriteWholeFile(path, "<?xml version=\"1.0\"?><?app note?><LIST><N1 FileName=\"x\"/>"
                         "<N2 FileName=\"y\"/></LIST><!-- end -->");
    list.OpenList();
    EXPECT_EQ(list.EntryCount(), 2);
    EXPECT_EQ(list.FindEntry(1).AttributeText("FileName"), "y");
    list.AppendEntry(SampleEntry("z"));
    const ElementSnapshot root = RootSnapshot(list);
    EXPECT_EQ(root.name, "LIST");
    EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"N1", "N2", "N3"}));
}

TEST_F(ListFile, MalformedFileReportsReasonLineAndQuotedTextAndStaysUntouched) {
    // Line 3 has an unquoted value; its Cyrillic is stored in Windows-1251.
    const std::string bytes = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\r\n<MAIN>\r\n"
                              "  <N1 FileName=\"\xD4\xE0\xE9\xEB\" FileSize=1000 Downloaded=\"0\"/>"
                              "\r\n</MAIN>\r\n";
    const auto parts = MessageParts(OpenFailure(bytes));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_FALSE(parts[0].empty());
    EXPECT_NE(parts[0].back(), '\n');
    EXPECT_EQ(parts[1], "Line: 3");
    // The first 40 characters, counted as characters, not bytes.
    EXPECT_EQ(parts[2], "  <N1 FileName=\"\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB\" FileSize=1000 Down");
    EXPECT_EQ(ReadWholeFile(path), bytes);
    EXPECT_FALSE(list.IsOpen());
}

TEST_F(ListFile, ParseFailureNamesTheFirstFaultAndQuotesShortLinesWhole) {
    const auto parts = MessageParts(OpenFailure("<MAIN>\n<N1 FileName=\"a\">\n</MAIN>\n"));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].rfind("Opening and ending tag mismatch", 0), 0u) << parts[0];
    EXPECT_EQ(parts[1], "Line: 3");
    EXPECT_EQ(parts[2], "</MAIN>");
}

TEST_F(ListFile, EmptyOrUnreadableFileFailsTheSameWay) {
    const auto empty = MessageParts(OpenFailure(""));
    ASSERT_EQ(empty.size(), 3u);
    EXPECT_FALSE(empty[0].empty());
    EXPECT_EQ(empty[1].rfind("Line: ", 0), 0u);
    EXPECT_EQ(ReadWholeFile(path), "");
    EXPECT_FALSE(list.IsOpen());

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(ErrorOf([&] { list.OpenList(); }),
              std::string(std::strerror(EISDIR)) + "\r\nLine: 0\r\n");
    EXPECT_FALSE(list.IsOpen());
}

TEST_F(ListFile, HostileFilesFailWithAMessage) {
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE MAIN [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 12; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><MAIN><N1 FileName=\"&l11;\"/></MAIN>";
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE MAIN [<!ENTITY x SYSTEM "
                                 "\"file:///etc/passwd\">]><MAIN><N1 FileName=\"&x;\"/></MAIN>";
    for (const std::string& bytes : {deep, laughs, external}) {
        const auto parts = MessageParts(OpenFailure(bytes));
        ASSERT_EQ(parts.size(), 3u);
        EXPECT_FALSE(parts[0].empty());
        EXPECT_EQ(parts[1].rfind("Line: ", 0), 0u);
        EXPECT_FALSE(list.IsOpen());
    }
}

TEST_F(ListFile, OperationsOnAListThatIsNotOpenFail) {
    OpenFailure("not xml");
    const std::string notOpen = "The download list is not open.";
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_FALSE(list.FindEntry(0));
    EXPECT_EQ(ErrorOf([&] { list.SaveList(); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { list.AppendEntry(SampleEntry("a")); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { list.DeleteEntry(0); }), notOpen);
    EXPECT_EQ(ErrorOf([&] { list.TakeFirstRange(ListEntry(), {"1", "1%", "1", "1"}); }), notOpen);
    EXPECT_EQ(ReadWholeFile(path), "not xml");
}

// Lowers the largest file this process may write, as the kernel enforces it
// for every user, root included; SIGXFSZ is ignored so write() fails instead.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

TEST_F(ListFile, FailedSaveKeepsOldFileAndChangesAndRetries) {
    list.OpenList();
    list.AppendEntry(SampleEntry("a.bin", {{"0", "9"}}));
    list.SaveList();
    const std::string before = ReadWholeFile(path);

    list.AppendEntry(SampleEntry("b.bin"));
    std::string failure;
    {
        const FileSizeLimit limit(before.size() / 2);
        failure = ErrorOf([&] { list.SaveList(); });
    }
    EXPECT_EQ(failure, "Cannot write " + path + ": " + std::strerror(EFBIG));
    EXPECT_EQ(ReadWholeFile(path), before);
    EXPECT_EQ(FolderNames(dir.path()), std::vector<std::string>{"List.xml"});
    ASSERT_TRUE(list.IsOpen());
    EXPECT_EQ(list.EntryCount(), 2);

    list.SaveList();
    ListDocument loaded(path);
    loaded.OpenList();
    EXPECT_EQ(loaded.FindEntry(1).AttributeText("FileName"), "b.bin");
}

TEST_F(ListFile, TakeFirstRangeWhoseSaveFailsPutsTheDocumentBack) {
    list.OpenList();
    const ListEntry entry = list.AppendEntry(SampleEntry("a.bin", {{"0", "9"}, {"20", "29"}}));
    list.SaveList();
    const std::string before = ReadWholeFile(path);
    const ElementSnapshot inMemory = RootSnapshot(list);

    std::string failure;
    {
        const FileSizeLimit limit(before.size() / 2);
        failure = ErrorOf([&] { list.TakeFirstRange(entry, {"409", "40.9%", "591", "1"}); });
    }
    EXPECT_EQ(failure, "Cannot write " + path + ": " + std::strerror(EFBIG));
    EXPECT_EQ(ReadWholeFile(path), before);
    EXPECT_EQ(RootSnapshot(list), inMemory);

    // An edited address whose save fails is put back the same way.
    EntryValues address;
    address.URL = "http://elsewhere/a.bin";
    address.auth = EntryValues::Auth{"u", "p"};
    address.proxy = EntryValues::Proxy{"g:1", "", ""};
    {
        const FileSizeLimit limit(before.size() / 2);
        failure = ErrorOf([&] { list.ReplaceAddress(entry, address); });
    }
    EXPECT_EQ(failure, "Cannot write " + path + ": " + std::strerror(EFBIG));
    EXPECT_EQ(ReadWholeFile(path), before);
    EXPECT_EQ(RootSnapshot(list), inMemory);
    // Put back to the byte: a later save writes the file as it was.
    list.SaveList();
    EXPECT_EQ(ReadWholeFile(path), before);

    list.TakeFirstRange(entry, {"409", "40.9%", "591", "1"});
    ListDocument loaded(path);
    loaded.OpenList();
    EXPECT_EQ(loaded.FindEntry(0).FirstRange(), RangeTexts("20", "29"));
    EXPECT_EQ(loaded.FindEntry(0).AttributeText("Remains"), "591");
}

TEST_F(ListFile, FailedFirstWriteKeepsTheNewListOpen) {
    const std::string folder = dir.file("gone");
    ListDocument inMissingFolder(folder + "/List.xml");
    EXPECT_EQ(ErrorOf([&] { inMissingFolder.OpenList(); }),
              "Cannot write " + folder + "/List.xml: " + std::strerror(ENOENT));
    EXPECT_TRUE(inMissingFolder.IsOpen());
    std::filesystem::create_directory(folder);
    inMissingFolder.SaveList();
    EXPECT_EQ(ReadWholeFile(folder + "/List.xml"), kEmptyList);
}

} // namespace
