// One job run exactly as a user's Resume runs it: the real main window
// (offscreen), row 0 selected, the popup menu opened and Resume chosen. The
// window is built before the clock starts; the figures cover the run alone.

#include "BenchSupport.h"
#include "RecordingPrompts.h"

#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"

#include <QApplication>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <cstdio>
#include <cstdlib>

namespace {

// wchar of /proc/self/io: bytes this process has written so far.
long long WrittenBytesOfSelf() {
    std::ifstream io("/proc/self/io");
    for (std::string key; io >> key;) {
        long long value = 0;
        io >> value;
        if (key == "wchar:") return value;
    }
    return 0;
}

} // namespace

int JobRunMain(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s jobrun <List.xml>\n", argv[0]);
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    RecordingPrompts prompts;
    int status = 0;
    {
        TMainForm form(argv[2], prompts);
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
        // The bytes the process wrote in each whole second of the run, as
        // the kernel counts them (/proc/self/io wchar: the file's bytes, and
        // a few of List.xml's).
        std::vector<long long> perSecond;
        long long lastWritten = WrittenBytesOfSelf();
        QTimer seconds;
        seconds.setInterval(1000);
        QObject::connect(&seconds, &QTimer::timeout, [&] {
            const long long now = WrittenBytesOfSelf();
            perSecond.push_back(now - lastWritten);
            lastWritten = now;
        });
        form.show();
        QApplication::processEvents();
        form.ListView->selectRow(0);
        form.fm_List_PopupMenuPopup();
        if (!form.Resume1->isEnabled()) {
            std::fprintf(stderr, "jobrun: Resume is not offered\n");
            return 1;
        }

        const CpuTimes cpu0 = ProcessCpu();
        const CpuTimes main0 = ThreadCpu();
        const auto start = BenchClock::now();
        seconds.start();
        form.Resume1->trigger(); // returns when the run has ended
        seconds.stop();
        const double wall = SecondsSince(start);
        const CpuTimes main1 = ThreadCpu();
        const CpuTimes cpu1 = ProcessCpu();

        std::printf("run_wall=%.6f\n", wall);
        std::printf("run_user=%.6f\n", cpu1.user - cpu0.user);
        std::printf("run_sys=%.6f\n", cpu1.system - cpu0.system);
        std::printf("run_main_cpu=%.6f\n", main1.Total() - main0.Total());
        std::printf("entries_after=%d\n", form.List().EntryCount());
        std::printf("rows_after=%d\n", form.ListView->rowCount());
        const int logRows = form.LogView->rowCount();
        std::printf("log_rows=%d\n", logRows);
        if (logRows > 0)
            std::printf("last_log=%s\n",
                        form.LogView->item(logRows - 1, 2)->text().toStdString().c_str());
        // The error rows, and the rows about the connections, in order.
        int errorRows = 0, connectionRows = 0;
        for (int row = 0; row < logRows; ++row) {
            const std::string text = form.LogView->item(row, 2)->text().toStdString();
            if (form.LogView->item(row, 0)->data(Qt::UserRole).toInt() == 3) ++errorRows;
            if (text.find(" connection") != std::string::npos)
                std::printf("connection_row_%d=%s\n", ++connectionRows, text.c_str());
        }
        std::printf("error_rows=%d\nconnection_rows=%d\n", errorRows, connectionRows);
        long long most = 0;
        for (long long bytes : perSecond)
            most = std::max(most, bytes);
        std::printf("whole_seconds=%zu\nmost_bytes_in_a_second=%lld\n", perSecond.size(), most);
        const auto errors = prompts.Errors();
        std::printf("errors=%zu\n", errors.size());
        for (const std::string& e : errors)
            std::printf("error=%s\n", e.c_str());
        if (!errors.empty()) status = 1;
        form.close();
    }
    QApplication::processEvents();
    // The high-water mark of the resident set, as the kernel keeps it.
    std::printf("vm_hwm_kib=%ld\n", PeakRssKiBOfSelf());
    return status;
}
