#include "HoleyFile.h"
#include "NginxServer.h"
#include "RecordingPrompts.h"
#include "TempDir.h"
#include "TestCertificates.h"

#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"
#include "import/ui/SDLImportUnit.h"
#include "list/ListDocument.h"

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class ImportResumeTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingPrompts prompts;
    std::unique_ptr<TMainForm> form;

    void TearDown() override {
        if (form) form->close();
        form.reset();
        QApplication::processEvents();
    }
};

// Over http and over https, with a certificate of the tests' own authority.
class ImportResume : public ImportResumeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ImportResume, ImportedSegmentFileResumesToAByteIdenticalFile) {
    TempDir served;
    const int64_t size = 2 * 1024 * 1024 + 7;
    HoleyFile file = MakeHoleyFile(served.file("movie.avi"), dir.file("part.avi"), size,
                                   {{0, 4096}, {700000, 900000}, {size - 100, size}}, 21);
    const TestCertificates::Pair pair =
        TestCertificates::Signed("localhost", "DNS:localhost,IP:127.0.0.1");
    NginxServer nginx = GetParam() ? NginxServer(served.path(), pair.certificate, pair.key)
                                   : NginxServer(served.path());
    const std::string sdl = dir.file("part.sdl");
    WriteWholeFile(sdl, file.SegmentFileText("D:\\old\\downloads\\part.avi"));

    form = std::make_unique<TMainForm>(dir.file("List.xml"), prompts);
    form->show();
    QApplication::processEvents();

    prompts.openFileAnswers.push_back(sdl);
    TSDL_Import_Form* dialog = form->SDL_Import_Form;
    QTimer::singleShot(0, dialog, [&] {
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_TRUE(dialog->RenameCheckBox->isChecked());
        dialog->Import_URL_Edit->setText(QString::fromStdString(nginx.url("/movie.avi")));
        dialog->OK_Button->click();
    });
    form->Import1->trigger();
    ASSERT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
    ASSERT_EQ(prompts.openFileRequests.size(), 1u);
    EXPECT_EQ(prompts.openFileRequests[0].defaultExtension, "sdl");

    // The file now bears the URL's name, and the new row and entry say so.
    const std::string renamed = dir.file("movie.avi");
    EXPECT_FALSE(FileExists(file.incomplete));
    ASSERT_TRUE(FileExists(renamed));
    ASSERT_EQ(form->ListView->rowCount(), 1);
    EXPECT_EQ(form->ListView->item(0, 0)->text().toStdString(), renamed);
    EXPECT_EQ(form->ListView->item(0, 5)->text().toStdString(), "3");
    {
        ListDocument onDisk(dir.file("List.xml"));
        onDisk.OpenList();
        ASSERT_EQ(onDisk.EntryCount(), 1);
        EXPECT_EQ(onDisk.FindEntry(0).AttributeText("FileName"), renamed);
    }

    form->ListView->selectRow(0);
    form->fm_List_PopupMenuPopup();
    form->Resume1->trigger();

    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_EQ(ReadWholeFile(renamed), ReadWholeFile(file.original));
    EXPECT_EQ(form->ListView->rowCount(), 0);
    ListDocument onDisk(dir.file("List.xml"));
    onDisk.OpenList();
    EXPECT_EQ(onDisk.EntryCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(HttpAndHttps, ImportResume, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

TEST_F(ImportResumeTest, AFileThatIsNoSegmentFileIsRejectedPlainly) {
    const std::string path = dir.file("notes.sdl");
    WriteWholeFile(path, "\n<?xml version=\"1.0\"?><a/>");
    form = std::make_unique<TMainForm>(dir.file("List.xml"), prompts);
    form->show();
    QApplication::processEvents();
    prompts.openFileAnswers.push_back(path);
    form->Import1->trigger();
    ASSERT_EQ(prompts.shown.size(), 1u);
    EXPECT_EQ(prompts.shown[0].kind, "plain");
    EXPECT_EQ(prompts.shown[0].message, "File \"" + path + "\" is not a Vesko's .SDL file!");
    EXPECT_FALSE(form->SDL_Import_Form->isVisible());

    prompts.openFileAnswers.push_back(dir.file("absent.sdl"));
    form->Import1->trigger();
    ASSERT_EQ(prompts.Errors().size(), 1u);
    EXPECT_EQ(prompts.Errors()[0], "File not found");
    EXPECT_EQ(form->ListView->rowCount(), 0);
}

// Drops the given URLs on the window as a file manager would, after it has
// dragged them in; true when the window took the drop.
bool Drop(QWidget* window, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = window->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
    return drop.isAccepted();
}

TEST_F(ImportResumeTest, DroppingOneSegmentFileImportsItAsTheOpenFileDialogWould) {
    HoleyFile file =
        MakeHoleyFile(dir.file("complete.bin"), dir.file("part.bin"), 50000, {{100, 2000}}, 5);
    const std::string sdl = dir.file("part.SDL");
    WriteWholeFile(sdl, file.SegmentFileText("C:\\downloads\\part.bin"));
    WriteWholeFile(dir.file("notes.txt"), "not a segment file");
    form = std::make_unique<TMainForm>(dir.file("List.xml"), prompts);
    form->show();
    QApplication::processEvents();

    // Anything but one local segment file is refused at once.
    const QUrl sdlUrl = QUrl::fromLocalFile(QString::fromStdString(sdl));
    EXPECT_FALSE(
        Drop(form.get(), {QUrl::fromLocalFile(QString::fromStdString(dir.file("notes.txt")))}));
    EXPECT_FALSE(Drop(form.get(), {sdlUrl, sdlUrl}));
    QApplication::processEvents();
    EXPECT_FALSE(form->SDL_Import_Form->isVisible());

    TSDL_Import_Form* dialog = form->SDL_Import_Form;
    ASSERT_TRUE(Drop(form.get(), {sdlUrl}));
    // The import runs once the drop has finished.
    EXPECT_FALSE(dialog->isVisible());
    // Answers every showing of the dialog: the first with Ok, any later one
    // (which must not come) with Cancel.
    int showings = 0;
    bool droppedWhileOpen = true;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, dialog, [&] {
        if (!dialog->isVisible()) return;
        if (++showings > 1) {
            dialog->Cancel_Button->click();
            return;
        }
        EXPECT_EQ(dialog->Import_SDL_Edit->text().toStdString(), sdl);
        droppedWhileOpen = Drop(form.get(), {sdlUrl});
        dialog->RenameCheckBox->setChecked(false);
        dialog->Import_URL_Edit->setText("http://127.0.0.1/part.bin");
        dialog->OK_Button->click();
    });
    answer.start();
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QTest::qWait(10);
    }
    answer.stop();

    EXPECT_EQ(showings, 1);
    EXPECT_FALSE(droppedWhileOpen);
    EXPECT_TRUE(prompts.openFileRequests.empty());
    ASSERT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
    ASSERT_EQ(form->ListView->rowCount(), 1);
    EXPECT_EQ(form->ListView->item(0, 0)->text().toStdString(), file.incomplete);
    ListDocument onDisk(dir.file("List.xml"));
    onDisk.OpenList();
    ASSERT_EQ(onDisk.EntryCount(), 1);
    EXPECT_EQ(onDisk.FindEntry(0).AttributeText("URL"), "http://127.0.0.1/part.bin");
}

} // namespace
