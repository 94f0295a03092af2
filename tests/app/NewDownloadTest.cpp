// New downloads through the real window: a URL asked of nginx, a browser's
// partial file continued or refused, and a URL handed to a running window.
#include "HoleyFile.h"
#include "NginxServer.h"
#include "RecordingPrompts.h"
#include "ScriptedServer.h"
#include "TempDir.h"

#include "app/core/ListGuard.h"
#include "app/ui/DownloadListView.h"
#include "app/ui/HandOver.h"
#include "app/ui/MainUnit.h"
#include "import/ui/FormControls.h"
#include "import/ui/NewDownloadUnit.h"
#include "list/ListDocument.h"

#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace {

class NewDownloadTest : public ::testing::Test {
protected:
    TempDir dir;
    TempDir served;
    RecordingPrompts prompts;
    std::unique_ptr<TMainForm> form;

    void SetUp() override {
        ::setenv("XDG_DOWNLOAD_DIR", dir.path().c_str(), 1);
        form = std::make_unique<TMainForm>(dir.file("List.xml"), prompts);
        form->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        if (form) form->close();
        form.reset();
        QApplication::processEvents();
        ::unsetenv("XDG_DOWNLOAD_DIR");
    }

    // Chooses Downloads > New..., lets `fill` type into the dialog, and
    // presses Ok; returns when the command has returned (the download run
    // included).
    void NewDownload(const std::function<void(TNewDownloadForm&)>& fill) {
        TNewDownloadForm* dialog = form->New_Download_Form;
        QTimer::singleShot(0, dialog, [&, dialog] {
            ASSERT_TRUE(dialog->isVisible());
            fill(*dialog);
            dialog->OK_Button->click();
            // A refused Ok leaves the dialog open: Cancel ends the command.
            if (dialog->isVisible()) dialog->Cancel_Button->click();
        });
        form->New1->trigger();
    }

    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (int row = 0; row < form->LogView->rowCount(); ++row)
            messages.push_back(form->LogView->item(row, 2)->text().toStdString());
        return messages;
    }

    int ListedEntries() const {
        ListDocument onDisk(dir.file("List.xml"));
        onDisk.OpenList();
        return onDisk.EntryCount();
    }
};

bool Contains(const std::vector<std::string>& messages, const std::string& message) {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

TEST_F(NewDownloadTest, AUrlTypedInIsSavedWhereProposedAndEndsByteIdentical) {
    const std::string original = RandomBytes(3 * 1024 * 1024 + 5, 30);
    WriteWholeFile(served.file("movie.bin"), original);
    NginxServer nginx(served.path());
    const std::string url = nginx.url("/movie.bin");

    // The digest as a download page shows it: the dialog keeps it, and the
    // finished file is checked against it.
    const QString digest =
        QCryptographicHash::hash(QByteArray::fromStdString(original), QCryptographicHash::Sha256)
            .toHex()
            .toUpper();
    NewDownload([&](TNewDownloadForm& dialog) {
        QTest::keyClicks(dialog.URL_Edit, QString::fromStdString(url));
        EXPECT_EQ(dialog.SaveAs_Edit->text().toStdString(), dir.file("movie.bin"));
        dialog.Checksum_Edit->setText("SHA-256: " + digest);
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (!label->text().endsWith(QLatin1Char(':'))) continue;
            EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
        }
    });

    ASSERT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
    EXPECT_EQ(ReadWholeFile(dir.file("movie.bin")), original);
    EXPECT_EQ(form->ListView->rowCount(), 0);
    EXPECT_EQ(ListedEntries(), 0);
    EXPECT_TRUE(Contains(LogMessages(), "SHA-256 checksum verified."));
    EXPECT_TRUE(
        Contains(LogMessages(), "File " + dir.file("movie.bin") + " downloaded successfully."));
}

TEST_F(NewDownloadTest, ABrowsersPartialFileIsContinuedPastItsBytesAndLosesItsEnding) {
    const int64_t size = 2 * 1024 * 1024 + 11, held = 1024 * 1024 + 3;
    const std::string original = RandomBytes(static_cast<size_t>(size), 31);
    WriteWholeFile(served.file("movie.bin"), original);
    const std::string part = dir.file("movie.bin.crdownload");
    WriteWholeFile(part, original.substr(0, static_cast<size_t>(held)));
    NginxServer nginx(served.path());

    NewDownload([&](TNewDownloadForm& dialog) {
        dialog.SetUrl(nginx.url("/movie.bin"));
        dialog.SaveAs_Edit->setText(QString::fromStdString(part));
    });

    ASSERT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
    EXPECT_FALSE(FileExists(part));
    EXPECT_EQ(ReadWholeFile(dir.file("movie.bin")), original);
    EXPECT_TRUE(
        Contains(LogMessages(), "File " + part + " renamed to " + dir.file("movie.bin") + "."));
    // The held bytes came from the disk: the server sent the missing ones
    // and the same-file samples (the dialog's and the run's) of the held
    // bytes' last 64 KiB, nothing before them.
    long sent = 0;
    for (const auto& request : nginx.loggedRequests())
        if (request.requestLine.rfind("GET ", 0) == 0) sent += request.bodyBytes;
    EXPECT_LE(sent, size - held + 2 * 65536);
    EXPECT_GE(sent, size - held);
}

TEST_F(NewDownloadTest, AFileOfAnotherVersionOrAlreadyWholeIsRefusedAndLeftAsItWas) {
    const std::string original = RandomBytes(300000, 32);
    WriteWholeFile(served.file("movie.bin"), original);
    NginxServer nginx(served.path());
    const std::string other = RandomBytes(100000, 33);
    const std::string part = dir.file("movie.bin.part");
    WriteWholeFile(part, other);
    const auto modified = std::filesystem::last_write_time(part);

    NewDownload([&](TNewDownloadForm& dialog) {
        dialog.SetUrl(nginx.url("/movie.bin"));
        dialog.SaveAs_Edit->setText(QString::fromStdString(part));
        // A ticked box without its user name would give an entry no run
        // can start: refused before the server is asked.
        dialog.Address.serverBox->setChecked(true);
        dialog.OK_Button->click();
        EXPECT_TRUE(IsMarked(dialog.Address.serverBox));
        EXPECT_TRUE(nginx.loggedRequests().empty());
        dialog.Address.serverBox->setChecked(false);
        dialog.OK_Button->click();
        EXPECT_TRUE(dialog.isVisible()) << "a refused file keeps the dialog open";
        // The same file grown past the server's is refused before it is read.
        WriteWholeFile(dir.file("whole.bin"), original + "x");
        dialog.SaveAs_Edit->setText(QString::fromStdString(dir.file("whole.bin")));
    });

    ASSERT_EQ(prompts.Errors().size(), 2u);
    EXPECT_EQ(prompts.Errors()[0],
              "File on server has changed. Can't download incomplete segments.");
    EXPECT_EQ(prompts.Errors()[1], "The file " + dir.file("whole.bin") +
                                       " is already as long as the file on the server.");
    EXPECT_EQ(ReadWholeFile(part), other);
    EXPECT_EQ(std::filesystem::last_write_time(part), modified);
    EXPECT_EQ(ReadWholeFile(dir.file("whole.bin")), original + "x");
    EXPECT_FALSE(FileExists(dir.file("movie.bin")));
    EXPECT_EQ(form->ListView->rowCount(), 0);
}

// A download added while another runs waits for it; Pause on the running
// one stops both, the added one staying listed for Resume.
TEST_F(NewDownloadTest, ANewDownloadDuringARunWaitsAndStartsWhenTheRunEnds) {
    const int64_t size = 3 * 1024 * 1024;
    const std::string second = RandomBytes(200000, 35);
    WriteWholeFile(served.file("second.bin"), second);
    NginxServer nginx(served.path(), NginxServer::WithLimits("limit_rate 2m;"));
    for (const bool pause : {false, true}) {
        SCOPED_TRACE(pause ? "paused" : "to the end");
        const std::string tag = pause ? "p" : "";
        HoleyFile first = MakeHoleyFile(served.file("first.bin"), dir.file(tag + "first.bin"), size,
                                        {{0, size}}, 34);
        form.reset();
        WriteWholeFile(dir.file("List.xml"), ListXml({first.Entry(nginx.url("/first.bin"))}));
        form = std::make_unique<TMainForm>(dir.file("List.xml"), prompts);
        form->show();
        QApplication::processEvents();

        // While the first download runs, a second is added.
        TNewDownloadForm* dialog = form->New_Download_Form;
        QTimer::singleShot(300, form.get(), [&, dialog] {
            QTimer::singleShot(0, dialog, [&, dialog] {
                dialog->SetUrl(nginx.url("/second.bin"));
                dialog->SaveAs_Edit->setText(QString::fromStdString(dir.file(tag + "second.bin")));
                dialog->OK_Button->click();
            });
            form->OpenNewDownload({});
            EXPECT_EQ(form->ListView->rowCount(), 2) << "the second waits in the list";
            if (pause) form->Pause1->trigger();
        });
        form->ListView->selectRow(0);
        form->fm_List_PopupMenuPopup();
        form->Resume1->trigger();

        ASSERT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
        const std::vector<std::string> log = LogMessages();
        const auto at = [&log](const std::string& message) {
            return std::find(log.begin(), log.end(), message) - log.begin();
        };
        const long end = static_cast<long>(log.size());
        const std::string waits = "Download of file " + dir.file(tag + "second.bin") +
                                  " waits for the download in progress and starts when it ends.";
        const std::string firstDone =
            "File " + dir.file(tag + "first.bin") + " downloaded successfully.";
        const std::string secondChecked = "Checking URL: " + nginx.url("/second.bin");
        EXPECT_LT(at(waits), end);
        if (pause) {
            EXPECT_EQ(at(secondChecked), end) << "the added download did not start";
            EXPECT_EQ(form->ListView->rowCount(), 2);
            continue;
        }
        const std::string secondDone =
            "File " + dir.file(tag + "second.bin") + " downloaded successfully.";
        ASSERT_LT(at(secondDone), end);
        EXPECT_LT(at(waits), at(firstDone));
        EXPECT_LT(at(firstDone), at(secondDone));
        EXPECT_EQ(ReadWholeFile(dir.file(tag + "first.bin")), ReadWholeFile(first.original));
        EXPECT_EQ(ReadWholeFile(dir.file(tag + "second.bin")), second);
        EXPECT_EQ(form->ListView->rowCount(), 0);
    }
}

TEST_F(NewDownloadTest, CancelWithdrawsAnUnansweredQuestionAndCreatesNothing) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Stall()});
    TNewDownloadForm* dialog = form->New_Download_Form;
    QTimer::singleShot(0, dialog, [&, dialog] {
        dialog->SetUrl(server.url("/slow.bin"));
        dialog->OK_Button->click();
    });
    // Cancel comes while Ok waits for the server, in the dialog's events.
    QTimer::singleShot(0, dialog, [&, dialog] {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !server.requests().empty(); }, 5000));
        EXPECT_FALSE(dialog->OK_Button->isEnabled());
        dialog->Cancel_Button->click();
    });
    form->New1->trigger();

    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_FALSE(FileExists(dir.file("slow.bin")));
    EXPECT_EQ(form->ListView->rowCount(), 0);
}

// The built program started again with a URL, as a launcher or a browser's
// "open with" starts it, hands the URL to the window that holds the list.
TEST_F(NewDownloadTest, AUrlOnTheCommandLineOfASecondStartOpensInTheRunningWindow) {
    ListGuard guard(dir.file("List.xml"));
    ASSERT_EQ(guard.Take(), ListGuard::Start::Holder);
    ServeHandOver(guard, *form, prompts);
    std::filesystem::copy_file(QV_PROGRAM, dir.file("quilvane"));
    const QString url = QStringLiteral("http://127.0.0.1:9/some/file.iso");

    QProcess later;
    later.setProcessChannelMode(QProcess::ForwardedChannels);
    later.start(QString::fromStdString(dir.file("quilvane")), {url});
    TNewDownloadForm* dialog = form->New_Download_Form;
    std::string shown;
    // The dialog runs modally in the window's events; it is read and closed
    // there.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, dialog, [&] {
        if (!dialog->isVisible()) return;
        shown = dialog->URL_Edit->text().toStdString();
        dialog->Cancel_Button->click();
    });
    watch.start(20);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.empty(); }, 60000));
    ASSERT_TRUE(later.waitForFinished(60000));
    EXPECT_EQ(later.exitCode(), 0);
    EXPECT_EQ(shown, url.toStdString());
}

} // namespace
