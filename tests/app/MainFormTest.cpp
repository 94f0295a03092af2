#include "ListFixtures.h"
#include "RecordingPrompts.h"
#include "TempDir.h"

#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"
#include "app/ui/OptionsDialog.h"
#include "import/ui/SDLImportUnit.h"
#include "list/ListDocument.h"
#include "ui/Icons.h"

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include <sys/resource.h>

namespace {

class MainFormTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingPrompts prompts;
    std::unique_ptr<TMainForm> form;

    std::string listPath() const { return dir.file("List.xml"); }

    TMainForm& Open() {
        form = std::make_unique<TMainForm>(listPath(), prompts);
        form->show();
        QApplication::processEvents();
        return *form;
    }

    std::string Cell(int row, int column) const {
        QTableWidgetItem* item = form->ListView->item(row, column);
        return item ? item->text().toStdString() : "<none>";
    }

    void RightPress(int row) {
        QWidget* viewport = form->ListView->viewport();
        QRect cell = form->ListView->visualRect(form->ListView->model()->index(row, 1));
        QTest::mousePress(viewport, Qt::RightButton, {}, cell.center());
    }

    void TearDown() override {
        if (form) form->close();
        form.reset();
        QApplication::processEvents();
    }
};

TEST_F(MainFormTest, FirstStartCreatesTheListAndShowsAnEmptyWindow) {
    ASSERT_FALSE(FileExists(listPath()));
    TMainForm& f = Open();
    EXPECT_TRUE(FileExists(listPath()));
    EXPECT_EQ(f.ListView->rowCount(), 0);
    EXPECT_EQ(f.LogView->rowCount(), 0);
    EXPECT_EQ(f.windowTitle(), "Quilvane 0.3alpha");
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_TRUE(f.Commands().Idle());
    ASSERT_NE(f.Worker(), nullptr);
    f.Save1->trigger();
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainFormTest, ColumnsMenusAndLayoutAreAsDeclared) {
    TMainForm& f = Open();
    QStringList headers;
    for (int c = 0; c < f.ListView->columnCount(); ++c)
        headers << f.ListView->horizontalHeaderItem(c)->text();
    EXPECT_EQ(headers, QStringList({"File name", "File size (bytes)", "Completed (bytes)",
                                    "Percent", "Remains (bytes)", "Segments", "URL"}));
    EXPECT_EQ(f.ListView->columnWidth(1), 90);
    EXPECT_EQ(f.ListView->columnWidth(2), 105);
    EXPECT_EQ(f.ListView->columnWidth(3), 52);
    EXPECT_EQ(f.ListView->columnWidth(4), 90);
    EXPECT_EQ(f.ListView->columnWidth(5), 60);
    EXPECT_EQ(f.LogView->columnCount(), 3);
    EXPECT_EQ(f.LogView->horizontalHeaderItem(1)->text(), "Date/Time");
    EXPECT_EQ(f.LogView->horizontalHeaderItem(2)->text(), "Message");
    EXPECT_EQ(f.LogView->columnWidth(0), 15);
    EXPECT_EQ(f.LogView->columnWidth(1), 116);
    EXPECT_FALSE(f.ListView->horizontalHeader()->sectionsClickable());
    EXPECT_EQ(f.ListView->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(f.ListView->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(f.ListView->selectionMode(), QAbstractItemView::SingleSelection);

    EXPECT_EQ(f.File1->title(), "File");
    EXPECT_EQ(f.Jobs1->title(), "Downloads");
    EXPECT_TRUE(f.New2->isEnabled());
    EXPECT_TRUE(f.Options1->isEnabled());
    EXPECT_TRUE(f.New1->isEnabled());
    EXPECT_TRUE(f.Save1->isEnabled());
    EXPECT_TRUE(f.Exit1->isEnabled());
    EXPECT_TRUE(f.Import1->isEnabled());
    EXPECT_EQ(f.Import1->text(), "Import...");
    EXPECT_EQ(f.Jobs1->actions().back(), f.ResumeAll1);
    EXPECT_EQ(f.ResumeAll1->text(), "Resume all");
    EXPECT_EQ(f.ResumeAll1->icon().pixmap(16).toImage(), f.Resume1->icon().pixmap(16).toImage());
    f.Jobs1Click();
    EXPECT_FALSE(f.ResumeAll1->isEnabled()); // an empty list has nothing to resume
    QStringList popup;
    for (QAction* a : f.fm_List_PopupMenu->actions())
        popup << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(popup,
              QStringList({"Resume", "Pause", "-", "Delete", "-", "Edit...", "Download again"}));
    EXPECT_FALSE(f.DownloadAgain1->isVisible()) << "offered only after a checksum failed";
    for (QAction* a : {f.Resume1, f.Pause1, f.Delete1, f.Edit1}) {
        EXPECT_FALSE(a->icon().isNull());
        EXPECT_FALSE(a->isEnabled()); // until the menu is first opened
    }
    EXPECT_EQ(f.Splitter2->handleWidth(), 1);
    EXPECT_EQ(f.Splitter2->widget(1), f.LogView);
    // What a screen reader calls the tables, which have no caption on screen.
    const std::pair<QWidget*, const char*> named[] = {
        {f.ListView, "Downloads"},
        {f.LogView, "Activity log"},
        {f.SDL_Import_Form->Seg_StringGrid, "File segments"}};
    for (const auto& [widget, name] : named) {
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(table, nullptr) << name;
        EXPECT_EQ(table->text(QAccessible::Name).toStdString(), name);
    }
}

// File > Options: its fields named for screen readers, Ok keeps the values
// in the user's configuration folder, and the next start shows them.
TEST_F(MainFormTest, OptionsAreChosenKeptAndShownAgainAfterARestart) {
    TempDir config;
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before ? before : "";
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    TMainForm& f = Open();
    TOptionsForm& dialog = *f.findChild<TOptionsForm*>("OptionsForm");
    EXPECT_EQ(dialog.windowTitle(), "Options");
    for (QLabel* label : dialog.findChildren<QLabel*>())
        EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
    QTimer::singleShot(0, &f, [&dialog] {
        EXPECT_EQ(dialog.ConnectionsSpin->value(), 4);
        EXPECT_EQ(dialog.LimitSpin->value(), 0);
        dialog.ConnectionsSpin->setValue(2);
        dialog.LimitSpin->setValue(1500);
        dialog.OkButton->click();
    });
    f.Options1->trigger();
    EXPECT_EQ(ReadUserOptions(config.path() + "/Quilvane/Quilvane.conf"), (UserOptions{2, 1500}));

    form->close();
    form.reset();
    TMainForm& again = Open();
    TOptionsForm& shown = *again.findChild<TOptionsForm*>("OptionsForm");
    QTimer::singleShot(0, &again, [&shown] {
        EXPECT_EQ(shown.ConnectionsSpin->value(), 2);
        EXPECT_EQ(shown.LimitSpin->value(), 1500);
        shown.CancelButton->click();
    });
    again.Options1->trigger();
    if (before)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

TEST_F(MainFormTest, BothWindowsUseTahomaAtElevenPixelsWhenItsFilesArePresent) {
    TMainForm& f = Open();
    const bool present = QFile::exists("/usr/share/wine/fonts/tahoma.ttf");
    const QString expected =
        present ? QStringLiteral("Tahoma")
                : QFontInfo(QFontDatabase::systemFont(QFontDatabase::GeneralFont)).family();
    const QList<QWidget*> widgets = {&f, f.SDL_Import_Form, f.LogView,
                                     f.SDL_Import_Form->Import_URL_Edit};
    for (QWidget* window : widgets) {
        const QFontInfo used(window->font());
        EXPECT_EQ(used.family(), expected) << window->objectName().toStdString();
        EXPECT_EQ(used.pixelSize(), 11) << window->objectName().toStdString();
    }
    if (present) {
        // The bold captions are Tahoma too.
        const QFontInfo bold(f.SDL_Import_Form->GroupBox1->font());
        EXPECT_EQ(bold.family(), "Tahoma");
        EXPECT_TRUE(bold.bold());

        // A path in the bold edits is spaced as in the regular face (no
        // false gap after a slash) and is drawn with more ink.
        const QFont regularFont = f.SDL_Import_Form->font();
        const QFont boldFont = f.SDL_Import_Form->GroupBox1->font();
        EXPECT_LE(QFontMetrics(boldFont).horizontalAdvance('/'),
                  QFontMetrics(regularFont).horizontalAdvance('/') + 1);
        auto ink = [](const QFont& font) {
            QImage image(200, 20, QImage::Format_RGB32);
            image.fill(Qt::white);
            QPainter painter(&image);
            painter.setFont(font);
            painter.setPen(Qt::black);
            painter.drawText(2, 15, QStringLiteral("/tmp/dl/movie.sdl"));
            painter.end();
            long sum = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    sum += 255 - qGray(image.pixel(x, y));
            return sum;
        };
        EXPECT_GT(ink(boldFont), ink(regularFont) * 6 / 5);
    }
}

TEST_F(MainFormTest, BothWindowsCarryTheApplicationIconInEverySize) {
    TMainForm& f = Open();
    for (const QIcon& icon : {f.windowIcon(), f.SDL_Import_Form->windowIcon()}) {
        for (int size : kApplicationIconSizes) {
            EXPECT_EQ(
                icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                ApplicationIconImage(size))
                << size;
        }
    }
    // Not an empty square: the button's face and the arrow are painted.
    const QImage image = ApplicationIconImage(48);
    EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    EXPECT_EQ(image.pixelColor(24, 10), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(4, 24), QColor(0x8C, 0xB4, 0xF0));
}

TEST_F(MainFormTest, LoadsOneRowPerEntryWithTheAttributeTexts) {
    WriteWholeFile(listPath(), ListXml({SimpleEntry(1), SimpleEntry(2, 3), SimpleEntry(3, 1)}));
    TMainForm& f = Open();
    ASSERT_EQ(f.ListView->rowCount(), 3);
    ListDocument reference(dir.file("List.xml"));
    reference.OpenList();
    const char* names[] = {"FileName", "FileSize", "Downloaded", "Percent",
                           "Remains",  "Segments", "URL"};
    for (int row = 0; row < 3; ++row) {
        const ListEntry entry = reference.FindEntry(row);
        for (int column = 0; column < 7; ++column)
            EXPECT_EQ(Cell(row, column), entry.AttributeText(names[column]))
                << row << "/" << column;
    }
    EXPECT_EQ(Cell(0, 0), "/tmp/file1.bin");
    EXPECT_EQ(Cell(1, 5), "3");
}

TEST_F(MainFormTest, SaveWritesAndClosingWritesNothing) {
    WriteWholeFile(listPath(), ListXml({SimpleEntry(1)}));
    TMainForm& f = Open();
    // Whatever is on disk now is replaced by the document on Save...
    WriteWholeFile(listPath(), "scribbled");
    f.Save1->trigger();
    EXPECT_NE(ReadWholeFile(listPath()).find("file1.bin"), std::string::npos);
    // ...and left alone at shut-down.
    WriteWholeFile(listPath(), "scribbled again");
    f.Exit1->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(ReadWholeFile(listPath()), "scribbled again");
    EXPECT_EQ(f.Worker(), nullptr);
}

TEST_F(MainFormTest, MalformedListIsReportedAndTheWindowOpensEmpty) {
    WriteWholeFile(listPath(), "<?xml version=\"1.0\"?>\n<MAIN><N1 FileName=\"x\"></MAIN>\n");
    const std::string before = ReadWholeFile(listPath());
    TMainForm& f = Open();
    ASSERT_EQ(prompts.Errors().size(), 1u);
    EXPECT_NE(prompts.Errors()[0].find("Line: 2"), std::string::npos) << prompts.Errors()[0];
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(f.ListView->rowCount(), 0);
    EXPECT_TRUE(f.Commands().Idle());
    EXPECT_NE(f.Worker(), nullptr);
    EXPECT_EQ(ReadWholeFile(listPath()), before);
    // Save on a list that never opened says so instead of writing.
    f.Save1->trigger();
    EXPECT_EQ(prompts.Errors().size(), 2u);
    EXPECT_EQ(ReadWholeFile(listPath()), before);
}

TEST_F(MainFormTest, LogRowsCarryIconTimeAndMessageAndScrollIntoView) {
    TMainForm& f = Open();
    f.resize(400, 300);
    for (int i = 0; i < 200; ++i)
        f.AddLogRow(static_cast<LogIcon>(i % 4), "message " + std::to_string(i));
    const std::string longMessage(2000, 'x');
    f.AddLogRow(LogIcon::Error, longMessage);
    QApplication::processEvents();
    const int last = f.LogView->rowCount() - 1;
    EXPECT_EQ(last, 200);
    EXPECT_EQ(f.LogView->item(last, 0)->text(), "");
    EXPECT_EQ(f.LogView->item(last, 0)->data(Qt::UserRole).toInt(), 3);
    EXPECT_FALSE(f.LogView->item(last, 0)->icon().isNull());
    EXPECT_FALSE(f.LogView->item(last, 1)->text().isEmpty());
    EXPECT_EQ(f.LogView->item(last, 2)->text().toStdString(), longMessage);
    QRect visible = f.LogView->viewport()->rect();
    EXPECT_TRUE(visible.intersects(f.LogView->visualItemRect(f.LogView->item(last, 2))));
    EXPECT_FALSE(f.LogView->horizontalScrollBar()->isVisible());
    EXPECT_EQ(f.LogView->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(MainFormTest, PopupOpensOnlyOnARightPressOverASelectedRow) {
    WriteWholeFile(listPath(), ListXml({SimpleEntry(1), SimpleEntry(2)}));
    TMainForm& f = Open();
    f.resize(800, 600);
    QApplication::processEvents();
    QWidget* viewport = f.ListView->viewport();
    QRect cell = f.ListView->visualRect(f.ListView->model()->index(0, 1));

    f.ListView->clearSelection();
    QTest::mousePress(viewport, Qt::LeftButton, {}, cell.center());
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, cell.center());
    EXPECT_FALSE(f.fm_List_PopupMenu->isVisible());
    QTest::mousePress(viewport, Qt::MiddleButton, {}, cell.center());
    EXPECT_FALSE(f.fm_List_PopupMenu->isVisible());

    RightPress(0);
    ASSERT_TRUE(f.fm_List_PopupMenu->isVisible());
    EXPECT_TRUE(f.Resume1->isEnabled());
    EXPECT_FALSE(f.Pause1->isEnabled());
    EXPECT_TRUE(f.Delete1->isEnabled());
    EXPECT_TRUE(f.Edit1->isEnabled());
    f.fm_List_PopupMenu->hide();

    // Below the last row nothing gets selected, so nothing opens.
    f.ListView->clearSelection();
    QTest::mousePress(viewport, Qt::RightButton, {}, QPoint(5, viewport->height() - 3));
    EXPECT_FALSE(f.fm_List_PopupMenu->isVisible());

    // A right click on the header closes the menu and opens none.
    RightPress(0);
    ASSERT_TRUE(f.fm_List_PopupMenu->isVisible());
    QTest::mousePress(f.ListView->horizontalHeader()->viewport(), Qt::RightButton, {},
                      QPoint(10, 5));
    EXPECT_FALSE(f.fm_List_PopupMenu->isVisible());

    // The platform's context-menu gesture opens nothing, from the key or the mouse.
    f.ListView->selectRow(0);
    for (QContextMenuEvent::Reason reason :
         {QContextMenuEvent::Keyboard, QContextMenuEvent::Mouse}) {
        for (QWidget* target : {static_cast<QWidget*>(f.ListView), f.ListView->viewport()}) {
            QContextMenuEvent event(reason, cell.center(), viewport->mapToGlobal(cell.center()));
            QApplication::sendEvent(target, &event);
            QApplication::processEvents();
            EXPECT_FALSE(f.fm_List_PopupMenu->isVisible()) << reason;
            EXPECT_FALSE(QApplication::activePopupWidget()) << reason;
        }
    }
}

TEST_F(MainFormTest, PopupOnAnEmptyListOpensNothing) {
    TMainForm& f = Open();
    QTest::mousePress(f.ListView->viewport(), Qt::RightButton, {}, QPoint(10, 10));
    EXPECT_FALSE(f.fm_List_PopupMenu->isVisible());
}

TEST_F(MainFormTest, DeleteOfRowOneOfFourRenumbersEntriesAndRows) {
    WriteWholeFile(listPath(),
                   ListXml({SimpleEntry(1), SimpleEntry(2), SimpleEntry(3), SimpleEntry(4)}));
    TMainForm& f = Open();
    f.ListView->selectRow(1);
    f.fm_List_PopupMenuPopup();
    f.Delete1->trigger();
    ASSERT_EQ(f.ListView->rowCount(), 3);
    EXPECT_EQ(Cell(0, 0), "/tmp/file1.bin");
    EXPECT_EQ(Cell(1, 0), "/tmp/file3.bin");
    EXPECT_EQ(Cell(2, 0), "/tmp/file4.bin");
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    ASSERT_EQ(onDisk.EntryCount(), 3);
    EXPECT_EQ(onDisk.FindEntry(1).AttributeText("FileName"), "/tmp/file3.bin");
    EXPECT_EQ(onDisk.FindEntry(2).AttributeText("FileName"), "/tmp/file4.bin");
    EXPECT_FALSE(onDisk.FindEntry(3));
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(MainFormTest, DeleteWhoseSaveFailsStillRemovesTheRowAndALaterSaveWritesIt) {
    WriteWholeFile(listPath(), ListXml({SimpleEntry(1), SimpleEntry(2), SimpleEntry(3)}));
    const std::string before = ReadWholeFile(listPath());
    TMainForm& f = Open();
    // A file-size limit makes the save fail, as a full disk would.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    f.ListView->selectRow(1);
    f.fm_List_PopupMenuPopup();
    f.Delete1->trigger();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(prompts.Errors().size(), 1u);
    EXPECT_EQ(ReadWholeFile(listPath()), before) << "the failed save left the file as it was";
    // Rows and entries still pair up: the document kept the change.
    ASSERT_EQ(f.ListView->rowCount(), 2);
    ASSERT_EQ(f.List().EntryCount(), 2);
    for (int row = 0; row < 2; ++row)
        EXPECT_EQ(f.List().FindEntry(row).AttributeText("FileName"), Cell(row, 0));
    EXPECT_EQ(Cell(1, 0), "/tmp/file3.bin");
    f.Save1->trigger();
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    ASSERT_EQ(onDisk.EntryCount(), 2);
    EXPECT_EQ(onDisk.FindEntry(0).AttributeText("FileName"), "/tmp/file1.bin");
    EXPECT_EQ(onDisk.FindEntry(1).AttributeText("FileName"), "/tmp/file3.bin");
}

TEST_F(MainFormTest, EditChangesTheAddressAndTheRowAndDoubleClickOpensIt) {
    TestEntry second = SimpleEntry(2);
    second.proxy = "gate:3128";
    WriteWholeFile(listPath(), ListXml({SimpleEntry(1), second}));
    TMainForm& f = Open();
    const std::string fileName = Cell(1, 0);
    f.resize(800, 600);
    QApplication::processEvents();

    // A double click opens the edit dialog on its row; Cancel changes nothing.
    const std::string before = ReadWholeFile(listPath());
    bool opened = false;
    QTimer::singleShot(0, &f, [&] {
        opened = f.Edit_Download_Form->isVisible();
        EXPECT_EQ(f.Edit_Download_Form->Import_Proxy_Server_Edit->text(), "gate");
        f.Edit_Download_Form->Cancel_Button->click();
    });
    const QRect cell = f.ListView->visualRect(f.ListView->model()->index(1, 1));
    // A real double click: press and release, then the second press.
    QTest::mouseClick(f.ListView->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(f.ListView->viewport(), Qt::LeftButton, {}, cell.center());
    QApplication::processEvents(); // the timer, had no dialog run it
    EXPECT_TRUE(opened);
    EXPECT_EQ(ReadWholeFile(listPath()), before);

    // A failed save shows the error and leaves the dialog open, the entry,
    // the row and the file as they were.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    QTimer::singleShot(0, &f, [&] {
        TSDL_Import_Form& d = *f.Edit_Download_Form;
        d.Import_URL_Edit->setText("http://elsewhere/file2.bin");
        rlimit limit = saved;
        limit.rlim_cur = 100;
        setrlimit(RLIMIT_FSIZE, &limit);
        d.OK_Button->click();
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(prompts.Errors().size(), 1u);
        EXPECT_EQ(f.List().FindEntry(1).AttributeText("URL"), Cell(1, 6));
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        // Then Ok again, with the disk back.
        d.OK_Button->click();
    });
    f.ListView->selectRow(1);
    f.fm_List_PopupMenuPopup();
    ASSERT_TRUE(f.Edit1->isEnabled());
    f.Edit1->trigger();
    EXPECT_EQ(Cell(1, 6), "http://elsewhere/file2.bin");
    EXPECT_EQ(Cell(1, 0), fileName);
    EXPECT_EQ(Cell(0, 6), SimpleEntry(1).url);
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    EXPECT_EQ(onDisk.FindEntry(1).AttributeText("URL"), "http://elsewhere/file2.bin");
    EXPECT_EQ(onDisk.FindEntry(1).AttributeText("Proxy"), "gate:3128");
    EXPECT_EQ(onDisk.FindEntry(0).AttributeText("URL"), SimpleEntry(1).url);
    EXPECT_EQ(f.ListView->rowCount(), 2);
}

} // namespace
