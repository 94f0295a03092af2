#include "import/ui/SDLImportUnit.h"

#include "common/AppError.h"
#include "list/ListDocument.h"
#include "list/ListSnapshot.h"
#include "support/FailingFileCalls.h"
#include "support/RecordingPrompts.h"
#include "support/TempDir.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Ranges = std::vector<std::pair<std::string, std::string>>;

std::string Sdl(const std::string& fileName, const std::string& size, const std::string& loaded,
                const Ranges& ranges) {
    std::string begin = "<Begin", end = "<End";
    for (size_t i = 0; i < ranges.size(); ++i) {
        const std::string n = " n" + std::to_string(i + 1) + "=\"";
        begin += n + ranges[i].first + "\"";
        end += n + ranges[i].second + "\"";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<SDL><n1 File_name=\"" + fileName +
           "\" Size=\"" + size + "\" Loaded=\"" + loaded + "\"><Segments>" + begin + "/>" + end +
           "/></Segments></n1></SDL>\r\n";
}

int64_t LengthOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool IsMarked(const QLabel* label) {
    return label->font().bold() && label->palette().color(QPalette::WindowText) == QColor(Qt::red);
}

bool IsMarked(const QCheckBox* box) {
    return box->font().bold() && box->palette().color(QPalette::WindowText) == QColor(Qt::red);
}

// The attribute's text, or "(absent)".
std::string Attr(ListEntry entry, const char* name) {
    try {
        return entry.AttributeText(name);
    } catch (const AppError& e) {
        EXPECT_EQ(std::string(e.what()), kNullConversionMessage);
        return "(absent)";
    }
}

class ImportDialogTest : public ::testing::Test {
protected:
    TempDir dir;
    ListDocument list{dir.file("List.xml")};
    RecordingPrompts prompts;
    std::unique_ptr<TSDL_Import_Form> form;

    void SetUp() override {
        list.OpenList();
        form = std::make_unique<TSDL_Import_Form>(list, prompts);
    }
    void TearDown() override { form->hide(); }

    // Writes the segment file and, when length >= 0, its incomplete file, then
    // shows the dialog for it as the Import command does.
    void Show(const std::string& sdl, const std::string& incomplete = "part.avi",
              int64_t length = 1000, const std::string& sdlName = "film.sdl") {
        WriteWholeFile(dir.file(sdlName), sdl);
        if (length >= 0) {
            WriteWholeFile(dir.file(incomplete), "");
            ASSERT_EQ(::truncate(dir.file(incomplete).c_str(), length), 0);
        }
        form->SetSegmentFilePath(dir.file(sdlName));
        form->show();
    }
    void ShowPlain(int64_t length = 1000) {
        Show(Sdl("C:\\dl\\part.avi", "1000", "400", {{"400", "999"}}), "part.avi", length);
    }
    void Ok(const std::string& url) {
        form->Import_URL_Edit->setText(QString::fromStdString(url));
        QTest::mouseClick(form->OK_Button, Qt::LeftButton);
    }
    ListEntry LastEntry() { return list.FindEntry(list.EntryCount() - 1); }
};

} // namespace

TEST_F(ImportDialogTest, Layout) {
    TSDL_Import_Form& f = *form;
    EXPECT_EQ(f.windowTitle(), "Download import");
    EXPECT_EQ(f.size(), QSize(750, 509));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_TRUE(f.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(f.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    const std::tuple<const char*, const char*, QRect> groups[] = {
        {"GroupBox1", "File options", {0, 0, 516, 265}},
        {"GroupBox4", "Server options", {0, 265, 516, 86}},
        {"GroupBox3", "Proxy options", {0, 351, 516, 114}},
        {"GroupBox2", "File segments", {516, 0, 234, 509}},
    };
    for (const auto& [name, title, geometry] : groups) {
        auto* group = f.findChild<QGroupBox*>(name);
        ASSERT_TRUE(group) << name;
        EXPECT_EQ(group->title(), title);
        EXPECT_EQ(group->geometry(), geometry) << name;
        EXPECT_TRUE(group->font().bold());
        EXPECT_EQ(group->font().pixelSize(), 11);
    }
    const std::tuple<const char*, const char*, QLineEdit*> labels[] = {
        {"SEG_Label", "Vesko segment file:", f.Import_SDL_Edit},
        {"Inc_Label", "Incomplete file:", f.Import_Inc_Edit},
        {"URL_Label", "File URL:", f.Import_URL_Edit},
    };
    for (const auto& [name, text, buddy] : labels) {
        auto* label = f.findChild<QLabel*>(name);
        ASSERT_TRUE(label) << name;
        EXPECT_EQ(label->text(), text);
        EXPECT_EQ(label->buddy(), buddy);
        EXPECT_FALSE(label->font().bold());
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
    for (const char* name :
         {"Import_SDL_Edit", "Import_Inc_Edit", "Import_URL_Edit", "Import_Referer_Edit",
          "Import_Server_Name_Edit", "Import_Server_Pass_Edit", "Import_Proxy_Server_Edit",
          "Import_Proxy_Port_Edit", "Import_Proxy_Name_Edit", "Import_Proxy_Pass_Edit"}) {
        auto* edit = f.findChild<QLineEdit*>(name);
        ASSERT_TRUE(edit) << name;
        EXPECT_TRUE(edit->font().bold()) << name;
        EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(0, 0, 128)) << name;
        EXPECT_EQ(edit->echoMode(), QLineEdit::Normal) << name;
    }
    EXPECT_EQ(f.Import_URL_Edit->geometry(), QRect(7, 114, 489, 21));
    EXPECT_EQ(f.Import_Proxy_Port_Edit->geometry(), QRect(54, 78, 75, 21));
    EXPECT_EQ(f.Import_Server_Pass_Edit->geometry(), QRect(319, 8, 175, 21));
    EXPECT_EQ(f.RenameCheckBox->text(), "Rename file by URL");
    EXPECT_TRUE(f.RenameCheckBox->isChecked());
    EXPECT_EQ(f.Import_Server_CheckBox->text(), "Server requires authorization");
    EXPECT_EQ(f.Import_Proxy_CheckBox->text(), "Use default proxy settings");
    EXPECT_EQ(f.Size_StaticText->geometry(), QRect(6, 238, 251, 19));
    EXPECT_EQ(f.Seg_StaticText->geometry(), QRect(7, 340, 220, 19));
    EXPECT_EQ(f.OK_Button->text(), "Ok");
    EXPECT_TRUE(f.OK_Button->isDefault());
    EXPECT_EQ(f.OK_Button->geometry(), QRect(100, 7, 75, 25));
    EXPECT_EQ(f.Cancel_Button->text(), "Cancel");
    EXPECT_EQ(f.Cancel_Button->geometry(), QRect(340, 7, 75, 25));

    QTableWidget* grid = f.Seg_StringGrid;
    EXPECT_EQ(grid->objectName(), "Seg_StringGrid");
    EXPECT_EQ(grid->geometry(), QRect(6, 13, 221, 327));
    EXPECT_EQ(grid->columnCount(), 2);
    EXPECT_EQ(grid->columnWidth(0), 100);
    EXPECT_EQ(grid->columnWidth(1), 100);
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), "Begin");
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), "End");
    EXPECT_TRUE(grid->horizontalHeader()->font().bold());
    EXPECT_FALSE(grid->verticalHeader()->isVisibleTo(grid));
    EXPECT_EQ(grid->verticalHeader()->defaultSectionSize(), 17);
    EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(grid->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(grid->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(ImportDialogTest, ShowFillsTheDialogAndOkAppendsTheEntry) {
    Show(Sdl("D:\\old\\part.avi", "1000", "333", {{"333", "599"}, {"700", "999"}}));
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(form->Import_SDL_Edit->text().toStdString(), dir.file("film.sdl"));
    EXPECT_EQ(form->Import_Inc_Edit->text().toStdString(), dir.file("part.avi"));
    EXPECT_EQ(form->Size_StaticText->text(), " File size: 1000 bytes");
    EXPECT_EQ(form->Remain_StaticText->text(), " Download remains: 667 bytes");
    EXPECT_EQ(form->Seg_StaticText->text(), " Segments count: 2");
    ASSERT_EQ(form->Seg_StringGrid->rowCount(), 2);
    EXPECT_EQ(form->Seg_StringGrid->item(1, 0)->text(), "700");
    EXPECT_EQ(form->Seg_StringGrid->item(1, 1)->text(), "999");
    EXPECT_EQ(form->Seg_StringGrid->item(1, 1)->textAlignment(),
              int(Qt::AlignRight | Qt::AlignVCenter));

    form->RenameCheckBox->setChecked(false);
    form->Import_Referer_Edit->setText("http://ref/");
    Ok("http://host/a/b/movie.avi");
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_FALSE(form->isVisible());
    ASSERT_EQ(list.EntryCount(), 1);
    ListEntry entry = LastEntry();
    const std::pair<const char*, std::string> expected[] = {
        {"FileName", dir.file("part.avi")},
        {"FileSize", "1000"},
        {"Downloaded", "333"},
        {"Percent", "33" + QLocale::system().decimalPoint().toStdString() + "3%"},
        {"Remains", "667"},
        {"Segments", "2"},
        {"URL", "http://host/a/b/movie.avi"},
        {"Referer", "http://ref/"},
        {"AuthName", ""},
        {"ProxyPass", ""},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(Attr(entry, name), value) << name;
    const ElementSnapshot stored = SnapshotOf(entry);
    const ElementSnapshot* segments = stored.Child("Segments");
    ASSERT_TRUE(segments);
    ASSERT_TRUE(segments->Child("Begin") && segments->Child("End"));
    EXPECT_EQ(segments->Child("Begin")->Attribute("S2"), "700");
    EXPECT_EQ(segments->Child("End")->Attribute("S1"), "599");
    EXPECT_TRUE(FileExists(dir.file("part.avi")));
}

TEST_F(ImportDialogTest, ValidationMarksLabels) {
    Show(Sdl("part.avi", "1000", "0", {}), "part.avi", -1);
    Ok("");
    EXPECT_TRUE(IsMarked(form->URL_Label));
    EXPECT_TRUE(IsMarked(form->Inc_Label));
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(prompts.shown.empty());

    // A valid URL with the file still missing: the URL mark stays.
    Ok("http://host/part.avi");
    EXPECT_TRUE(IsMarked(form->URL_Label));
    EXPECT_TRUE(IsMarked(form->Inc_Label));
    EXPECT_EQ(list.EntryCount(), 0);

    // The file appears: Ok unmarks both and appends.
    WriteWholeFile(dir.file("part.avi"), std::string(1000, 'x'));
    Ok("http://host/part.avi");
    EXPECT_FALSE(IsMarked(form->URL_Label));
    EXPECT_FALSE(IsMarked(form->Inc_Label));
    EXPECT_EQ(list.EntryCount(), 1);
}

TEST_F(ImportDialogTest, UrlNeedsLowerCaseHttpAnywhere) {
    ShowPlain();
    form->RenameCheckBox->setChecked(false);
    Ok("HTTP://HOST/FILE.ZIP");
    EXPECT_TRUE(IsMarked(form->URL_Label));
    EXPECT_FALSE(IsMarked(form->Inc_Label));
    EXPECT_EQ(list.EntryCount(), 0);

    Ok("ftp://host/http.bin");
    EXPECT_EQ(list.EntryCount(), 1);
    EXPECT_EQ(Attr(LastEntry(), "URL"), "ftp://host/http.bin");

    ShowPlain();
    Ok("https://host/file.zip");
    EXPECT_EQ(list.EntryCount(), 2);
    EXPECT_EQ(Attr(LastEntry(), "URL"), "https://host/file.zip");
}

TEST_F(ImportDialogTest, RenameByUrl) {
    ShowPlain();
    ASSERT_TRUE(form->RenameCheckBox->isChecked());
    Ok("http://host/a/b/movie.avi");
    ASSERT_EQ(list.EntryCount(), 1);
    EXPECT_EQ(Attr(LastEntry(), "FileName"), dir.file("movie.avi"));
    EXPECT_FALSE(FileExists(dir.file("part.avi")));
    EXPECT_EQ(LengthOf(dir.file("movie.avi")), 1000);
    // The incomplete-file edit keeps the name it was shown with.
    EXPECT_EQ(form->Import_Inc_Edit->text().toStdString(), dir.file("part.avi"));
}

TEST_F(ImportDialogTest, RenameRefusalsKeepTheFileAndTheDialog) {
    ShowPlain();
    WriteWholeFile(dir.file("movie.avi"), "someone else's");
    const std::pair<std::string, std::string> cases[] = {
        {"http://host/movie.avi", "a file named \"movie.avi\" already exists in its folder"},
        {"http://host/dir/", "the URL ends with \"/\" and names no file"},
    };
    for (const auto& [url, reason] : cases) {
        prompts.shown.clear();
        Ok(url);
        ASSERT_EQ(prompts.Errors().size(), 1u) << url;
        EXPECT_EQ(prompts.Errors()[0], "The file cannot be renamed by URL: " + reason);
        EXPECT_EQ(LengthOf(dir.file("part.avi")), 1000);
        EXPECT_EQ(ReadWholeFile(dir.file("movie.avi")), "someone else's");
        EXPECT_EQ(list.EntryCount(), 0);
        EXPECT_TRUE(form->isVisible());
    }
}

TEST_F(ImportDialogTest, ServerAndProxyEdits) {
    ShowPlain();
    TSDL_Import_Form& f = *form;
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    const QColor window = QApplication::palette().color(QPalette::Base);
    EXPECT_FALSE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_EQ(f.Import_Server_Name_Edit->palette().color(QPalette::Base), buttonFace);
    EXPECT_FALSE(f.Import_Proxy_Server_Edit->isEnabled());

    QTest::mouseClick(f.Import_Server_CheckBox, Qt::LeftButton);
    EXPECT_TRUE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_EQ(f.Import_Server_Name_Edit->palette().color(QPalette::Base), window);
    f.Import_Server_Name_Edit->setText("u");
    QTest::mouseClick(f.Import_Server_CheckBox, Qt::LeftButton);
    EXPECT_FALSE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_EQ(f.Import_Server_Name_Edit->text(), "u") << "disabling keeps the text";
    QTest::mouseClick(f.Import_Server_CheckBox, Qt::LeftButton);
    EXPECT_EQ(f.Import_Server_Name_Edit->text(), "") << "enabling empties the edit";

    f.Import_Proxy_CheckBox->setChecked(false);
    EXPECT_TRUE(f.Import_Proxy_Port_Edit->isEnabled());
    EXPECT_EQ(f.Import_Proxy_Port_Edit->palette().color(QPalette::Base), window);
    f.Import_Proxy_Port_Edit->setText("3128");
    f.Import_Proxy_CheckBox->setChecked(true);
    EXPECT_FALSE(f.Import_Proxy_Port_Edit->isEnabled());
    EXPECT_EQ(f.Import_Proxy_Port_Edit->text(), "3128");

    // Showing again resets the boxes but not the disabled edits' texts.
    f.Import_Server_CheckBox->setChecked(true);
    f.Import_Proxy_CheckBox->setChecked(false);
    f.Import_Proxy_Port_Edit->setText("8080");
    f.hide();
    f.show();
    EXPECT_FALSE(f.Import_Server_CheckBox->isChecked());
    EXPECT_TRUE(f.Import_Proxy_CheckBox->isChecked());
    EXPECT_FALSE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_FALSE(f.Import_Proxy_Port_Edit->isEnabled());
    EXPECT_EQ(f.Import_Proxy_Port_Edit->text(), "8080");
}

TEST_F(ImportDialogTest, AuthorizationAndProxyGroupsInTheEntry) {
    struct Case {
        const char* what;
        bool server;
        const char *name, *pass;
        bool defaultProxy;
        const char *host, *port;
        std::string authName, authPass, proxy, proxyName;
    };
    const Case cases[] = {
        {"user with empty password", true, "u", "", true, "", "", "u", "", "", ""},
        {"authorization without user", true, "", "p", true, "", "", "(absent)", "(absent)", "", ""},
        {"proxy with empty credentials", false, "", "", false, "gate", "3128", "", "", "gate:3128",
         ""},
        {"proxy without port", false, "", "", false, "gate", "", "", "", "(absent)", "(absent)"},
    };
    for (const Case& c : cases) {
        form->hide();
        ShowPlain();
        form->RenameCheckBox->setChecked(false);
        form->Import_Server_CheckBox->setChecked(c.server);
        form->Import_Server_Name_Edit->setText(c.name);
        form->Import_Server_Pass_Edit->setText(c.pass);
        form->Import_Proxy_CheckBox->setChecked(c.defaultProxy);
        form->Import_Proxy_Server_Edit->setText(c.host);
        form->Import_Proxy_Port_Edit->setText(c.port);
        const int before = list.EntryCount();
        Ok("http://host/part.avi");
        ASSERT_EQ(list.EntryCount(), before + 1) << c.what;
        ListEntry entry = LastEntry();
        EXPECT_EQ(Attr(entry, "AuthName"), c.authName) << c.what;
        EXPECT_EQ(Attr(entry, "AuthPass"), c.authPass) << c.what;
        EXPECT_EQ(Attr(entry, "Proxy"), c.proxy) << c.what;
        EXPECT_EQ(Attr(entry, "ProxyName"), c.proxyName) << c.what;
    }
}

TEST_F(ImportDialogTest, IncompleteFileLength) {
    // One byte short: the Abort box, nothing cut, no entry; Cancel leaves all.
    ShowPlain(999);
    form->RenameCheckBox->setChecked(false);
    const std::string listBefore = ReadWholeFile(list.ListPath());
    Ok("http://host/part.avi");
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].kind, "abort");
    EXPECT_EQ(prompts.shown[0].title, "Error");
    EXPECT_EQ(prompts.shown[0].message, "Size of incomplete file is incorrect!");
    EXPECT_TRUE(form->isVisible());
    QTest::mouseClick(form->Cancel_Button, Qt::LeftButton);
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_EQ(ReadWholeFile(list.ListPath()), listBefore);
    EXPECT_EQ(LengthOf(dir.file("part.avi")), 999);

    // Ten bytes too many are cut; exactly the size is left alone.
    for (int64_t length : {1010, 1000}) {
        prompts.shown.clear();
        ShowPlain(length);
        WriteWholeFile(dir.file("part.avi"), std::string(static_cast<size_t>(length), 'd'));
        Ok("http://host/part.avi");
        EXPECT_TRUE(prompts.shown.empty());
        EXPECT_EQ(ReadWholeFile(dir.file("part.avi")), std::string(1000, 'd'));
    }
    EXPECT_EQ(list.EntryCount(), 2);
}

TEST_F(ImportDialogTest, SparseFiveGiBFilePasses) {
    const int64_t fiveGiB = int64_t{5} << 30;
    Show(Sdl("part.bin", std::to_string(fiveGiB), "0", {{"0", std::to_string(fiveGiB)}}),
         "part.bin", fiveGiB);
    form->RenameCheckBox->setChecked(false);
    Ok("http://host/part.bin");
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(list.EntryCount(), 1);
    EXPECT_EQ(LengthOf(dir.file("part.bin")), fiveGiB);
    struct stat st {};
    ::stat(dir.file("part.bin").c_str(), &st);
    EXPECT_LT(st.st_blocks, 1024) << "the file was never written";
}

TEST_F(ImportDialogTest, UnmarkingAndEveryRefusalComeBeforeTheRenameOrAreUndone) {
    // Each case would rename part.avi to movie.avi; none may leave it renamed
    // without an entry. A file that another program holds (a running
    // download) keeps its name; a flush that fails after the rename gives
    // the file its name back.
    enum Fault { None, Held, FlushFails };
    struct Case {
        const char* what;
        const char* size; // the segment file's
        int64_t length;   // the incomplete file's
        const char* url;
        const char* proxyServer; // null: the default proxy
        Fault fault;
        std::string message; // the box's; empty: the proxy box is marked instead
        int64_t lengthAfter;
    };
    const std::string part = dir.file("part.avi");
    const Case cases[] = {
        {"a negative size", "-5", 1000, "http://host/movie.avi", nullptr, None,
         "The size of the complete file, \"-5\", is negative: the incomplete file cannot be cut "
         "to it",
         1000},
        {"a file too short", "1000", 999, "http://host/movie.avi", nullptr, None,
         "Size of incomplete file is incorrect!", 999},
        {"a name the list cannot keep", "1000", 1000, "http://host/movie.avi\x01", nullptr, None,
         "The value of FileName holds a character that the download list cannot keep.", 1000},
        {"a proxy server with a colon", "1000", 1000, "http://host/movie.avi", "[::1]", None, "",
         1000},
        {"a file another program holds", "1000", 1000, "http://host/movie.avi", nullptr, Held,
         "The incomplete file \"" + part +
             "\" cannot be opened for writing: it is in use by another program",
         1000},
        {"a flush that fails after the rename", "1000", 1010, "http://host/movie.avi", nullptr,
         FlushFails, "The incomplete file \"" + part + "\" cannot be written: Input/output error",
         1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        form->hide();
        prompts.shown.clear();
        Show(Sdl("part.avi", c.size, "0", {}), "part.avi", c.length);
        const std::string listBefore = ReadWholeFile(list.ListPath());
        Ok("ftp://host/movie.avi");
        ASSERT_TRUE(IsMarked(form->URL_Label));
        if (c.proxyServer) {
            form->Import_Proxy_CheckBox->setChecked(false);
            form->Import_Proxy_Server_Edit->setText(c.proxyServer);
            form->Import_Proxy_Port_Edit->setText("3128");
        }
        const int holder = c.fault == Held ? ::open(part.c_str(), O_RDONLY) : -1;
        if (holder >= 0) {
            ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        std::optional<FailingFileCalls> failing;
        if (c.fault == FlushFails) failing.emplace(FailingFileCalls::Flush, EIO);
        Ok(c.url);
        failing.reset();
        if (holder >= 0) ::close(holder);

        if (c.message.empty()) {
            EXPECT_TRUE(IsMarked(form->Import_Proxy_CheckBox));
            EXPECT_TRUE(prompts.shown.empty());
        } else {
            // The fields had passed: the mark of the earlier Ok is gone.
            EXPECT_FALSE(IsMarked(form->URL_Label));
            ASSERT_EQ(prompts.shown.size(), 1u);
            EXPECT_EQ(prompts.shown[0].message, c.message);
        }
        EXPECT_EQ(LengthOf(part), c.lengthAfter);
        EXPECT_FALSE(FileExists(dir.file("movie.avi")));
        EXPECT_FALSE(FileExists(dir.file("movie.avi\x01")));
        EXPECT_EQ(list.EntryCount(), 0);
        EXPECT_EQ(ReadWholeFile(list.ListPath()), listBefore);
        EXPECT_TRUE(form->isVisible());
    }
    // Ticked again, the proxy box has nothing to refuse: the next showing unmarks it.
    form->hide();
    ShowPlain();
    EXPECT_FALSE(IsMarked(form->Import_Proxy_CheckBox));
}

TEST_F(ImportDialogTest, AFileSystemWithoutLocksImportsAndAnotherErrorRefuses) {
    struct Case {
        int error;
        bool imported;
    } cases[] = {{ENOLCK, true}, {EOPNOTSUPP, true}, {ENOSYS, true}, {EIO, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        ShowPlain(1010);
        form->RenameCheckBox->setChecked(false);
        prompts.shown.clear();
        const int entries = list.EntryCount();
        FailingFileCalls failing(FailingFileCalls::Lock, c.error);
        Ok("http://host/part.avi");
        EXPECT_EQ(list.EntryCount(), entries + (c.imported ? 1 : 0));
        EXPECT_EQ(LengthOf(dir.file("part.avi")), c.imported ? 1000 : 1010);
        EXPECT_EQ(prompts.Errors().size(), c.imported ? 0u : 1u);
        form->hide();
    }
}

TEST_F(ImportDialogTest, SymbolicLinkCountsAsAMissingFileAndItsTargetIsUntouched) {
    const std::string target = dir.file("precious.bin");
    WriteWholeFile(target, std::string(3000, 'p'));
    ShowPlain(-1);
    ASSERT_EQ(::symlink(target.c_str(), dir.file("part.avi").c_str()), 0);
    for (bool rename : {true, false}) {
        form->RenameCheckBox->setChecked(rename);
        Ok("http://host/film.avi");
        EXPECT_TRUE(IsMarked(form->Inc_Label));
        EXPECT_TRUE(prompts.shown.empty());
        EXPECT_EQ(ReadWholeFile(target), std::string(3000, 'p'));
        EXPECT_FALSE(FileExists(dir.file("film.avi")));
        EXPECT_EQ(list.EntryCount(), 0);
    }
}

TEST_F(ImportDialogTest, SecondImportShowsOnlyItsOwnValues) {
    Show(Sdl("a.avi", "1000", "0",
             {{"0", "99"}, {"100", "199"}, {"200", "299"}, {"300", "399"}, {"400", "999"}}),
         "a.avi");
    ASSERT_EQ(form->Seg_StringGrid->rowCount(), 5);
    form->Import_Referer_Edit->setText("http://ref/");
    form->RenameCheckBox->setChecked(false);
    Ok("http://host/a.avi");
    ASSERT_EQ(list.EntryCount(), 1);

    Show(Sdl("b.avi", "1000", "500", {{"500", "599"}, {"600", "999"}}), "b.avi", 1000, "b.sdl");
    EXPECT_EQ(form->Seg_StringGrid->rowCount(), 2);
    EXPECT_EQ(form->Seg_StringGrid->item(0, 0)->text(), "500");
    EXPECT_EQ(form->Import_Referer_Edit->text(), "http://ref/");
    EXPECT_FALSE(form->RenameCheckBox->isChecked());
    EXPECT_EQ(form->Import_URL_Edit->text(), "");
    Ok("http://host/b.avi");
    ASSERT_EQ(list.EntryCount(), 2);
    EXPECT_EQ(Attr(LastEntry(), "FileName"), dir.file("b.avi"));
    EXPECT_EQ(Attr(LastEntry(), "Referer"), "http://ref/");
    EXPECT_EQ(Attr(LastEntry(), "Segments"), "2");
}

TEST_F(ImportDialogTest, FailedReadingNeverYieldsAnEntry) {
    // Ok before any reading.
    form->Import_URL_Edit->setText("http://host/x");
    form->OK_ButtonClick();
    ASSERT_EQ(prompts.Errors().size(), 1u);
    EXPECT_EQ(list.EntryCount(), 0);

    ShowPlain();
    form->RenameCheckBox->setChecked(false);
    Ok("http://host/part.avi");
    ASSERT_EQ(list.EntryCount(), 1);

    // The next segment file cannot be read: the dialog opens, and Ok repeats
    // the reading's error instead of reusing the first import's values.
    prompts.shown.clear();
    Show(Sdl("part.avi", "1000 ", "0", {}), "part.avi", 1000, "bad.sdl");
    EXPECT_TRUE(form->isVisible());
    ASSERT_EQ(prompts.Errors().size(), 1u);
    EXPECT_EQ(prompts.Errors()[0], "'1000 ' is not a valid integer value");
    EXPECT_EQ(form->Import_SDL_Edit->text().toStdString(), dir.file("bad.sdl"));
    EXPECT_EQ(form->Import_Inc_Edit->text(), "");
    EXPECT_EQ(form->Seg_StringGrid->rowCount(), 0);
    Ok("http://host/part.avi");
    ASSERT_EQ(prompts.Errors().size(), 2u);
    EXPECT_EQ(prompts.Errors()[1], "'1000 ' is not a valid integer value");
    EXPECT_EQ(list.EntryCount(), 1);
    EXPECT_FALSE(form->Values().has_value());
}

TEST_F(ImportDialogTest, EscRunsOkAndOnlyCancelOrCloseDismiss) {
    ShowPlain();
    QTest::keyClick(form.get(), Qt::Key_Escape);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(IsMarked(form->URL_Label)) << "Esc ran the validation";

    form->Import_URL_Edit->setText("http://host/part.avi");
    form->RenameCheckBox->setChecked(false);
    QTest::keyClick(form.get(), Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(list.EntryCount(), 1);

    // The close box: no checks, no entry.
    ShowPlain();
    form->close();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(list.EntryCount(), 1);
}

TEST_F(ImportDialogTest, ExecAnswersAcceptedOnlyAfterAnEntry) {
    WriteWholeFile(dir.file("film.sdl"), Sdl("part.avi", "1000", "0", {}));
    WriteWholeFile(dir.file("part.avi"), std::string(1000, 'x'));
    form->SetSegmentFilePath(dir.file("film.sdl"));
    QTimer::singleShot(0, form.get(), [this] {
        form->Import_URL_Edit->setText("http://host/part.avi");
        QTest::keyClick(form->Import_URL_Edit, Qt::Key_Return);
    });
    EXPECT_EQ(form->exec(), QDialog::Accepted);
    EXPECT_EQ(list.EntryCount(), 1);

    QTimer::singleShot(0, form.get(), [this] { form->Cancel_Button->click(); });
    EXPECT_EQ(form->exec(), QDialog::Rejected);
    EXPECT_EQ(list.EntryCount(), 1);
}

namespace {

// The import dialog made for editing, on one entry of the list.
class EditDialogTest : public ImportDialogTest {
protected:
    std::unique_ptr<TSDL_Import_Form> edit;

    void SetUp() override {
        ImportDialogTest::SetUp();
        edit = std::make_unique<TSDL_Import_Form>(list, prompts, nullptr,
                                                  TSDL_Import_Form::Purpose::Edit);
    }
    void TearDown() override {
        edit->hide();
        ImportDialogTest::TearDown();
    }
    ListEntry Append(std::optional<EntryValues::Auth> auth,
                     std::optional<EntryValues::Proxy> proxy) {
        EntryValues values;
        values.FileName = dir.file("part.avi");
        values.FileSize = "1000";
        values.Downloaded = "400";
        values.Percent = "40%";
        values.Remains = "600";
        values.Segments = "1";
        values.URL = "http://old/part.avi";
        values.Referer = "http://ref/";
        values.auth = auth;
        values.proxy = proxy;
        values.ranges = {{"400", "999"}};
        const ListEntry entry = list.AppendEntry(values);
        list.SaveList();
        return entry;
    }
    void ShowEdit(ListEntry entry) {
        edit->SetEditedEntry(entry);
        edit->show();
    }
};

TEST_F(EditDialogTest, ShowsTheEntryWithTheImportControlsOnly) {
    ShowEdit(Append(EntryValues::Auth{"u", "pw"}, EntryValues::Proxy{"[::1]:3128", "pn", "pp"}));
    TSDL_Import_Form& f = *edit;
    EXPECT_EQ(f.windowTitle(), "Edit download");
    // The hidden rows leave no empty strip: the segment file's row (46 px)
    // goes to the checksum below the referer, the rename row (30 px) is
    // closed up.
    EXPECT_EQ(f.size(), QSize(516, 509 - 30));
    EXPECT_EQ(f.Checksum_Edit->parentWidget(), f.Import_Referer_Edit->parentWidget());
    EXPECT_EQ(f.Checksum_Edit->geometry(), form->Import_Referer_Edit->geometry());
    EXPECT_TRUE(f.Checksum_Edit->isVisible());
    EXPECT_EQ(f.Inc_Label->pos(), form->SEG_Label->pos());
    for (QWidget* hidden : std::initializer_list<QWidget*>{f.GroupBox2, f.Import_SDL_Edit,
                                                           f.SEG_Label, f.RenameCheckBox})
        EXPECT_FALSE(hidden->isVisible()) << hidden->objectName().toStdString();
    EXPECT_EQ(f.URL_Label->text(), "File URL:");
    EXPECT_EQ(f.Import_URL_Edit->geometry(), form->Import_URL_Edit->geometry().translated(0, -46));
    EXPECT_EQ(f.Size_StaticText->geometry(), form->Size_StaticText->geometry().translated(0, -30));
    EXPECT_EQ(f.GroupBox3->geometry(), form->GroupBox3->geometry().translated(0, -30));
    EXPECT_EQ(f.Import_Proxy_Port_Edit->geometry(), form->Import_Proxy_Port_Edit->geometry());
    EXPECT_EQ(f.Import_URL_Edit->font(), form->Import_URL_Edit->font());
    EXPECT_TRUE(f.Import_Inc_Edit->isReadOnly());
    EXPECT_EQ(f.Import_Inc_Edit->text().toStdString(), dir.file("part.avi"));
    EXPECT_EQ(f.Size_StaticText->text(), " File size: 1000 bytes");
    EXPECT_EQ(f.Import_URL_Edit->text(), "http://old/part.avi");
    EXPECT_EQ(f.Import_Referer_Edit->text(), "http://ref/");
    EXPECT_TRUE(f.Import_Server_CheckBox->isChecked());
    EXPECT_TRUE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_EQ(f.Import_Server_Name_Edit->text(), "u");
    EXPECT_EQ(f.Import_Server_Pass_Edit->text(), "pw");
    EXPECT_FALSE(f.Import_Proxy_CheckBox->isChecked());
    EXPECT_EQ(f.Import_Proxy_Server_Edit->text(), "[::1]") << "split at the last colon";
    EXPECT_EQ(f.Import_Proxy_Port_Edit->text(), "3128");
    EXPECT_EQ(f.Import_Proxy_Name_Edit->text(), "pn");
    EXPECT_EQ(f.Import_Proxy_Pass_Edit->text(), "pp");
    // The boxes behave as in the import: ticking the proxy box disables its edits.
    QTest::mouseClick(f.Import_Proxy_CheckBox, Qt::LeftButton);
    EXPECT_FALSE(f.Import_Proxy_Server_Edit->isEnabled());
    edit->hide();

    // Empty or absent groups: both boxes as an import starts, nothing left over.
    ShowEdit(Append(EntryValues::Auth{}, std::nullopt));
    EXPECT_FALSE(f.Import_Server_CheckBox->isChecked());
    EXPECT_FALSE(f.Import_Server_Name_Edit->isEnabled());
    EXPECT_EQ(f.Import_Server_Name_Edit->text(), "");
    EXPECT_TRUE(f.Import_Proxy_CheckBox->isChecked());
    EXPECT_EQ(f.Import_Proxy_Server_Edit->text(), "");
}

TEST_F(EditDialogTest, OkRefusesWhatCannotBeResumedAndWritesWhatAnImportWould) {
    const ListEntry entry = Append(std::nullopt, std::nullopt);
    const std::string before = ReadWholeFile(list.ListPath());
    ShowEdit(entry);
    TSDL_Import_Form& f = *edit;
    f.Import_URL_Edit->setText("HTTP://NEW/part.avi");
    f.Import_Server_CheckBox->setChecked(true);
    f.Import_Proxy_CheckBox->setChecked(false);
    f.Import_Proxy_Server_Edit->setText("gate");
    QTest::mouseClick(f.OK_Button, Qt::LeftButton);
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(IsMarked(f.URL_Label));
    EXPECT_TRUE(IsMarked(f.Import_Server_CheckBox)) << "no user name";
    EXPECT_TRUE(IsMarked(f.Import_Proxy_CheckBox)) << "no port";
    EXPECT_EQ(ReadWholeFile(list.ListPath()), before);

    // An https URL passes; a proxy server that holds a colon is refused as
    // an empty one is.
    f.Import_URL_Edit->setText("https://new/part.avi");
    f.Import_Server_Name_Edit->setText("u");
    f.Import_Proxy_Server_Edit->setText("[::1]");
    f.Import_Proxy_Port_Edit->setText("3128");
    QTest::mouseClick(f.OK_Button, Qt::LeftButton);
    EXPECT_TRUE(f.isVisible());
    EXPECT_TRUE(IsMarked(f.Import_Proxy_CheckBox));
    EXPECT_EQ(ReadWholeFile(list.ListPath()), before);

    f.Import_Proxy_Server_Edit->setText("gate");
    QTest::keyClick(f.Import_URL_Edit, Qt::Key_Return);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(f.result(), QDialog::Accepted);
    for (const QWidget* marked : std::initializer_list<const QWidget*>{
             f.URL_Label, f.Import_Server_CheckBox, f.Import_Proxy_CheckBox})
        EXPECT_FALSE(marked->font().bold());

    ListDocument onDisk(list.ListPath());
    onDisk.OpenList();
    const ElementSnapshot saved = SnapshotOf(onDisk.FindEntry(0));
    EXPECT_EQ(saved, SnapshotOf(entry));
    EXPECT_EQ(saved.Attribute("URL"), "https://new/part.avi");
    EXPECT_EQ(saved.Attribute("Referer"), "http://ref/");
    EXPECT_EQ(saved.Attribute("AuthName"), "u");
    EXPECT_EQ(saved.Attribute("AuthPass"), "");
    EXPECT_EQ(saved.Attribute("Proxy"), "gate:3128");
    EXPECT_EQ(saved.Attribute("ProxyName"), "");
    EXPECT_EQ(saved.Attribute("Downloaded"), "400");
    EXPECT_EQ(saved.Attribute("FileName"), dir.file("part.avi"));
}

TEST_F(EditDialogTest, EscCancelAndCloseChangeNothing) {
    const ListEntry entry = Append(EntryValues::Auth{}, EntryValues::Proxy{});
    const std::string before = ReadWholeFile(list.ListPath());
    const ElementSnapshot inMemory = SnapshotOf(entry);
    for (int way = 0; way < 3; ++way) {
        ShowEdit(entry);
        edit->Import_URL_Edit->setText("http://changed/");
        edit->Import_Referer_Edit->setText("x");
        if (way == 0) QTest::keyClick(edit.get(), Qt::Key_Escape);
        if (way == 1) QTest::mouseClick(edit->Cancel_Button, Qt::LeftButton);
        if (way == 2) edit->close();
        EXPECT_FALSE(edit->isVisible()) << way;
        EXPECT_EQ(edit->result(), QDialog::Rejected) << way;
        EXPECT_EQ(SnapshotOf(entry), inMemory) << way;
        EXPECT_EQ(ReadWholeFile(list.ListPath()), before) << way;
    }
    EXPECT_TRUE(prompts.shown.empty());
}

} // namespace
