#include "TempDir.h"

#include "FailingFileCalls.h"

#include "app/core/ListGuard.h"
#include "app/core/ListLocation.h"
#include "app/ui/BringToFront.h"
#include "common/AppError.h"
#include "list/ListDocument.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A later start on the list, in a thread of its own so that the holder can
// answer in this thread's event loop (or, for a hung holder, not at all).
ListGuard::Start StartBeside(const std::string& listPath, bool holderAnswers,
                             const std::string& url = {}) {
    std::atomic<bool> done = false;
    ListGuard::Start result = ListGuard::Start::Holder;
    std::thread later([&] {
        ListGuard guard(listPath, holderAnswers ? 10s : 200ms);
        result = guard.Take(url);
        done = true;
    });
    // The later start gives up by itself, so this loop ends either way.
    while (holderAnswers && !done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    later.join();
    return result;
}

TEST(ListGuard, ALaterStartRaisesTheHolderOrSaysItDoesNotAnswer) {
    TempDir dir;
    const std::string list = dir.file("List.xml");
    int raised = 0;
    ListGuard holder(list);
    ASSERT_EQ(holder.Take(), ListGuard::Start::Holder);
    struct stat socket {};
    ASSERT_EQ(::stat(holder.SocketPath().toLocal8Bit().constData(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 077, 0u) << "the socket is open to other users";

    std::string handed = "(none)";
    holder.SetRaiseHandler([&raised, &handed](const std::string& url) {
        ++raised;
        handed = url;
    });
    EXPECT_EQ(StartBeside(list, true), ListGuard::Start::HandedOver);
    EXPECT_EQ(raised, 1);
    EXPECT_EQ(handed, "");
    // A start with a URL hands it over with the request.
    const std::string url = "https://example.com/a%20b/file.iso?x=1&y=2";
    EXPECT_EQ(StartBeside(list, true, url), ListGuard::Start::HandedOver);
    EXPECT_EQ(handed, url);
    // Anything but a web address only raises the window.
    EXPECT_EQ(StartBeside(list, true, "javascript:alert(1)"), ListGuard::Start::HandedOver);
    EXPECT_EQ(handed, "");

    // The holder's event loop does not run: the later start gives up.
    EXPECT_EQ(StartBeside(list, false), ListGuard::Start::NoAnswer);
    EXPECT_EQ(ListGuard(list).NoAnswerMessage(),
              "Quilvane is already running with the download list " + list +
                  ", but it does not answer. Close it and start Quilvane again.");
    // A different list in the same folder is free.
    EXPECT_EQ(ListGuard(dir.file("Other.xml")).Take(), ListGuard::Start::Holder);
}

TEST(ListGuard, BringToFrontRestoresAMinimisedWindowAndKeepsItMaximised) {
    QMainWindow window;
    window.showMaximized();
    window.showMinimized();
    BringToFront(window);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isMaximized());
}

// The built program, copied into a sandbox so that it keeps its list there:
// twice in one folder, or in two folders whose List.xml are links to one list
// in a third (a list kept in a synced folder), not made yet when the first
// program starts.
TEST(ListGuard, TheProgramStartedTwiceOnOneListHandsOverAndLeavesTheListAlone) {
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "through two links" : "in one folder");
        TempDir dir;
        const std::string first = linked ? "a" : ".", second = linked ? "b" : ".";
        const std::string list = linked ? dir.file("synced/List.xml") : dir.file("List.xml");
        const std::string listFolder = std::filesystem::path(list).parent_path();
        for (const std::string& folder : {first, second}) {
            std::filesystem::create_directories(dir.file(folder));
            if (!std::filesystem::exists(dir.file(folder + "/quilvane")))
                std::filesystem::copy_file(QV_PROGRAM, dir.file(folder + "/quilvane"));
            if (linked) std::filesystem::create_symlink(list, dir.file(folder + "/List.xml"));
        }
        if (linked) std::filesystem::create_directory(dir.file("synced"));
        const auto start = [&](QProcess& process, const std::string& folder) {
            process.setProcessChannelMode(QProcess::ForwardedChannels);
            process.start(QString::fromStdString(dir.file(folder + "/quilvane")), {});
            return process.waitForStarted(30000);
        };

        QProcess holder;
        ASSERT_TRUE(start(holder, first));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return FileExists(list) && !ReadWholeFile(list).empty(); }, 60000));
        const std::string before = ReadWholeFile(list);
        // A save of the first program in flight: only the holder may clear it.
        const std::string saving = listFolder + "/.List.xml.quilvane-save-Ab12Cd";
        WriteWholeFile(saving, "<MAIN");

        for (int again = 0; again < 2; ++again) {
            QProcess later;
            ASSERT_TRUE(start(later, second));
            ASSERT_TRUE(later.waitForFinished(60000));
            EXPECT_EQ(later.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(later.exitCode(), 0) << "start " << again + 2;
        }
        EXPECT_EQ(holder.state(), QProcess::Running);
        EXPECT_EQ(ReadWholeFile(list), before);
        EXPECT_TRUE(FileExists(saving));
        // The lock is the list's own, and the new list was written at the
        // links' target, which both stay.
        EXPECT_TRUE(FileExists(listFolder + "/.List.xml.quilvane-lock"));
        for (const std::string& folder : {first, second})
            EXPECT_EQ(std::filesystem::is_symlink(dir.file(folder + "/List.xml")), linked);

        // Killed, the first leaves its lock file and socket behind; neither
        // keeps the next program from holding the list and answering on it.
        holder.kill();
        ASSERT_TRUE(holder.waitForFinished(30000));
        const std::string resolved = ListPath({dir.file(first), "", ""});
        EXPECT_EQ(resolved, list);
        ListGuard next(resolved);
        ASSERT_EQ(next.Take(), ListGuard::Start::Holder);
        EXPECT_EQ(StartBeside(list, true), ListGuard::Start::HandedOver);
        // A save of a list that exists replaces the target as well.
        ListDocument document(resolved);
        document.OpenList();
        document.SaveList();
        EXPECT_EQ(std::filesystem::is_symlink(dir.file(first + "/List.xml")), linked);
    }
}

TEST(ListGuard, WithoutLocksTheSocketDecidesAndAnotherLockErrorRefuses) {
    for (const int error : {ENOLCK, EOPNOTSUPP, EBADF, EIO}) {
        SCOPED_TRACE(error);
        TempDir dir;
        const std::string list = dir.file("List.xml");
        const FailingFileCalls failing(FailingFileCalls::Lock, error);
        ListGuard holder(list);
        if (error == EIO) {
            try {
                holder.Take();
                ADD_FAILURE() << "no error";
            } catch (const AppError& e) {
                EXPECT_EQ(std::string(e.what()),
                          "Cannot lock the download list " + list + ": Input/output error");
            }
            continue;
        }
        ASSERT_EQ(holder.Take(), ListGuard::Start::Holder);
        EXPECT_EQ(StartBeside(list, true), ListGuard::Start::HandedOver);
    }
}

} // namespace
