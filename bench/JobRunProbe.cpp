// One job run exactly as a user starts it, with the real main window
// (offscreen): Resume on row 0 (row selected, popup menu opened, Resume
// chosen), of any download or of one that awaits only its checksum, or
// Downloads > New... with a URL typed in and Ok pressed. The
// window is built before the clock starts; the figures cover the command
// alone, from Resume or Ok until the run has ended.

#include "BenchSupport.h"
#include "RecordingPrompts.h"

#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"
#include "import/ui/NewDownloadUnit.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <cstdio>
#include <cstdlib>

namespace {

// A count of /proc/self/io ("wchar:", "rchar:"): the bytes every thread of
// this process has written or read so far.
long long IoCountOfSelf(const std::string& name) {
    std::ifstream io("/proc/self/io");
    for (std::string key; io >> key;) {
        long long value = 0;
        io >> value;
        if (key == name) return value;
    }
    return 0;
}

long long WrittenBytesOfSelf() {
    return IoCountOfSelf("wchar:");
}

// The clock and the CPU counters of a command, and the bytes the process
// wrote in each whole second of it, as the kernel counts them (/proc/self/io
// wchar: the file's bytes, and a few of List.xml's).
class RunMeter {
public:
    RunMeter() {
        seconds_.setInterval(1000);
        QObject::connect(&seconds_, &QTimer::timeout, [this] {
            const long long now = WrittenBytesOfSelf();
            perSecond_.push_back(now - lastWritten_);
            lastWritten_ = now;
        });
    }
    void Start() {
        lastWritten_ = WrittenBytesOfSelf();
        cpu0_ = ProcessCpu();
        main0_ = ThreadCpu();
        start_ = BenchClock::now();
        seconds_.start();
    }
    void Stop() {
        seconds_.stop();
        wall_ = SecondsSince(start_);
        main1_ = ThreadCpu();
        cpu1_ = ProcessCpu();
    }
    double Elapsed() const { return SecondsSince(start_); }
    BenchClock::time_point StartedAt() const { return start_; }
    void Print() const {
        std::printf("run_wall=%.6f\n", wall_);
        std::printf("run_user=%.6f\n", cpu1_.user - cpu0_.user);
        std::printf("run_sys=%.6f\n", cpu1_.system - cpu0_.system);
        std::printf("run_main_cpu=%.6f\n", main1_.Total() - main0_.Total());
        long long most = 0;
        for (long long bytes : perSecond_)
            most = std::max(most, bytes);
        std::printf("whole_seconds=%zu\nmost_bytes_in_a_second=%lld\n", perSecond_.size(), most);
    }

private:
    QTimer seconds_;
    std::vector<long long> perSecond_;
    long long lastWritten_ = 0;
    CpuTimes cpu0_, main0_, cpu1_, main1_;
    BenchClock::time_point start_;
    double wall_ = 0;
};

// What the window shows once the command has returned: the rows, the log
// (its last line, the error rows and the rows about connections) and the
// boxes shown. Returns the exit status: 1 when an error box was shown.
int PrintOutcome(TMainForm& form, const RecordingPrompts& prompts) {
    std::printf("entries_after=%d\n", form.List().EntryCount());
    std::printf("rows_after=%d\n", form.ListView->rowCount());
    const int logRows = form.LogView->rowCount();
    std::printf("log_rows=%d\n", logRows);
    if (logRows > 0)
        std::printf("last_log=%s\n",
                    form.LogView->item(logRows - 1, 2)->text().toStdString().c_str());
    if (logRows > 1)
        std::printf("before_last_log=%s\n",
                    form.LogView->item(logRows - 2, 2)->text().toStdString().c_str());
    int errorRows = 0, connectionRows = 0;
    for (int row = 0; row < logRows; ++row) {
        const std::string text = form.LogView->item(row, 2)->text().toStdString();
        if (form.LogView->item(row, 0)->data(Qt::UserRole).toInt() == 3) ++errorRows;
        if (text.find(" connection") != std::string::npos)
            std::printf("connection_row_%d=%s\n", ++connectionRows, text.c_str());
    }
    std::printf("error_rows=%d\nconnection_rows=%d\n", errorRows, connectionRows);
    const auto errors = prompts.Errors();
    std::printf("errors=%zu\n", errors.size());
    for (const std::string& e : errors)
        std::printf("error=%s\n", e.c_str());
    return errors.empty() ? 0 : 1;
}

// The main window on `list`, shown offscreen, under the run timings and
// options a scenario asks for. `command` gives the user's command with the
// meter started and stopped around it, and returns 0, or the exit status
// when the command could not be given; then the figures and the outcome
// are printed.
int WithWindow(char** argv, const std::string& list,
               const std::function<int(TMainForm&, RunMeter&)>& command) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    RecordingPrompts prompts;
    int status = 0;
    {
        TMainForm form(list, prompts);
        // A scenario may record more often, or wait less before retries.
        RunTimings timings;
        if (const char* ms = std::getenv("QV_BENCH_RECORD_MS"))
            timings.recordInterval = std::chrono::milliseconds(std::atoi(ms));
        if (const char* scale = std::getenv("QV_BENCH_WAIT_SCALE"))
            timings.waitScale = std::atof(scale);
        form.Commands().SetRunTimings(timings);
        // QV_BENCH_LIMIT_KIB and QV_BENCH_CONNECTIONS: the options a
        // scenario runs under.
        if (const char* limit = std::getenv("QV_BENCH_LIMIT_KIB")) {
            const char* count = std::getenv("QV_BENCH_CONNECTIONS");
            form.Commands().ApplyOptions({count ? std::atoi(count) : 4, std::atoi(limit)});
        }
        form.show();
        QApplication::processEvents();
        RunMeter meter;
        status = command(form, meter);
        if (status != 0) return status;
        meter.Print();
        status = PrintOutcome(form, prompts);
        form.close();
    }
    QApplication::processEvents();
    // The high-water mark of the resident set, as the kernel keeps it.
    std::printf("vm_hwm_kib=%ld\n", PeakRssKiBOfSelf());
    return status;
}

// Row 0 selected, its popup menu opened and Resume chosen, the meter
// running around the command, which returns when the run has ended. 1 when
// Resume is not offered.
int ResumeRowZero(TMainForm& form, RunMeter& meter) {
    form.ListView->selectRow(0);
    form.fm_List_PopupMenuPopup();
    if (!form.Resume1->isEnabled()) {
        std::fprintf(stderr, "jobrun: Resume is not offered\n");
        return 1;
    }
    meter.Start();
    form.Resume1->trigger();
    meter.Stop();
    return 0;
}

// The moment this process (any of its threads) has read `bytes` more than
// when the watch began, seen from a thread of its own every 2 ms (later
// when both processors are busy), so that the window's event loop, whose
// waits are part of what is measured, gets no event from it. Its own reads of /proc/self/io add
// about 120 bytes a look, far less than the last 1 MiB block of a file being hashed.
class ReadsWatch {
public:
    explicit ReadsWatch(long long bytes)
        : target_(IoCountOfSelf("rchar:") + bytes), thread_([this] { Watch(); }) {}
    ~ReadsWatch() { Stop(); }
    ReadsWatch(const ReadsWatch&) = delete;
    ReadsWatch& operator=(const ReadsWatch&) = delete;

    // Ends the watch; when the bytes had been read, none when they were not.
    std::optional<BenchClock::time_point> Stop() {
        stop_.store(true, std::memory_order_release);
        if (thread_.joinable()) thread_.join();
        return reached_;
    }

private:
    void Watch() {
        while (!stop_.load(std::memory_order_acquire)) {
            if (IoCountOfSelf("rchar:") >= target_) {
                reached_ = BenchClock::now();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    const long long target_;
    std::atomic<bool> stop_{false};
    std::optional<BenchClock::time_point> reached_; // written by the thread before it ends
    std::thread thread_;
};

} // namespace

int JobRunMain(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s jobrun <List.xml>\n", argv[0]);
        return 2;
    }
    return WithWindow(argv, argv[2], ResumeRowZero);
}

// Resume of row 0 whose download awaits only its checksum, so that the run
// only hashes its file of `size` bytes. Besides the figures of jobrun: when
// the process had read the whole file (the hashing's last block, as the
// watch above sees it) and when the verdict's row, the one before the
// last, was logged.
int ChecksumMain(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s checksum <List.xml> <file size>\n", argv[0]);
        return 2;
    }
    const long long size = std::stoll(argv[3]);
    return WithWindow(argv, argv[2], [size](TMainForm& form, RunMeter& meter) {
        // When each row of the log was added, by its index.
        std::map<int, BenchClock::time_point> added;
        const QMetaObject::Connection logged =
            QObject::connect(form.LogView->model(), &QAbstractItemModel::rowsInserted,
                             [&added](const QModelIndex&, int first, int last) {
                                 for (int row = first; row <= last; ++row)
                                     added[row] = BenchClock::now();
                             });
        ReadsWatch reads(size);
        const int status = ResumeRowZero(form, meter);
        const std::optional<BenchClock::time_point> readEnd = reads.Stop();
        QObject::disconnect(logged);
        if (status != 0) return status;
        auto since = [&meter](BenchClock::time_point at) {
            return std::chrono::duration<double>(at - meter.StartedAt()).count();
        };
        if (readEnd) std::printf("hash_read_end=%.6f\n", since(*readEnd));
        const auto verdict = added.find(form.LogView->rowCount() - 2);
        if (verdict != added.end()) std::printf("verdict_logged=%.6f\n", since(verdict->second));
        return 0;
    });
}

// Downloads > New... with `url` typed into the dialog, which proposes the
// Save as in `folder` (as XDG_DOWNLOAD_DIR); the clock starts as Ok is
// pressed, so the server's question, the allocation of the file and the
// whole run are measured.
int NewDownloadMain(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s newdownload <List.xml> <url> <folder>\n", argv[0]);
        return 2;
    }
    setenv("XDG_DOWNLOAD_DIR", argv[4], 1);
    const QString url = QString::fromUtf8(argv[3]);
    return WithWindow(argv, argv[2], [&url](TMainForm& form, RunMeter& meter) {
        TNewDownloadForm* dialog = form.New_Download_Form;
        bool pressed = false;
        // The part before the run: the server's question, the file
        // allocated and made durable, the entry appended.
        QObject::connect(dialog, &QDialog::finished, dialog,
                         [&meter] { std::printf("ok_to_close=%.6f\n", meter.Elapsed()); });
        QTimer::singleShot(0, dialog, [&] {
            QTest::keyClicks(dialog->URL_Edit, url);
            std::printf("save_as=%s\n", dialog->SaveAs_Edit->text().toStdString().c_str());
            meter.Start();
            dialog->OK_Button->click();
            pressed = true;
            // A refused Ok leaves the dialog open: Cancel ends the command.
            if (dialog->isVisible()) dialog->Cancel_Button->click();
        });
        form.New1->trigger(); // returns when the run has ended
        meter.Stop();
        if (!pressed) {
            std::fprintf(stderr, "newdownload: the dialog did not open\n");
            return 1;
        }
        return 0;
    });
}
