#include "Answers.h"
#include "FailingFileCalls.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"
#include "RecordingPrompts.h"
#include "ScriptedServer.h"
#include "StalledResolver.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TinyProxy.h"
#include "TlsFront.h"

#include "app/core/DigestCheck.h"
#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"
#include "common/UniqueFd.h"
#include "import/ui/SDLImportUnit.h"
#include "list/ListDocument.h"
#include "transfer/DLThread_Unit.h"

#include <QAccessible>
#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <memory>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Reply = ScriptedServer::Reply;
using Clock = std::chrono::steady_clock;

struct LogRow {
    int icon;
    std::string message;
    bool operator==(const LogRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LogRow& row) {
    return out << row.icon << " " << row.message;
}

TestEntry MakeEntry(std::string fileName, std::string size, std::string downloaded,
                    std::string percent, std::string remains, std::string url,
                    std::vector<std::pair<long long, long long>> ranges) {
    TestEntry e;
    e.fileName = std::move(fileName);
    e.fileSize = std::move(size);
    e.downloaded = std::move(downloaded);
    e.percent = std::move(percent);
    e.remains = std::move(remains);
    e.url = std::move(url);
    e.ranges = std::move(ranges);
    return e;
}

int RefusedPort() {
    ScriptedServer gone;
    return gone.port();
}

class JobRunTest : public ::testing::Test {
protected:
    TempDir dir;
    RecordingPrompts prompts;
    std::unique_ptr<TMainForm> form;

    std::string listPath() const { return dir.file("List.xml"); }

    // Retries wait a hundredth of the seconds they state, and a stall ends
    // a request after 3 s: the runs' real times are pinned by RunTimingsTest.
    // One connection, so that a scripted server sees exactly the requests
    // it expects however slowly a run goes; the tests of several
    // connections ask for more.
    static RunTimings FastTimings(int connections = 1) {
        RunTimings timings;
        timings.stallLimit = std::chrono::seconds(3);
        timings.waitScale = 0.01;
        timings.connections.connections = connections;
        return timings;
    }

    // Several connections, as the program decides on them, for a download
    // of a few MiB: a smaller minimum piece, and one more connection tried
    // while more than a second's bytes remain (nginx sends each new
    // request's first second at once, which makes a short download's rate
    // look twice what it is).
    static RunTimings SeveralConnections() {
        RunTimings timings = FastTimings(4);
        timings.connections.minPiece = 256 * 1024;
        timings.connections.worthOpening = std::chrono::milliseconds(1000);
        return timings;
    }

    TMainForm& OpenList(const RunTimings& timings = FastTimings()) {
        form = std::make_unique<TMainForm>(listPath(), prompts);
        form->Commands().SetRunTimings(timings);
        form->show();
        QApplication::processEvents();
        return *form;
    }

    TMainForm& Open(const std::vector<TestEntry>& entries,
                    const RunTimings& timings = FastTimings()) {
        WriteWholeFile(listPath(), ListXml(entries));
        return OpenList(timings);
    }

    // Resume on row 0 as the user chooses it; returns when the run has ended.
    void Resume(int row = 0) {
        form->ListView->selectRow(row);
        form->fm_List_PopupMenuPopup();
        ASSERT_TRUE(form->Resume1->isEnabled());
        form->Resume1->trigger();
    }

    std::vector<LogRow> Log() const {
        std::vector<LogRow> rows;
        for (int r = 0; r < form->LogView->rowCount(); ++r)
            rows.push_back({form->LogView->item(r, 0)->data(Qt::UserRole).toInt(),
                            form->LogView->item(r, 2)->text().toStdString()});
        return rows;
    }

    std::string Cell(int row, int column) const {
        return form->ListView->item(row, column)->text().toStdString();
    }

    // Runs `action` once, from inside the run's wait, as soon as `ready` holds.
    void WhenReady(std::function<bool()> ready, std::function<void()> action) {
        auto* timer = new QTimer(form.get());
        timer->setInterval(2);
        QObject::connect(timer, &QTimer::timeout, [timer, ready, action] {
            if (!ready()) return;
            timer->stop();
            action();
        });
        timer->start();
    }

    // Chooses Exit from inside the run as soon as `ready` holds, resumes row
    // 0, and checks that the window closed within `limit` of Exit without
    // List.xml having changed from `before`.
    void ExitAndExpectClosed(std::function<bool()> ready, const std::string& before,
                             std::chrono::milliseconds limit) {
        TMainForm& f = *form;
        Clock::time_point exitAt;
        WhenReady(std::move(ready), [&] {
            exitAt = Clock::now();
            f.Exit1->trigger();
        });
        Resume();
        QApplication::processEvents(); // the close that waited for the run
        EXPECT_FALSE(f.isVisible());
        EXPECT_EQ(f.Worker(), nullptr);
        EXPECT_LT(Clock::now() - exitAt, limit);
        EXPECT_EQ(ReadWholeFile(listPath()), before);
    }

    HoleyFile OpenTrickledRange(ScriptedServer& server);

    // The run finished the file byte for byte, its entry left the list, and
    // no error row was written on the way.
    void ExpectWholeWithoutErrors(const HoleyFile& file) const {
        EXPECT_TRUE(ReadWholeFile(file.incomplete) == ReadWholeFile(file.original));
        EXPECT_EQ(form->ListView->rowCount(), 0);
        for (const LogRow& row : Log())
            EXPECT_NE(row.icon, 3) << row.message;
    }

    bool LogHas(const std::string& prefix) const {
        for (const LogRow& row : Log())
            if (row.message.rfind(prefix, 0) == 0) return true;
        return false;
    }

    void TearDown() override {
        if (form) form->close();
        form.reset();
        QApplication::processEvents();
    }
};

std::vector<LogRow> ExpectedCompleteRun(const std::string& url, const HoleyFile& file) {
    std::vector<LogRow> rows = {
        {2, "Checking URL: " + url},
        {2, "Resuming feature supported by server. Segment requesting started..."}};
    int pass = 1;
    for (const auto& [begin, end] : file.ranges) {
        const std::string range = "#" + std::to_string(pass++) + " - [" + std::to_string(begin) +
                                  "-" + std::to_string(end) + "]";
        rows.push_back({1, "Requesting segment " + range});
        rows.push_back({0, "Segment " + range + " downloaded"});
    }
    rows.push_back({2, "File " + file.incomplete + " downloaded successfully."});
    return rows;
}

TEST_F(JobRunTest, ResumeAgainstNginxCompletesTheFileAndRemovesTheEntry) {
    TempDir served;
    const int64_t size = 3 * 1024 * 1024 + 123;
    HoleyFile file =
        MakeHoleyFile(served.file("movie.bin"), dir.file("movie.bin"), size,
                      {{1000, 5000}, {100000, 300000}, {1500000, 1500001}, {size - 5000, size}});
    NginxServer nginx(served.path());
    const std::string url = nginx.url("/movie.bin");
    TestEntry other = SimpleEntry(7);
    // A small download is fetched as it always was, whatever number of
    // connections it may use.
    TMainForm& f = Open({file.Entry(url), other}, FastTimings(4));

    Resume();

    EXPECT_EQ(Log(), ExpectedCompleteRun(url, file));
    ASSERT_EQ(Log().size(), 11u);
    EXPECT_EQ(Log()[6].message, "Requesting segment #3 - [1500000-1500001]");
    EXPECT_EQ(Log()[7].message, "Segment #3 - [1500000-1500001] downloaded");
    EXPECT_EQ(ReadWholeFile(file.incomplete), ReadWholeFile(file.original));
    ASSERT_EQ(f.ListView->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), other.fileName);
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    ASSERT_EQ(onDisk.EntryCount(), 1);
    EXPECT_EQ(onDisk.FindEntry(0).AttributeText("FileName"), other.fileName);
    EXPECT_TRUE(prompts.shown.empty());
    EXPECT_TRUE(f.Commands().Idle());
    EXPECT_FALSE(f.Commands().RunActive());
    // The probe and every range went over one kept connection.
    EXPECT_EQ(nginx.connectionCount(5), 1);
    // The status bar says how the run ended, without the bar.
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(),
              "The file " + file.incomplete + " is complete.");
    EXPECT_TRUE(f.RunProgressBar->isHidden());
}

TEST_F(JobRunTest, AnEditedUrlIsWhereTheNextResumeFinishesTheFile) {
    TempDir served;
    HoleyFile file = MakeHoleyFile(served.file("movie.bin"), dir.file("movie.bin"), 200000,
                                   {{1000, 5000}, {100000, 150000}});
    NginxServer nginx(served.path());
    const std::string stale = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/movie.bin";
    TMainForm& f = Open({file.Entry(stale)});
    Resume();
    ASSERT_EQ(f.ListView->rowCount(), 1);
    prompts.shown.clear();

    const std::string url = nginx.url("/movie.bin");
    QTimer::singleShot(0, &f, [&] {
        f.Edit_Download_Form->Import_URL_Edit->setText(QString::fromStdString(url));
        f.Edit_Download_Form->OK_Button->click();
    });
    f.fm_List_PopupMenuPopup();
    ASSERT_TRUE(f.Edit1->isEnabled());
    f.Edit1->trigger();
    EXPECT_EQ(Cell(0, 6), url);

    const int logged = f.LogView->rowCount();
    Resume();
    const std::vector<LogRow> log = Log();
    EXPECT_EQ(std::vector<LogRow>(log.begin() + logged, log.end()), ExpectedCompleteRun(url, file));
    EXPECT_EQ(ReadWholeFile(file.incomplete), ReadWholeFile(file.original));
    EXPECT_EQ(f.ListView->rowCount(), 0);
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(JobRunTest, ResumeThroughTinyproxyCompletesTheFile) {
    TempDir served;
    HoleyFile file = MakeHoleyFile(served.file("a.bin"), dir.file("a.bin"), 200000,
                                   {{0, 10}, {50000, 150000}, {199990, 200000}});
    NginxServer nginx(served.path());
    TinyProxy proxy;
    TestEntry entry = file.Entry(nginx.url("/a.bin"));
    entry.proxy = proxy.host() + ":" + std::to_string(proxy.port());
    Open({entry});

    Resume();

    EXPECT_EQ(Log(), ExpectedCompleteRun(entry.url, file));
    EXPECT_EQ(ReadWholeFile(file.incomplete), ReadWholeFile(file.original));
    EXPECT_EQ(form->ListView->rowCount(), 0);
    EXPECT_GE(nginx.loggedRequests(4).size(), 4u);
}

// What a row of the table below sets up besides a scripted probe answer: the
// download's URL and settings, and the servers it keeps alive.
struct ProbeSetup {
    std::string url, proxy, authName, authPass, errorRow;
    std::vector<std::shared_ptr<void>> keep;
};

std::string Redirect302(const std::string& location) {
    return "HTTP/1.1 302 Found\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n";
}

std::shared_ptr<NginxServer> TlsNginx(const std::string& root, const TestCertificates::Pair& pair) {
    return std::make_shared<NginxServer>(root, pair.certificate, pair.key);
}

TEST_F(JobRunTest, RunsThatStopAtTheProbeLeaveTwoRowsAndTouchNothing) {
    const std::string content = RandomBytes(1000, 3);
    const std::string challenge = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=x"
                                  "\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n";
    struct Case {
        std::string name;
        std::string probeAnswer; // empty: nothing listens, unless setUp says where to go
        std::string errorRow;
        std::function<void(ProbeSetup&)> setUp;
    } cases[] = {
        {"size differs",
         ProbeAnswer(999),
         "File on server has changed. Can't download incomplete segments.",
         {}},
        {"size as other text",
         ProbeAnswer(1000).replace(ProbeAnswer(1000).find("1000"), 4, "01000"),
         "File on server has changed. Can't download incomplete segments.",
         {}},
        {"200 instead of 206",
         "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n",
         "Resuming feature is unsupported by server. Segment downloading is impossible.",
         {}},
        {"other letter case",
         "HTTP/1.1 206 partial content\r\nContent-Length: 1000\r\n\r\n",
         "Resuming feature is unsupported by server. Segment downloading is impossible.",
         {}},
        {"refused", "", " SERVER ERROR: Connection refused.", {}},
        // A Location on an answer that is no redirect is refused; its status
        // line is logged as it came.
        {"206 with a Location",
         "HTTP/1.1 206 Partial Content\r\nLocation: http://elsewhere/f.bin\r\n"
         "Content-Length: 1000\r\n\r\n",
         " SERVER ERROR: HTTP/1.1 206 Partial Content",
         {}},
        {"untrusted certificate", "",
         " SERVER ERROR: The certificate of localhost is not trusted "
         "(self-signed certificate).",
         [&](ProbeSetup& s) {
             auto nginx =
                 TlsNginx(dir.path(), TestCertificates::SelfSigned("localhost", "DNS:localhost"));
             s.url = "https://localhost:" + std::to_string(nginx->port()) + "/f.bin";
             s.keep.push_back(nginx);
         }},
        {"certificate for another name", "",
         " SERVER ERROR: The certificate is for files.example, not for 127.0.0.1.",
         [&](ProbeSetup& s) {
             auto nginx = TlsNginx(dir.path(),
                                   TestCertificates::Signed("files.example", "DNS:files.example"));
             s.url = nginx->url("/f.bin");
             s.keep.push_back(nginx);
         }},
        {"a proxy that refuses the tunnel", "", " SERVER ERROR: HTTP/1.0 403 Forbidden",
         [&](ProbeSetup& s) {
             auto proxy = std::make_shared<ScriptedServer>();
             proxy->addConnection({Reply::AnswerAndClose("HTTP/1.0 403 Forbidden\r\n\r\n")});
             s.url = "https://files.example/f.bin";
             s.proxy = "127.0.0.1:" + std::to_string(proxy->port());
             s.keep.push_back(proxy);
         }},
        {"redirect loop", "", "",
         [&](ProbeSetup& s) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply::Keep(Redirect302("/g.bin")),
                                    Reply::Keep(Redirect302(server->url("/f.bin")))});
             s.url = server->url("/f.bin");
             s.errorRow = " SERVER ERROR: The server's redirects go round in a loop (back to " +
                          s.url + ").";
             s.keep.push_back(server);
         }},
        {"https to http", "", "",
         [&](ProbeSetup& s) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply::Keep(Redirect302(server->url("/f.bin")))});
             auto front = std::make_shared<TlsFront>(server->port());
             s.url = front->url("/f.bin");
             s.errorRow = " SERVER ERROR: The server redirected from https to unencrypted http (" +
                          server->url("/f.bin") + "); the download does not leave https.";
             s.keep.push_back(front);
             s.keep.push_back(server);
         }},
        {"a password refused three times", "",
         " SERVER ERROR: The server refused the user name and password (HTTP/1.1 401 "
         "Unauthorized).",
         [&](ProbeSetup& s) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection(
                 {Reply::Keep(challenge), Reply::Keep(challenge), Reply::Keep(challenge)});
             s.url = server->url("/f.bin");
             s.authName = "joe";
             s.authPass = "wrong";
             s.keep.push_back(server);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(dir.file("f.bin"), std::string(1000, 'z'));
        ScriptedServer server;
        ProbeSetup setup{server.url("/f.bin"), "", "", "", c.errorRow, {}};
        if (c.setUp) {
            c.setUp(setup);
        } else if (c.probeAnswer.empty()) {
            setup.url = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/f.bin";
        } else {
            server.addConnection({Reply::Keep(c.probeAnswer)});
        }
        TestEntry entry =
            MakeEntry(dir.file("f.bin"), "1000", "900", "90%", "100", setup.url, {{0, 100}});
        entry.proxy = setup.proxy;
        entry.authName = setup.authName;
        entry.authPass = setup.authPass;
        // A count written with a blank converts, and the cell keeps its text.
        std::string listBefore = ListXml({entry});
        listBefore.replace(listBefore.find("Segments=\"1\""), 12, "Segments=\" 1\"");
        WriteWholeFile(listPath(), listBefore);
        OpenList();
        Resume();
        const std::string& errorRow = setup.errorRow;
        EXPECT_EQ(Log(), (std::vector<LogRow>{{2, "Checking URL: " + entry.url}, {3, errorRow}}));
        EXPECT_EQ(Cell(0, 5), " 1");
        EXPECT_EQ(form->RunStatusLabel->text().toStdString(),
                  errorRow.substr(errorRow.find_first_not_of(' ')));
        EXPECT_EQ(ReadWholeFile(dir.file("f.bin")), std::string(1000, 'z'));
        EXPECT_EQ(ReadWholeFile(listPath()), listBefore);
        EXPECT_TRUE(form->Commands().Idle());
        EXPECT_TRUE(form->Resume1->isEnabled());
        EXPECT_FALSE(form->Pause1->isEnabled());
        form->close();
        form.reset();
    }
}

// A header of a recorded request head; empty when absent.
std::string HeaderIn(const std::string& head, const std::string& name) {
    const auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const auto start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
}

TEST_F(JobRunTest, APasswordARedirectAndARefusedHeadAreTakenInTheFirstRun) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 21);
    const std::string content = ReadWholeFile(file.original);
    ScriptedServer home, mirror;
    const std::string moved = mirror.url("/cdn/f.bin");
    // The download's own server asks for the password, then sends the probe
    // on; the mirror refuses HEAD, so the probe asks again as a GET.
    home.addConnection({Reply::Keep("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n"
                                    "Content-Length: 0\r\nConnection: keep-alive\r\n\r\n"),
                        Reply::Keep(Redirect302(moved))});
    home.addConnection({Reply::Keep(Redirect302(moved))});
    mirror.addConnection({Reply::Keep("HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n"
                                      "Connection: keep-alive\r\n\r\n")});
    mirror.addConnection({Reply::Keep(RangeAnswer(content, 0, 0)),
                          Reply::Keep(SampleAnswer(content, file.ranges)),
                          Reply::Keep(RangeAnswer(content, 100, 200))});
    TestEntry entry = file.Entry(home.url("/f.bin"));
    entry.authName = "joe";
    entry.authPass = "secret";
    Open({entry});

    Resume();

    std::vector<LogRow> expected = ExpectedCompleteRun(entry.url, file);
    expected.insert(expected.begin() + 1, {2, "Moved to " + moved});
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(ReadWholeFile(file.incomplete), content);
    ASSERT_TRUE(home.waitForRequests(3));
    EXPECT_EQ(HeaderIn(home.requests()[0].head, "Authorization"), "");
    EXPECT_EQ(HeaderIn(home.requests()[1].head, "Authorization"), "Basic am9lOnNlY3JldA==");
    EXPECT_EQ(HeaderIn(home.requests()[2].head, "Authorization"), "Basic am9lOnNlY3JldA==");
    ASSERT_TRUE(mirror.waitForRequests(4));
    for (const auto& request : mirror.requests())
        EXPECT_EQ(HeaderIn(request.head, "Authorization"), "") << "the password crossed over";
    EXPECT_EQ(HeaderIn(mirror.requests()[1].head, "Range"), "bytes=0-0");
}

TEST_F(JobRunTest, AnExpiredRedirectTargetIsFollowedAgainOnceBeforeAByteIsWritten) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 22);
    const std::string content = ReadWholeFile(file.original);
    ScriptedServer home, expired, fresh;
    home.addConnection({Reply::Keep(Redirect302(expired.url("/signed?t=1")))});
    home.addConnection({Reply::Keep(Redirect302(fresh.url("/signed?t=2")))});
    expired.addConnection({Reply::Keep(ProbeAnswer(1000)),
                           Reply::Keep(SampleAnswer(content, file.ranges)),
                           Reply::Keep("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n"
                                       "Connection: keep-alive\r\n\r\n")});
    fresh.addConnection({Reply::Keep(ProbeAnswer(1000)),
                         Reply::Keep(SampleAnswer(content, file.ranges)),
                         Reply::Keep(RangeAnswer(content, 100, 200))});
    TestEntry entry = file.Entry(home.url("/f.bin"));
    Open({entry});

    Resume();

    EXPECT_EQ(Log(), (std::vector<LogRow>{
                         {2, "Checking URL: " + entry.url},
                         {2, "Moved to " + expired.url("/signed?t=1")},
                         {2, "Resuming feature supported by server. Segment requesting started..."},
                         {1, "Requesting segment #1 - [100-200]"},
                         {2, "The address the download moved to answered \"HTTP/1.1 403 "
                             "Forbidden\": following " +
                                 entry.url + " again."},
                         {2, "Moved to " + fresh.url("/signed?t=2")},
                         {1, "Requesting segment #1 - [100-200]"},
                         {0, "Segment #1 - [100-200] downloaded"},
                         {2, "File " + file.incomplete + " downloaded successfully."}}));
    EXPECT_EQ(ReadWholeFile(file.incomplete), content);
    // The download keeps its own URL.
    EXPECT_EQ(fresh.requests().size(), 3u);
}

TEST_F(JobRunTest, ARangeRedirectedAwayFromTheCheckedServerIsNeverWritten) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 24);
    const std::string pristine = ReadWholeFile(file.incomplete);
    ScriptedServer home, mirror, elsewhere;
    const std::string checked = mirror.url("/f.bin"), away = elsewhere.url("/f.bin");
    // Probe and sample end at the mirror, the range's GET at another server
    // with another file of the same size; so again when the run looks anew.
    for (int look = 0; look < 2; ++look) {
        home.addConnection({Reply::Keep(Redirect302(checked))});
        mirror.addConnection({Reply::Keep(ProbeAnswer(1000)),
                              Reply::Keep(SampleAnswer(ReadWholeFile(file.original), file.ranges)),
                              Reply::Keep(Redirect302(away))});
        elsewhere.addConnection({Reply::Keep(RangeAnswer(RandomBytes(1000, 25), 100, 200))});
    }
    TestEntry entry = file.Entry(home.url("/f.bin"));
    const std::string before = ListXml({entry});
    Open({entry});
    Resume();
    const std::string redirected = "Segment #1 was redirected from " + checked + " to " + away +
                                   ", away from where the file was checked";
    const std::vector<LogRow> expected = {
        {2, "Checking URL: " + entry.url},
        {2, "Moved to " + checked},
        {2, "Resuming feature supported by server. Segment requesting started..."},
        {1, "Requesting segment #1 - [100-200]"},
        {2, redirected + ": following " + entry.url + " again."},
        {2, "Moved to " + checked},
        {1, "Requesting segment #1 - [100-200]"},
        {3, redirected + ". The download takes all its bytes from one server."}};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(elsewhere.requests().size(), 2u);
    EXPECT_EQ(ReadWholeFile(file.incomplete), pristine);
    EXPECT_EQ(ReadWholeFile(listPath()), before);
}

TEST_F(JobRunTest, AFinalFailureOfARangeEndsTheRunWithItsRow) {
    HoleyFile file =
        MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}, {500, 600}}, 5);
    const std::string original = ReadWholeFile(file.original);
    const std::string pristine = ReadWholeFile(file.incomplete);
    ScriptedServer servers[4];
    const std::string loop = servers[3].url("/f.bin");
    const struct Case {
        const char* name;
        std::string answer; // to the GET of the first range
        std::string row;
    } cases[] = {
        {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\nConnection: keep-alive\r\n\r\noops",
         "Segment #1: the server answered \"HTTP/1.1 404 Not Found\"."},
        {"416", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n",
         "Segment #1: the server answered \"HTTP/1.1 416 Range Not Satisfiable\"."},
        // The whole file where a range was asked for, too long to read through.
        {"a 200 for a range",
         "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'x'),
         "Segment #1: the server's answer \"HTTP/1.1 200 OK\" does not hold exactly the bytes "
         "asked for."},
        {"a redirect loop", Redirect302(loop),
         "Segment #1: The server's redirects go round in a loop (back to " + loop + ")."},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        servers[i].addConnection({Reply::Keep(ProbeAnswer(1000)),
                                  Reply::Keep(SampleAnswer(original, file.ranges)),
                                  Reply::AnswerAndClose(c.answer)});
        TestEntry entry = file.Entry(servers[i].url("/f.bin"));
        const std::string before = ListXml({entry});
        Open({entry});
        Resume();
        // No later pass asks for the same range again; it stays queued.
        EXPECT_EQ(Log(),
                  (std::vector<LogRow>{
                      {2, "Checking URL: " + entry.url},
                      {2, "Resuming feature supported by server. Segment requesting started..."},
                      {1, "Requesting segment #1 - [100-200]"},
                      {3, c.row}}));
        EXPECT_EQ(form->RunStatusLabel->text().toStdString(), c.row);
        EXPECT_EQ(servers[i].requests().size(), 3u);
        EXPECT_EQ(ReadWholeFile(file.incomplete), pristine);
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        EXPECT_TRUE(form->Commands().Idle());
        form->close();
        form.reset();
    }
}

TEST_F(JobRunTest, ASampleOfHeldBytesMustMatchBeforeARangeIsFetched) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 21);
    const std::string original = ReadWholeFile(file.original);
    const std::string pristine = ReadWholeFile(file.incomplete);
    // Another file of the same size: every probe and size check passes.
    const std::string other = RandomBytes(1000, 22);
    const std::string changed = "File on server has changed. Can't download incomplete segments.";
    const std::string challenge = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=x"
                                  "\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n";
    const struct Case {
        const char* name;
        std::string sample; // the answer to the sample's GET
        std::string lastRow;
        int answers = 1; // how often the sample's GET gets that answer
    } cases[] = {
        {"another file of the same size", SampleAnswer(other, file.ranges), changed},
        {"a 200 with the right bytes",
         "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: keep-alive\r\n\r\n" +
             original.substr(0, 100),
         changed},
        // Refusals are not another file: they say what they are.
        {"a 416", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n",
         " SERVER ERROR: HTTP/1.1 416 Range Not Satisfiable"},
        {"a 403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n",
         " SERVER ERROR: HTTP/1.1 403 Forbidden"},
        {"a refused password", challenge,
         " SERVER ERROR: The server refused the user name and password (HTTP/1.1 401 "
         "Unauthorized).",
         3},
        // More than the asked bytes is not the asked bytes, even when they
        // begin right.
        {"a longer body",
         [&] {
             std::string longer = SampleAnswer(original, file.ranges) + "and more";
             const size_t length = longer.find("Content-Length:");
             return longer.erase(length, longer.find("\r\n", length) + 2 - length);
         }(),
         changed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(file.incomplete, pristine);
        ScriptedServer server;
        std::vector<Reply> replies(c.answers, Reply::Keep(c.sample));
        replies.insert(replies.begin(), Reply::Keep(ProbeAnswer(1000)));
        replies.back().then = Reply::Then::Close;
        server.addConnection(replies);
        TestEntry entry = file.Entry(server.url("/f.bin"));
        // A password for the server that refuses it.
        entry.authName = "joe";
        entry.authPass = "wrong";
        const std::string before = ListXml({entry});
        Open({entry});
        Resume();
        ASSERT_FALSE(Log().empty());
        EXPECT_EQ(Log().back(), (LogRow{3, c.lastRow}));
        EXPECT_FALSE(LogHas("Requesting segment"));
        EXPECT_EQ(ReadWholeFile(file.incomplete), pristine);
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        EXPECT_TRUE(form->Commands().Idle());
        ASSERT_TRUE(server.waitForRequests(2));
        EXPECT_NE(server.requests()[1].head.find("Range: bytes=0-99\r\n"), std::string::npos);
        form->close();
        form.reset();
    }

    // The same file: probe, sample and range over one connection, and no
    // row more than a run without the sample writes.
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(1000)),
                          Reply::Keep(SampleAnswer(original, file.ranges)),
                          Reply::Keep(RangeAnswer(original, 100, 200))});
    Open({file.Entry(server.url("/f.bin"))});
    Resume();
    EXPECT_EQ(Log(), ExpectedCompleteRun(server.url("/f.bin"), file));
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    EXPECT_EQ(server.connectionCount(), 1);
    ASSERT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(server.requests()[0].head.rfind("HEAD ", 0), 0u);
    EXPECT_NE(server.requests()[1].head.find("Range: bytes=0-99\r\n"), std::string::npos);
    EXPECT_NE(server.requests()[2].head.find("Range: bytes=100-200\r\n"), std::string::npos);
    form->close();
    form.reset();

    // A file that holds no byte outside its one range has nothing to
    // compare: the probe, then the range.
    HoleyFile whole = MakeHoleyFile(dir.file("orig2.bin"), dir.file("g.bin"), 1000, {{0, 999}}, 23);
    const std::string wholeOriginal = ReadWholeFile(whole.original);
    ScriptedServer plain;
    plain.addConnection(
        {Reply::Keep(ProbeAnswer(1000)), Reply::Keep(RangeAnswer(wholeOriginal, 0, 999))});
    Open({whole.Entry(plain.url("/g.bin"))});
    Resume();
    EXPECT_EQ(ReadWholeFile(whole.incomplete), wholeOriginal);
    ASSERT_EQ(plain.requests().size(), 2u);
    EXPECT_NE(plain.requests()[1].head.find("Range: bytes=0-999\r\n"), std::string::npos);
}

TEST_F(JobRunTest, BodiesThatAreNotExactlyTheRangeAreNotTaken) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 9);
    const std::string original = ReadWholeFile(file.original);
    const std::string shortAnswer = "HTTP/1.1 206 Partial Content\r\nContent-Length: 50\r\n"
                                    "Connection: keep-alive\r\n\r\n" +
                                    original.substr(100, 50);
    std::string shifted = RangeAnswer(original, 100, 200);
    shifted.replace(shifted.find("bytes 100-"), 10, "bytes 101-");
    for (const auto& answer : {shortAnswer, shifted}) {
        ScriptedServer server;
        server.addConnection({Reply::Keep(ProbeAnswer(1000)),
                              Reply::Keep(SampleAnswer(original, file.ranges)),
                              Reply::AnswerAndClose(answer)});
        TestEntry entry = file.Entry(server.url("/f.bin"));
        const std::string before = ListXml({entry});
        Open({entry});
        Resume();
        EXPECT_FALSE(LogHas("Segment #1 - [100-200] downloaded")) << answer.substr(0, 60);
        EXPECT_EQ(Log().back().icon, 3);
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        // A refused answer writes nothing, and is not tried again.
        const std::string now = ReadWholeFile(file.incomplete);
        EXPECT_EQ(now.substr(100, 101), std::string(100, '\0') + original[200]);
        EXPECT_EQ(server.requests().size(), 3u);
        form->close();
        form.reset();
    }
}

TEST_F(JobRunTest, CountZeroOpensAndCutsTheFileWithoutCompletion) {
    WriteWholeFile(dir.file("f.bin"), std::string(1000, 'q'));
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(1000))});
    TestEntry entry =
        MakeEntry(dir.file("f.bin"), "1000", "1000", "100%", "0", server.url("/f.bin"), {});
    Open({entry});
    Resume();
    EXPECT_EQ(Log().size(), 2u);
    EXPECT_EQ(ReadWholeFile(dir.file("f.bin")), std::string(1000, 'q'));
    EXPECT_EQ(form->ListView->rowCount(), 1);
}

TEST_F(JobRunTest, PauseDuringAFetchKeepsWhatArrivedAndTheNextResumeAsksForTheRest) {
    HoleyFile file =
        MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}, {4000, 5000}}, 11);
    const std::string original = ReadWholeFile(file.original);
    ScriptedServer server;
    const std::string range = RangeAnswer(original, 0, 1000);
    const size_t arrived = 300 - (range.find("\r\n\r\n") + 4); // body bytes of the first 300
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(SampleAnswer(original, file.ranges)),
                          Reply::Stall(range.substr(0, 300))});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    const std::string before = ListXml({entry});
    TMainForm& f = Open({entry});
    bool runningMenuChecked = false;
    // Paused once the server holds the GET: a fetch withdrawn before it was
    // sent would leave the stalled reply waiting for the next request.
    WhenReady(
        [&] {
            return server.requests().size() >= 3 &&
                   f.Worker()->RangeBytesWritten.load() == static_cast<int64_t>(arrived);
        },
        [&] {
            f.fm_List_PopupMenuPopup();
            runningMenuChecked = !f.Resume1->isEnabled() && f.Pause1->isEnabled() &&
                                 !f.Delete1->isEnabled() && !f.Edit1->isEnabled();
            // Nor does a double click edit the running download.
            QTimer::singleShot(0, &f, [&] {
                if (!f.Edit_Download_Form->isVisible()) return;
                runningMenuChecked = false;
                f.Edit_Download_Form->reject();
            });
            f.ListViewDblClick();
            f.Pause1->trigger();
        });
    Resume();
    EXPECT_TRUE(runningMenuChecked);
    EXPECT_EQ(Log().back(), (LogRow{2, "Downloading of file " + file.incomplete + " paused"}));
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), "Paused with 2 segments left.");
    EXPECT_FALSE(LogHas("Segment #1"));
    // What arrived is on disk and recorded: the range now begins after it.
    EXPECT_EQ(ReadWholeFile(file.incomplete).substr(0, arrived), original.substr(0, arrived));
    const std::string begin = std::to_string(arrived);
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    const ListEntry e = onDisk.FindEntry(0);
    EXPECT_EQ(e.FirstRange(), (RangeTexts{begin, "1000"}));
    EXPECT_EQ(e.AttributeText("Downloaded"), std::to_string(3000 + arrived));
    EXPECT_EQ(e.AttributeText("Remains"), std::to_string(2000 - arrived));
    EXPECT_EQ(e.AttributeText("Segments"), "2");
    EXPECT_EQ(Cell(0, 2), std::to_string(3000 + arrived));
    EXPECT_NE(ReadWholeFile(listPath()), before);

    const int64_t at = static_cast<int64_t>(arrived);
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(SampleAnswer(original, {{at, 1000}, {4000, 5000}})),
                          Reply::Keep(RangeAnswer(original, at, 1000)),
                          Reply::Keep(RangeAnswer(original, 4000, 5000))});
    prompts.shown.clear();
    const int logged = f.LogView->rowCount();
    Resume();
    EXPECT_EQ(Log()[logged + 2], (LogRow{1, "Requesting segment #1 - [" + begin + "-1000]"}));
    EXPECT_EQ(Log().back(), (LogRow{2, "File " + file.incomplete + " downloaded successfully."}));
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    EXPECT_EQ(f.ListView->rowCount(), 0);
    EXPECT_TRUE(prompts.shown.empty());
}

TEST_F(JobRunTest, PauseDuringAProbeThatIsAnsweredStopsBeforeTheFirstRange) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 13);
    WriteWholeFile(file.incomplete, std::string(5000, 'x'));
    ScriptedServer server;
    const std::string probe = ProbeAnswer(5000);
    server.addConnection(
        {Reply::Slowly(probe, probe.size(), std::chrono::milliseconds(300), Reply::Then::Keep)});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    const std::string before = ListXml({entry});
    TMainForm& f = Open({entry});
    WhenReady([&] { return LogHas("Checking URL"); }, [&] { f.Pause1->trigger(); });
    Resume();
    const std::vector<LogRow> expected = {
        {2, "Checking URL: " + entry.url},
        {2, "Resuming feature supported by server. Segment requesting started..."},
        {2, "Downloading of file " + file.incomplete + " paused"}};
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(ReadWholeFile(file.incomplete), std::string(5000, 'x'));
    EXPECT_EQ(ReadWholeFile(listPath()), before);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(f.Commands().Idle());
}

TEST_F(JobRunTest, ExitDuringAStalledFetchEndsTheRunAndClosesPromptly) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 12);
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(SampleAnswer(ReadWholeFile(file.original), file.ranges)),
                          Reply::Stall()});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    const std::string before = ListXml({entry});
    Open({entry});
    ExitAndExpectClosed([&] { return server.requests().size() >= 3; }, before,
                        std::chrono::seconds(3));
}

// ---------------------------------------------------------------- retries

std::string Busy(const std::string& retryAfter) {
    return "HTTP/1.1 503 Service Unavailable\r\nRetry-After: " + retryAfter +
           "\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n";
}

// An HTTP date `seconds` from now.
std::string DateIn(int seconds) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t at = std::time(nullptr) + seconds;
    std::tm t{};
    gmtime_r(&at, &t);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT", kDays[t.tm_wday],
                  t.tm_mday, kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string Retrying(const std::string& what, int seconds, int tryNumber) {
    return what + " Retrying in " + std::to_string(seconds) + " s (try " +
           std::to_string(tryNumber) + " of 8)";
}

TEST_F(JobRunTest, AReFollowedRedirectWaitsForABusyServerAndPauseCountsWhatIsLeft) {
    HoleyFile file =
        MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}, {500, 600}}, 26);
    const std::string original = ReadWholeFile(file.original);
    ScriptedServer home, expired;
    home.addConnection({Reply::Keep(Redirect302(expired.url("/signed")))});
    home.addConnection({Reply::Keep(Busy("3600"))});
    expired.addConnection(
        {Reply::Keep(ProbeAnswer(1000)), Reply::Keep(SampleAnswer(original, file.ranges)),
         Reply::Keep(RangeAnswer(original, 100, 200)),
         Reply::Keep("HTTP/1.1 410 Gone\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n")});
    TMainForm& f = Open({file.Entry(home.url("/f.bin"))});
    WhenReady([&] { return f.RunStatusLabel->text().startsWith("Retrying the check in"); },
              [&] { f.Pause1->trigger(); });
    Resume();
    const std::vector<LogRow> log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              (LogRow{2, Retrying("The server answered \"HTTP/1.1 503 Service Unavailable\" to "
                                  "the check.",
                                  600, 1)}));
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), "Paused with 1 segment left.");
}

TEST_F(JobRunTest, ABusyServerAndADroppedSampleAreWaitedForNotTakenForAChangedFile) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 31);
    const std::string original = ReadWholeFile(file.original);
    const std::string sample = SampleAnswer(original, file.ranges);
    ScriptedServer server;
    server.addConnection({Reply::Keep(Busy("1")), Reply::Keep(ProbeAnswer(1000)),
                          Reply::AnswerAndClose(sample.substr(0, sample.size() - 30))});
    server.addConnection({Reply::Keep(Busy("3")), Reply::Keep(sample),
                          Reply::Keep(Busy(DateIn(30))),
                          Reply::Keep(RangeAnswer(original, 100, 200))});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    Open({entry});
    Resume();
    const std::vector<LogRow> log = Log();
    ASSERT_EQ(log.size(), 11u);
    EXPECT_EQ(log[1],
              (LogRow{2, Retrying("The server answered \"HTTP/1.1 503 Service Unavailable\" "
                                  "to the check.",
                                  1, 1)}));
    EXPECT_EQ(log[2], (LogRow{2, "Checking URL: " + entry.url}));
    EXPECT_EQ(log[4], (LogRow{2, Retrying("Connection lost after 70 bytes of the same-file sample.",
                                          1, 1)}));
    EXPECT_EQ(log[5],
              (LogRow{2, Retrying("The same-file sample: the server answered \"HTTP/1.1 503 "
                                  "Service Unavailable\".",
                                  3, 2)}));
    EXPECT_EQ(log[6], (LogRow{1, "Requesting segment #1 - [100-200]"}));
    // A date asks for the time until it, a second lost to the clock.
    EXPECT_TRUE(log[7] == (LogRow{2, Retrying("Segment #1: the server answered \"HTTP/1.1 503 "
                                              "Service Unavailable\".",
                                              30, 1)}) ||
                log[7] == (LogRow{2, Retrying("Segment #1: the server answered \"HTTP/1.1 503 "
                                              "Service Unavailable\".",
                                              29, 1)}))
        << log[7].message;
    EXPECT_EQ(log[8], (LogRow{1, "Requesting segment #1 - [100-200]"}));
    EXPECT_EQ(log[10], (LogRow{2, "File " + file.incomplete + " downloaded successfully."}));
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
}

TEST_F(JobRunTest, DropsAndAStallCostOnlyWhatWasInFlight) {
    const int64_t size = 300000;
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), size, {{0, size}}, 32);
    const std::string original = ReadWholeFile(file.original);
    const std::string first = RangeAnswer(original, 0, size);
    const size_t head = first.find("\r\n\r\n") + 4;
    ScriptedServer server;
    // 100000 bytes, a drop; 50000 more, a stall; then the rest.
    server.addConnection(
        {Reply::Keep(ProbeAnswer(size)), Reply::AnswerAndClose(first.substr(0, head + 100000))});
    const std::string second = RangeAnswer(original, 100000, size);
    server.addConnection({Reply::Stall(second.substr(0, second.find("\r\n\r\n") + 4 + 50000))});
    server.addConnection({Reply::Keep(RangeAnswer(original, 150000, size))});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    TMainForm& f = Open({entry});
    RunTimings timings = FastTimings();
    timings.stallLimit = std::chrono::milliseconds(1500);
    timings.stallNotice = std::chrono::milliseconds(500);
    f.Commands().SetRunTimings(timings);
    bool stallShown = false;
    auto* timer = new QTimer(&f);
    QObject::connect(timer, &QTimer::timeout, [&] {
        stallShown =
            stallShown || f.RunStatusLabel->text().contains(QStringLiteral(", no data for 1 s"));
    });
    timer->start(50);
    Resume();
    EXPECT_TRUE(stallShown);
    EXPECT_EQ(Log(), (std::vector<LogRow>{
                         {2, "Checking URL: " + entry.url},
                         {2, "Resuming feature supported by server. Segment requesting started..."},
                         {1, "Requesting segment #1 - [0-300000]"},
                         {2, Retrying("Connection lost after 97.7 KiB of segment #1.", 1, 1)},
                         {1, "Requesting segment #1 - [100000-300000]"},
                         {2, Retrying("No data for 2 s on segment #1.", 1, 1)},
                         {1, "Requesting segment #1 - [150000-300000]"},
                         {0, "Segment #1 - [150000-300000] downloaded"},
                         {2, "File " + file.incomplete + " downloaded successfully."}}));
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    // Each try asked for exactly the bytes not yet on disk.
    ASSERT_EQ(server.requests().size(), 4u);
    EXPECT_NE(server.requests()[3].head.find("Range: bytes=150000-300000\r\n"), std::string::npos);
}

TEST_F(JobRunTest, ADeadServerCostsOneRangesTriesAndPauseEndsAWaitAtOnce) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{0, 999}}, 33);
    {
        // After the probe nothing answers: every try meets a closed connection.
        ScriptedServer server;
        server.addConnection({Reply::AnswerAndClose(ProbeAnswer(1000))});
        Open({file.Entry(server.url("/f.bin"))});
        Resume();
        const std::vector<LogRow> log = Log();
        ASSERT_EQ(log.size(), 2u + 8 * 2 + 2);
        EXPECT_EQ(log[17],
                  (LogRow{2, Retrying("Segment #1: Connection Closed Gracefully.", 60, 8)}));
        EXPECT_EQ(log.back(), (LogRow{3, "Gave up after 8 tries in a row. Segment #1: Connection "
                                         "Closed Gracefully."}));
        EXPECT_EQ(Cell(0, 5), "1");
        EXPECT_TRUE(form->Commands().Idle());
        form->close();
        form.reset();
    }
    // A Retry-After of an hour waits ten minutes at most (six seconds at
    // this scale); Pause ends the wait at once.
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(1000)), Reply::Keep(Busy("3600"))});
    TMainForm& f = Open({file.Entry(server.url("/f.bin"))});
    Clock::time_point pausedAt;
    WhenReady([&] { return f.RunStatusLabel->text().startsWith("Retrying segment #1 in"); },
              [&] {
                  pausedAt = Clock::now();
                  f.Pause1->trigger();
              });
    Resume();
    // Well before the six seconds it would wait.
    EXPECT_LT(Clock::now() - pausedAt, std::chrono::seconds(3));
    EXPECT_EQ(Log()[3],
              (LogRow{2, Retrying("Segment #1: the server answered \"HTTP/1.1 503 Service "
                                  "Unavailable\".",
                                  600, 1)}));
    EXPECT_EQ(Log().back(), (LogRow{2, "Downloading of file " + file.incomplete + " paused"}));
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), "Paused with 1 segment left.");
}

// A download of 20000 bytes, all missing, whose one range trickles in from
// `server`: 1000 bytes every 50 ms, a second in all.
HoleyFile JobRunTest::OpenTrickledRange(ScriptedServer& server) {
    HoleyFile file =
        MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 20000, {{0, 20000}}, 13);
    server.addConnection({Reply::Keep(ProbeAnswer(20000)),
                          Reply::Slowly(RangeAnswer(ReadWholeFile(file.original), 0, 20000), 1000,
                                        std::chrono::milliseconds(50))});
    Open({file.Entry(server.url("/f.bin"))});
    return file;
}

TEST_F(JobRunTest, StatusBarShowsTheRangeInHandWhileItArrives) {
    ScriptedServer server;
    const HoleyFile file = OpenTrickledRange(server);
    const std::string original = ReadWholeFile(file.original);
    TMainForm& f = *form;
    std::vector<std::pair<std::string, int>> seen; // label and bar while the range arrives
    auto* timer = new QTimer(&f);
    QObject::connect(timer, &QTimer::timeout, [&] {
        if (!f.RunProgressBar->isVisible()) return;
        // What a screen reader reads is the line the label shows.
        QAccessibleInterface* label = QAccessible::queryAccessibleInterface(f.RunStatusLabel);
        const std::string name = label ? label->text(QAccessible::Name).toStdString() : "";
        EXPECT_EQ(name, f.RunStatusLabel->text().toStdString());
        seen.emplace_back(name, f.RunProgressBar->value());
    });
    timer->start(100);
    Resume();
    timer->stop();
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    ASSERT_GE(seen.size(), 3u);
    const std::string prefix = "Segment #1 - [0-20000]: ";
    bool partway = false;
    for (const auto& [label, bar] : seen) {
        EXPECT_EQ(label.rfind(prefix, 0), 0u) << label;
        EXPECT_NE(label.find(" of 19.5 KiB ("), std::string::npos) << label;
        partway = partway || (bar > 0 && bar < 10000 && label.find("/s, ") != std::string::npos &&
                              label.find(" left") != std::string::npos);
    }
    EXPECT_TRUE(partway) << "no update showed the range partway, with its speed";
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(),
              "The file " + file.incomplete + " is complete.");
    EXPECT_TRUE(f.RunProgressBar->isHidden());
    // The rows change only when a range is taken, and the log keeps its rows.
    EXPECT_EQ(Log(), ExpectedCompleteRun(server.url("/f.bin"), file));
}

// What arrives is recorded while a dialog holds the window, so that a kill
// then loses no more than at any other moment of the run.
TEST_F(JobRunTest, ArrivedBytesAreRecordedWhileADialogIsOpen) {
    ScriptedServer server;
    const HoleyFile file = OpenTrickledRange(server);
    TMainForm& f = *form;
    RunTimings timings = FastTimings();
    timings.recordEveryBytes = 4000;
    f.Commands().SetRunTimings(timings);
    bool recordedMeanwhile = false;
    WhenReady([&] { return f.RunProgressBar->isVisible(); },
              [&] {
                  QDialog dialog(&f);
                  const std::string before = ReadWholeFile(listPath());
                  QTimer poll;
                  QObject::connect(&poll, &QTimer::timeout, [&] {
                      recordedMeanwhile = ReadWholeFile(listPath()) != before;
                      if (recordedMeanwhile) dialog.accept();
                  });
                  poll.start(10);
                  QTimer::singleShot(5000, &dialog, &QDialog::reject);
                  dialog.exec();
              });
    Resume();
    EXPECT_TRUE(recordedMeanwhile);
    EXPECT_EQ(ReadWholeFile(file.incomplete), ReadWholeFile(file.original));
}

TEST_F(JobRunTest, PauseDuringTheLastRangeSaysTheRunWasPaused) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 15);
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(SampleAnswer(ReadWholeFile(file.original), file.ranges)),
                          Reply::Stall()});
    TMainForm& f = Open({file.Entry(server.url("/f.bin"))});
    WhenReady([&] { return server.requests().size() >= 3; }, [&] { f.Pause1->trigger(); });
    Resume();
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), "Paused with 1 segment left.");
    EXPECT_EQ(Log().back(), (LogRow{2, "Downloading of file " + file.incomplete + " paused"}));
    EXPECT_EQ(ReadWholeFile(file.incomplete).size(), 5000u);
}

TEST_F(JobRunTest, ExitWhileTheRunWaitsForABusyWorkerEndsItBeforeItStarts) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 14);
    ScriptedServer server;
    server.addConnection({Reply::Stall()}); // an earlier request still on its way
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(RangeAnswer(ReadWholeFile(file.original), 0, 1000))});
    TestEntry entry = file.Entry(server.url("/f.bin"));
    const std::string before = ListXml({entry});
    TMainForm& f = Open({entry});
    f.Worker()->URL = server.url("/other");
    f.Worker()->RequestProbe();
    ASSERT_TRUE(server.waitForRequests(1));
    WhenReady([&] { return f.Commands().RunActive(); }, [&] { f.Exit1->trigger(); });
    Resume();
    QApplication::processEvents(); // the close that waited for the run
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(Log().empty()) << "the run went on after Exit";
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(ReadWholeFile(listPath()), before);
}

TEST_F(JobRunTest, ExitDuringAStalledNameLookupClosesTheWindowPromptly) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 16);
    TestEntry entry = file.Entry("http://stalled.example/f.bin");
    const std::string before = ListXml({entry});
    TMainForm& f = Open({entry});
    StalledResolver stalled; // a name server that never answers
    f.Worker()->Client.SetResolver(stalled.Function());
    ExitAndExpectClosed([&] { return stalled.Asked(); }, before, std::chrono::seconds(5));
}

TEST_F(JobRunTest, FileFailuresAreShownCountNothingAndReturnToIdle) {
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(1000)),
                          Reply::Keep(SampleAnswer(std::string(1000, '\0'), {{0, 100}})),
                          Reply::Keep(RangeAnswer(std::string(1000, 'a'), 0, 100))});
    for (int probe = 0; probe < 4; ++probe)
        server.addConnection({Reply::Keep(ProbeAnswer(1000))});
    auto changedOutside = [](const std::string& name, const char* length) {
        return "The incomplete file \"" + name + "\" is " + length +
               " bytes long, but the download list says 1000: it was changed outside Quilvane. "
               "Nothing was written.";
    };
    struct Case {
        std::string fileName, message;
        bool diskFull;
    } cases[] = {
        {dir.file("full.bin"),
         "The incomplete file \"" + dir.file("full.bin") + "\" cannot be written: File too large",
         true},
        {dir.file("missing.bin"),
         "The incomplete file \"" + dir.file("missing.bin") +
             "\" cannot be opened for writing: No such file or directory",
         false},
        {dir.file("link.bin"),
         "The incomplete file \"" + dir.file("link.bin") +
             "\" cannot be opened for writing: it is a symbolic link",
         false},
        // Cut short or grown by another program since the last run: neither
        // filled up with zeros nor cut, and nothing fetched into it.
        {dir.file("short.bin"), changedOutside(dir.file("short.bin"), "500"), false},
        {dir.file("long.bin"), changedOutside(dir.file("long.bin"), "1010"), false},
    };
    WriteWholeFile(dir.file("short.bin"), std::string(500, 's'));
    WriteWholeFile(dir.file("long.bin"), std::string(1010, 'l'));
    WriteWholeFile(dir.file("full.bin"), std::string(1000, '\0'));
    const std::string target = dir.file("target.bin");
    WriteWholeFile(target, std::string(3000, 't'));
    ASSERT_EQ(symlink(target.c_str(), dir.file("link.bin").c_str()), 0);
    for (const Case& c : cases) {
        TestEntry entry =
            MakeEntry(c.fileName, "1000", "900", "90%", "100", server.url("/f.bin"), {{0, 100}});
        const std::string before = ListXml({entry});
        Open({entry});
        prompts.shown.clear();
        // A file-size limit stands in for a full disk: writes past 50 bytes fail.
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        if (c.diskFull) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit = saved;
            limit.rlim_cur = 50;
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        Resume();
        setrlimit(RLIMIT_FSIZE, &saved);
        ASSERT_FALSE(prompts.Errors().empty()) << c.fileName;
        EXPECT_EQ(prompts.Errors()[0], c.message);
        EXPECT_EQ(form->RunStatusLabel->text().toStdString(), c.message);
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        EXPECT_EQ(Cell(0, 2), "900");
        EXPECT_FALSE(LogHas("Segment #1"));
        EXPECT_TRUE(form->Commands().Idle());
        EXPECT_TRUE(form->Resume1->isEnabled());
        form->close();
        form.reset();
    }
    EXPECT_EQ(ReadWholeFile(target), std::string(3000, 't')) << "written through the link";
    EXPECT_EQ(ReadWholeFile(dir.file("short.bin")), std::string(500, 's'));
    EXPECT_EQ(ReadWholeFile(dir.file("long.bin")), std::string(1010, 'l'));
    EXPECT_EQ(server.requests().size(), 7u) << "a range was requested for a changed file";
}

TEST_F(JobRunTest, EveryWritebackErrorFailsTheRangeButAFileSystemWithoutItGoesOn) {
    // A body without a length goes through the buffer, one with a length
    // straight from the connection through a pipe; either way its writeback
    // is started and waited for while it arrives.
    const int64_t size = 20 << 20;
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), size, {{0, size}}, 17);
    const std::string range = RangeAnswer(ReadWholeFile(file.original), 0, size);
    std::string untilClose = range;
    const size_t lengthHeader = untilClose.find("Content-Length:");
    untilClose.erase(lengthHeader, untilClose.find("\r\n", lengthHeader) + 2 - lengthHeader);
    const struct Case {
        FailingFileCalls::Step step;
        int error;
        std::string message; // empty: the range is taken
        const std::string& answer;
    } cases[] = {
        {FailingFileCalls::Writeback, EIO, "Input/output error", untilClose},
        // A waiting call reports what the disk did with bytes written
        // earlier, whatever its number: the flush would not see it again.
        {FailingFileCalls::WritebackWait, EINVAL, "Invalid argument", untilClose},
        // A first start call that says the file system has no writeback.
        {FailingFileCalls::Writeback, EINVAL, "", untilClose},
        {FailingFileCalls::Writeback, EIO, "Input/output error", range},
        {FailingFileCalls::WritebackWait, EINVAL, "Invalid argument", range},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message + (&c.answer == &range ? " (through a pipe)" : ""));
        WriteWholeFile(file.incomplete, std::string(size, '\0'));
        ScriptedServer server;
        server.addConnection({Reply::Keep(ProbeAnswer(size)), Reply::AnswerAndClose(c.answer)});
        TestEntry entry = file.Entry(server.url("/f.bin"));
        const std::string before = ListXml({entry});
        Open({entry});
        prompts.shown.clear();
        {
            FailingFileCalls failing(c.step, c.error);
            Resume();
        }
        if (c.message.empty()) {
            EXPECT_TRUE(prompts.Errors().empty());
            EXPECT_EQ(form->ListView->rowCount(), 0);
        } else {
            ASSERT_EQ(prompts.Errors().size(), 1u);
            EXPECT_EQ(prompts.Errors()[0], "The incomplete file \"" + file.incomplete +
                                               "\" cannot be written: " + c.message);
            EXPECT_FALSE(LogHas("Segment #1"));
            EXPECT_EQ(ReadWholeFile(listPath()), before);
            EXPECT_EQ(Cell(0, 5), "1");
        }
        EXPECT_TRUE(form->Commands().Idle());
        form->close();
        form.reset();
    }
}

TEST_F(JobRunTest, CountersThatDoNotConvertEndTheRunBeforeARangeIsRequested) {
    struct Case {
        std::string downloaded, remains, error;
    } cases[] = {
        {"9x00", "100", "'9x00' is not a valid integer value"},
        {"900", "1OO", "'1OO' is not a valid integer value"},
        // Adding the range would pass the largest counter.
        {"9223372036854775800", "100", "'9223372036854775800' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.downloaded + " " + c.remains);
        WriteWholeFile(dir.file("f.bin"), std::string(1000, 'z'));
        ScriptedServer server;
        server.addConnection({Reply::Keep(ProbeAnswer(1000)), Reply::Stall()});
        TestEntry entry = MakeEntry(dir.file("f.bin"), "1000", c.downloaded, "90%", c.remains,
                                    server.url("/f.bin"), {{0, 100}});
        const std::string before = ListXml({entry});
        prompts.shown.clear();
        Open({entry});
        Resume();
        ASSERT_EQ(prompts.Errors().size(), 1u);
        EXPECT_EQ(prompts.Errors()[0], c.error);
        EXPECT_FALSE(LogHas("Requesting segment"));
        // The worker never took the file: no request reached the server, and
        // the file is as it was when the run ended and stays so.
        EXPECT_EQ(server.requests().size(), 1u);
        QTest::qWait(100);
        EXPECT_EQ(ReadWholeFile(dir.file("f.bin")), std::string(1000, 'z'));
        EXPECT_EQ(ReadWholeFile(listPath()), before);
        EXPECT_FALSE(form->Worker()->Busy());
        EXPECT_FALSE(form->Worker()->FetchPending.load());
        form->close();
        form.reset();
    }
}

TEST_F(JobRunTest, ConversionErrorIsShownAndPauseReturnsToIdle) {
    TestEntry entry = SimpleEntry(1);
    std::string xml = ListXml({entry});
    xml.replace(xml.find("Segments=\"2\""), 12, "Segments=\"2x\"");
    WriteWholeFile(listPath(), xml);
    form = std::make_unique<TMainForm>(listPath(), prompts);
    form->show();
    QApplication::processEvents();
    Resume();
    ASSERT_EQ(prompts.Errors().size(), 1u);
    EXPECT_EQ(prompts.Errors()[0], "'2x' is not a valid integer value");
    EXPECT_TRUE(Log().empty()); // nothing was sent
    EXPECT_FALSE(form->Commands().Idle());
    form->fm_List_PopupMenuPopup();
    EXPECT_FALSE(form->Resume1->isEnabled());
    EXPECT_TRUE(form->Pause1->isEnabled());
    form->Pause1->trigger();
    form->fm_List_PopupMenuPopup();
    EXPECT_TRUE(form->Resume1->isEnabled());
    EXPECT_TRUE(form->Delete1->isEnabled());
}

TEST_F(JobRunTest, ResumeAllGoesOnPastEveryFailureAndOpensNoBox) {
    // Refuses ranges, a count that does not convert, finishes, a file of the
    // wrong length, finishes.
    ScriptedServer refusing, wrongLength, finishing[2];
    refusing.addConnection({Reply::Keep("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")});
    wrongLength.addConnection({Reply::Keep(ProbeAnswer(1000))});
    WriteWholeFile(dir.file("c.bin"), std::string(500, 'c'));
    std::vector<HoleyFile> done;
    for (int k : {0, 1}) {
        const std::string name = dir.file("done" + std::to_string(k));
        done.push_back(MakeHoleyFile(name + ".orig", name, 1000, {{100, 200}}, 31 + k));
        const std::string original = ReadWholeFile(done[k].original);
        finishing[k].addConnection({Reply::Keep(ProbeAnswer(1000)),
                                    Reply::Keep(SampleAnswer(original, done[k].ranges)),
                                    Reply::Keep(RangeAnswer(original, 100, 200))});
    }
    auto entry = [&](const char* name, const ScriptedServer& server,
                     std::vector<std::pair<long long, long long>> ranges) {
        return MakeEntry(dir.file(name), "1000", "900", "90%", "100", server.url("/f"), ranges);
    };
    const TestEntry a = entry("a.bin", refusing, {{0, 100}});
    const TestEntry b = entry("b.bin", refusing, {{0, 50}, {60, 110}});
    const TestEntry c = entry("c.bin", wrongLength, {{0, 100}});
    std::string xml = ListXml(
        {a, b, done[0].Entry(finishing[0].url("/d")), c, done[1].Entry(finishing[1].url("/e"))});
    xml.replace(xml.find("Segments=\"2\""), 12, "Segments=\"2x\"");
    WriteWholeFile(listPath(), xml);
    form = std::make_unique<TMainForm>(listPath(), prompts);
    TMainForm& f = *form;
    f.show();
    QApplication::processEvents();
    f.Jobs1Click();
    ASSERT_TRUE(f.ResumeAll1->isEnabled());
    f.ResumeAll1->trigger();

    const std::string all = "Resume all: download ";
    std::vector<LogRow> expected = {
        {2, all + "1 of 5, " + a.fileName},
        {2, "Checking URL: " + a.url},
        {3, "Resuming feature is unsupported by server. Segment downloading is impossible."},
        {2, all + "2 of 5, " + b.fileName},
        {3, "'2x' is not a valid integer value."},
        {2, all + "3 of 5, " + done[0].incomplete}};
    for (const LogRow& row : ExpectedCompleteRun(finishing[0].url("/d"), done[0]))
        expected.push_back(row);
    const std::string changed = "The incomplete file \"" + c.fileName +
                                "\" is 500 bytes long, but the download list says 1000: it was "
                                "changed outside Quilvane. Nothing was written.";
    expected.insert(expected.end(),
                    {{2, all + "4 of 5, " + c.fileName},
                     {2, "Checking URL: " + c.url},
                     {2, "Resuming feature supported by server. Segment requesting started..."},
                     {3, changed},
                     {2, all + "5 of 5, " + done[1].incomplete}});
    for (const LogRow& row : ExpectedCompleteRun(finishing[1].url("/e"), done[1]))
        expected.push_back(row);
    expected.push_back({2, "Resume all: 2 finished, 3 not finished."});
    EXPECT_EQ(Log(), expected);
    EXPECT_TRUE(prompts.shown.empty()) << prompts.shown[0].message;
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    ASSERT_EQ(f.ListView->rowCount(), 3);
    ASSERT_EQ(onDisk.EntryCount(), 3);
    for (const auto& [row, left] : {std::pair{0, a}, {1, b}, {2, c}}) {
        EXPECT_EQ(Cell(row, 0), left.fileName);
        EXPECT_EQ(onDisk.FindEntry(row).AttributeText("FileName"), left.fileName);
    }
    // Idle again, the conversion error notwithstanding.
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), expected.back().message);
    EXPECT_TRUE(f.Commands().Idle());
    f.Jobs1Click();
    EXPECT_TRUE(f.ResumeAll1->isEnabled());
}

TEST_F(JobRunTest, PauseDuringResumeAllStartsNoFurtherDownload) {
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 5000, {{0, 1000}}, 33);
    ScriptedServer server, second;
    server.addConnection({Reply::Keep(ProbeAnswer(5000)),
                          Reply::Keep(SampleAnswer(ReadWholeFile(file.original), file.ranges)),
                          Reply::Stall()});
    TestEntry other = SimpleEntry(2);
    other.url = second.url("/file2.bin");
    TMainForm& f = Open({file.Entry(server.url("/f.bin")), other});
    bool runningChecked = false;
    WhenReady([&] { return server.requests().size() >= 3; },
              [&] {
                  f.Jobs1Click();
                  f.fm_List_PopupMenuPopup();
                  runningChecked = f.ListView->item(0, 0)->isSelected() &&
                                   !f.ResumeAll1->isEnabled() && !f.Resume1->isEnabled() &&
                                   f.Pause1->isEnabled() && !f.Delete1->isEnabled();
                  f.Pause1->trigger();
              });
    f.Jobs1Click();
    f.ResumeAll1->trigger();
    EXPECT_TRUE(runningChecked);
    EXPECT_EQ(Log().back(), (LogRow{2, "Resume all paused: 0 finished, 2 not finished."}));
    EXPECT_EQ(f.RunStatusLabel->text().toStdString(), Log().back().message);
    EXPECT_EQ(second.connectionCount(), 0);
    EXPECT_EQ(f.ListView->rowCount(), 2);
    EXPECT_TRUE(f.Commands().Idle());
}

TEST_F(JobRunTest, ResumeAllSendsNoDownloadThePasswordOfAnotherOnTheSameServer) {
    ScriptedServer server;
    std::vector<HoleyFile> files;
    std::vector<Reply> replies = {
        Reply::Keep("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n"
                    "Content-Length: 0\r\nConnection: keep-alive\r\n\r\n")};
    for (int k : {0, 1}) {
        const std::string name = dir.file("f" + std::to_string(k));
        files.push_back(MakeHoleyFile(name + ".orig", name, 1000, {{100, 200}}, 41 + k));
        const std::string original = ReadWholeFile(files[k].original);
        replies.insert(replies.end(), {Reply::Keep(ProbeAnswer(1000)),
                                       Reply::Keep(SampleAnswer(original, files[k].ranges)),
                                       Reply::Keep(RangeAnswer(original, 100, 200))});
    }
    server.addConnection(replies);
    TestEntry first = files[0].Entry(server.url("/a")), second = files[1].Entry(server.url("/b"));
    first.authName = "joe";
    first.authPass = "secret";
    TMainForm& f = Open({first, second});
    f.Jobs1Click();
    f.ResumeAll1->trigger();

    EXPECT_EQ(Log().back(), (LogRow{2, "Resume all: 2 finished, 0 not finished."}));
    ASSERT_TRUE(server.waitForRequests(7));
    const auto requests = server.requests();
    EXPECT_EQ(HeaderIn(requests[1].head, "Authorization"), "Basic am9lOnNlY3JldA==");
    for (std::size_t k = 4; k < requests.size(); ++k)
        EXPECT_EQ(HeaderIn(requests[k].head, "Authorization"), "")
            << "the first download's password went out for the second";
}

constexpr int64_t kMiB = 1024 * 1024;

std::vector<std::pair<int64_t, int64_t>> StoredQueue(const ListEntry& entry) {
    std::vector<std::pair<int64_t, int64_t>> queue;
    for (const auto& [begin, end] : entry.Queue())
        queue.emplace_back(std::stoll(begin), std::stoll(end));
    return queue;
}

TEST_F(JobRunTest, AServerThatCapsEachConnectionIsFetchedOverSeveralAndTheFileComesWhole) {
    TempDir served;
    const int64_t size = 10 * kMiB + 4321;
    HoleyFile file = MakeHoleyFile(served.file("big.bin"), dir.file("big.bin"), size,
                                   {{1000, 3 * kMiB}, {3 * kMiB + 100, size - 1000}}, 5);
    NginxServer nginx(served.path(), NginxServer::WithLimits("limit_rate 2m;"));
    Open({file.Entry(nginx.url("/big.bin"))}, SeveralConnections());

    Resume();

    ExpectWholeWithoutErrors(file);
    EXPECT_TRUE(LogHas("Opening a second connection: the download runs at ")) << Log().size();
    EXPECT_GE(nginx.connectionCount(), 2);
}

TEST_F(JobRunTest, AServerThatAllowsTwoConnectionsSettlesTheRunAtTwoWithoutAnError) {
    TempDir served;
    const int64_t size = 20 * kMiB;
    HoleyFile file =
        MakeHoleyFile(served.file("big.bin"), dir.file("big.bin"), size, {{0, size}}, 6);
    NginxServer nginx(served.path(),
                      NginxServer::WithLimits("limit_rate 2m; limit_conn peraddress 2;"));
    // A third is tried while more than half a second's bytes remain, however
    // slowly a loaded machine measures the rate.
    RunTimings timings = SeveralConnections();
    timings.connections.worthOpening = std::chrono::milliseconds(500);
    Open({file.Entry(nginx.url("/big.bin"))}, timings);

    Resume();

    ExpectWholeWithoutErrors(file);
    // nginx's own words for its 503.
    EXPECT_TRUE(LogHas("The server refused a third connection (HTTP/1.1 503 Service Temporarily "
                       "Unavailable): going on with 2."));
}

TEST_F(JobRunTest, PauseWithSeveralConnectionsKeepsWhatEachBroughtAndResumeFinishes) {
    TempDir served;
    const int64_t size = 12 * kMiB;
    HoleyFile file = MakeHoleyFile(served.file("big.bin"), dir.file("big.bin"), size,
                                   {{100, 5 * kMiB}, {5 * kMiB, size - 100}}, 7);
    NginxServer nginx(served.path(), NginxServer::WithLimits("limit_rate 1m;"));
    TMainForm& f = Open({file.Entry(nginx.url("/big.bin"))}, SeveralConnections());
    // Paused once the second connection has fetched for a while.
    WhenReady([&] { return LogHas("Requesting segment #2"); },
              [&] { QTimer::singleShot(1500, &f, [&f] { f.Pause1->trigger(); }); });
    Resume();

    ASSERT_EQ(f.ListView->rowCount(), 1);
    EXPECT_TRUE(LogHas("Downloading of file " + file.incomplete + " paused"));
    {
        ListDocument onDisk(listPath());
        onDisk.OpenList();
        const ListEntry entry = onDisk.FindEntry(0);
        const auto queue = StoredQueue(entry);
        const int64_t downloaded = std::stoll(entry.AttributeText("Downloaded"));
        // Each connection's bytes are recorded, not only the first's: no
        // hole is still queued from its first byte.
        for (const auto& [begin, end] : file.ranges)
            for (const auto& range : queue)
                EXPECT_NE(range.first, begin)
                    << "nothing of [" << begin << ", " << end << "] was recorded";
        EXPECT_EQ(QueueViolations(file, ReadWholeFile(file.original),
                                  ReadWholeFile(file.incomplete), queue, downloaded),
                  "");
        EXPECT_EQ(entry.AttributeText("Segments"), std::to_string(queue.size()));
        EXPECT_EQ(Cell(0, SegmentsColumn), std::to_string(queue.size()));
    }

    Resume();
    EXPECT_TRUE(ReadWholeFile(file.incomplete) == ReadWholeFile(file.original));
    EXPECT_EQ(f.ListView->rowCount(), 0);
}

// An added connection that gets the whole file for its range writes none of
// it: the run goes on with the connection it had, which fetches the rest.
TEST_F(JobRunTest, AnAddedConnectionAnsweredWithTheWholeFileWritesNothingOfIt) {
    const int64_t size = 320 * 1024;
    HoleyFile file = MakeHoleyFile(dir.file("f.orig"), dir.file("f.bin"), size,
                                   {{0, 256 * 1024}, {290000, 300000}}, 8);
    const std::string original = ReadWholeFile(file.original);
    ScriptedServer server;
    server.addConnection(
        {Reply::Keep(ProbeAnswer(size)), Reply::Keep(SampleAnswer(original, file.ranges)),
         Reply::Slowly(RangeAnswer(original, 0, 256 * 1024), 4096, std::chrono::milliseconds(40),
                       ScriptedServer::Reply::Then::Keep),
         Reply::Keep(RangeAnswer(original, 290000, 300000))});
    server.addConnection(
        {Reply::Keep("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                     std::string(static_cast<std::size_t>(size), 'Z'))});
    RunTimings timings = SeveralConnections();
    timings.connections.worthOpening = std::chrono::milliseconds(200);
    // Longer than the loop's quarter-second look at the connections.
    timings.connections.judgeWindow = std::chrono::milliseconds(600);
    Open({file.Entry(server.url("/f.bin"))}, timings);

    Resume();

    ExpectWholeWithoutErrors(file);
    EXPECT_TRUE(LogHas("The server did not send a second connection the range it asked for "
                       "(HTTP/1.1 200 OK): nothing of it was written; going on with 1."));
}

// A speed limit holds over the run (never faster than it allows) and the
// status line says so.
TEST_F(JobRunTest, ASpeedLimitHoldsOverTheRunAndTheStatusLineSaysSo) {
    TempDir served;
    const int64_t size = 3 * kMiB;
    HoleyFile file =
        MakeHoleyFile(served.file("big.bin"), dir.file("big.bin"), size, {{0, size}}, 9);
    NginxServer nginx(served.path());
    RunTimings timings = SeveralConnections();
    TMainForm& f = Open({file.Entry(nginx.url("/big.bin"))}, timings);
    f.Commands().ApplyOptions({4, 1024});
    std::string line;
    WhenReady([&] { return f.RunStatusLabel->text().contains("limited to"); },
              [&] { line = f.RunStatusLabel->text().toStdString(); });
    const auto start = Clock::now();
    Resume();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    EXPECT_TRUE(ReadWholeFile(file.incomplete) == ReadWholeFile(file.original));
    // 3 MiB at 1 MiB/s, of which a tenth of a second's bytes may come at once.
    EXPECT_GE(seconds, 2.8);
    EXPECT_NE(line.find(", limited to 1.0 MiB/s"), std::string::npos) << line;
}

} // namespace

namespace {

std::string HexDigest(const std::string& bytes, QCryptographicHash::Algorithm algorithm) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), algorithm)
        .toHex()
        .toStdString();
}

// A download of 1000 bytes with one hole, its checksum, and a server that
// serves the run its probe, sample and range.
struct ChecksummedDownload {
    HoleyFile file;
    std::string content;
    TestEntry entry;
};

ChecksummedDownload ServeChecksummed(const TempDir& dir, ScriptedServer& server,
                                     const std::string& checksum) {
    ChecksummedDownload d;
    d.file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 1000, {{100, 200}}, 41);
    d.content = ReadWholeFile(d.file.original);
    server.addConnection({Reply::Keep(ProbeAnswer(1000)),
                          Reply::Keep(SampleAnswer(d.content, d.file.ranges)),
                          Reply::Keep(RangeAnswer(d.content, 100, 200))});
    d.entry = d.file.Entry(server.url("/f.bin"));
    d.entry.checksum =
        checksum.empty() ? "sha256:" + HexDigest(d.content, QCryptographicHash::Sha256) : checksum;
    return d;
}

TEST_F(JobRunTest, AMatchingChecksumIsVerifiedRightBeforeTheDownloadIsCalledFinished) {
    ScriptedServer server;
    const ChecksummedDownload d = ServeChecksummed(dir, server, "");
    Open({d.entry});
    Resume();

    std::vector<LogRow> expected = ExpectedCompleteRun(d.entry.url, d.file);
    expected.insert(expected.end() - 1, {0, "SHA-256 checksum verified."});
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(form->ListView->rowCount(), 0);
    EXPECT_EQ(ReadWholeFile(d.file.incomplete), d.content);
}

TEST_F(JobRunTest, AMismatchKeepsTheEntryAndItsFileAndDownloadAgainQueuesTheWholeFile) {
    ScriptedServer server;
    const std::string wrong = HexDigest("another build", QCryptographicHash::Md5);
    const ChecksummedDownload d = ServeChecksummed(dir, server, "md5:" + wrong);
    TMainForm& f = Open({d.entry});
    Resume();

    const std::string found = HexDigest(d.content, QCryptographicHash::Md5);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), (LogRow{3, "MD5 checksum does not match: expected " + wrong +
                                           ", the file has " + found}));
    EXPECT_TRUE(prompts.shown.empty()) << "no box waits for the user";
    EXPECT_EQ(ReadWholeFile(d.file.incomplete), d.content) << "nothing is deleted";
    ASSERT_EQ(f.ListView->rowCount(), 1);
    EXPECT_EQ(Cell(0, SegmentsColumn), "0");
    EXPECT_EQ(Cell(0, RemainsColumn), "0");

    f.ListView->selectRow(0);
    f.fm_List_PopupMenuPopup();
    ASSERT_TRUE(f.DownloadAgain1->isVisible());
    f.DownloadAgain1->trigger();
    EXPECT_EQ(Cell(0, DownloadedColumn), "0");
    EXPECT_EQ(Cell(0, RemainsColumn), "1000");
    EXPECT_EQ(Cell(0, SegmentsColumn), "1");
    ListDocument onDisk(listPath());
    onDisk.OpenList();
    EXPECT_EQ(onDisk.FindEntry(0).Queue(), (std::vector<RangeTexts>{{"0", "1000"}}));
    f.fm_List_PopupMenuPopup();
    EXPECT_FALSE(f.DownloadAgain1->isVisible()) << "a queued download is no failed one";
}

// Pause stops the hashing; the next Resume hashes again without asking the
// server (none listens) and finishes the download.
TEST_F(JobRunTest, PauseStopsTheHashingAndResumeHashesAgainWithoutTheServer) {
    const std::int64_t size = 256LL * 1024 * 1024;
    const std::string path = dir.file("big.iso");
    {
        const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::ftruncate(fd.Get(), size), 0);
    }
    QFile zeros(QString::fromStdString(path));
    ASSERT_TRUE(zeros.open(QIODevice::ReadOnly));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&zeros);
    TestEntry entry =
        MakeEntry(path, std::to_string(size), std::to_string(size), "100%", "0",
                  "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/big.iso", {});
    entry.checksum = "sha256:" + hash.result().toHex().toStdString();
    TMainForm& f = Open({entry});

    WhenReady([&] { return f.RunStatusLabel->text().startsWith("Checking the SHA-256 checksum"); },
              [&] { f.Pause1->trigger(); });
    Resume();
    EXPECT_EQ(Log(), (std::vector<LogRow>{{2, "Downloading of file " + path + " paused"}}));
    ASSERT_EQ(f.ListView->rowCount(), 1);

    Resume();
    EXPECT_EQ(Log().back(), (LogRow{2, "File " + path + " downloaded successfully."}));
    EXPECT_EQ(Log()[Log().size() - 2], (LogRow{0, "SHA-256 checksum verified."}));
    EXPECT_EQ(f.ListView->rowCount(), 0);
    EXPECT_TRUE(prompts.shown.empty());
}

// A checksum that no longer reads (a list changed by hand) never lets the
// file be called finished unchecked.
TEST_F(JobRunTest, AnUnreadableChecksumKeepsTheFinishedEntryListed) {
    const std::string path = dir.file("done.bin");
    WriteWholeFile(path, "0123456789");
    TestEntry entry = MakeEntry(path, "10", "10", "100%", "0", "http://127.0.0.1:1/done.bin", {});
    entry.checksum = "sha256:not-hex";
    TMainForm& f = Open({entry});
    Resume();
    EXPECT_EQ(Log(), (std::vector<LogRow>{{3, UnreadableChecksumText("sha256:not-hex")}}));
    EXPECT_EQ(f.ListView->rowCount(), 1);
    EXPECT_EQ(ReadWholeFile(path), "0123456789");
}

} // namespace
