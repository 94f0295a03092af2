// The fault suite's driver: runs the real main window offscreen in a process
// of its own, so that a test can kill it, starve it of disk or memory, or
// feed it hostile files, and then look at what it left behind.
//
//   quilvane_fault_driver run <List.xml> <row> [--save-after-run]
//       Shows the window on that list, resumes row <row> as the user would
//       (select the row, open the popup menu, choose Resume) and reports when
//       the run has ended. SIGUSR1 chooses Pause, SIGTERM chooses Exit.
//       With --save-after-run the file-size limit is lifted afterwards and
//       File > Save is chosen, so a test can see what the window kept.
//   quilvane_fault_driver import <List.xml> <segment file> <URL>
//       Shows the window on that list and imports the segment file as the
//       user would: Downloads > Import..., the file chosen, the URL typed
//       into the import dialog (Rename file by URL ticked) and Ok pressed.
//       A dialog that Ok leaves open is cancelled.
//   quilvane_fault_driver segment <file>
//       Tests and reads a segment file as the Import command does.
//
// QV_FAULT_RECORD_MS=<ms> in the environment records what arrives of a range
// that often instead of every 10 s, QV_FAULT_RECORD_BYTES=<n> also at every n
// bytes of it; QV_FAULT_WAIT_SCALE=<factor> multiplies the waits before
// retries.
//
// Everything goes to stdout, one line each, as it happens:
//   ROWS <n>                  the list is loaded and shows n rows
//   LOG <icon> <message>      an activity-log row was added
//   ERROR <message>           the standard error box (PLAIN, ABORT likewise)
//   SIGNAL pause|exit         a signal was turned into that command
//   RUN ENDED                 Resume has returned
//   IMPORTED                  Import... has returned with a new row
//   STATE Idle|Running        the window's state afterwards
//   ROW <k> <c0>\t..\t<c6>    the download list afterwards
//   SAVED                     File > Save was chosen (--save-after-run)
//   CLOSED                    the window has closed (Exit)
//   SEGMENT yes|no            the first-line test of a segment file
//   VALUES <path>\t<size>\t<loaded>\t<percent>\t<remains>\t<count>
// Backslashes, CR and LF inside a message are written as \\, \r and \n.

#include "app/ui/DownloadListView.h"
#include "app/ui/MainUnit.h"
#include "import/core/SegmentFile.h"
#include "import/ui/SDLImportUnit.h"
#include "ui/core/Prompts.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string Escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// One whole line per write, so a reader never sees half of one even when the
// process is killed right after.
void Print(const std::string& line) {
    std::string text = line + "\n";
    const char* next = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, next, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        next += n;
        left -= static_cast<size_t>(n);
    }
}

// Boxes are printed instead of shown; nobody is there to answer them.
class PrintingPrompts : public Prompts {
public:
    void ErrorBox(const std::string& message) override { Print("ERROR " + Escaped(message)); }
    void PlainBox(const std::string& message) override { Print("PLAIN " + Escaped(message)); }
    void AbortBox(const std::string& title, const std::string& message) override {
        Print("ABORT " + Escaped(title) + "|" + Escaped(message));
    }
    std::string OpenFileName(const OpenFileOptions&) override {
        Print("OPENFILE " + (chosen.empty() ? "cancelled" : Escaped(chosen)));
        return chosen;
    }
    std::string SaveFileName(const std::string&) override { return {}; }
    std::string chosen; // what the open-file dialog answers; empty: cancel
};

// The real window; only the activity log is echoed as it grows.
class DriverForm : public TMainForm {
public:
    // QV_FAULT_RECORD_MS and QV_FAULT_RECORD_BYTES set when a range's
    // arrival is recorded, so that a test sees records inside a short range,
    // at the same bytes in every run; QV_FAULT_WAIT_SCALE shortens the waits
    // before retries.
    DriverForm(const std::string& listPath, Prompts& prompts) : TMainForm(listPath, prompts) {
        RunTimings timings;
        if (const char* ms = std::getenv("QV_FAULT_RECORD_MS"))
            timings.recordInterval = std::chrono::milliseconds(std::atoi(ms));
        if (const char* bytes = std::getenv("QV_FAULT_RECORD_BYTES"))
            timings.recordEveryBytes = std::atoll(bytes);
        if (const char* scale = std::getenv("QV_FAULT_WAIT_SCALE"))
            timings.waitScale = std::atof(scale);
        // QV_FAULT_CONNECTIONS caps the connections of a run; with
        // QV_FAULT_EAGER set, the count is fixed (every connection opened as
        // soon as bytes come, and kept) and nothing is split, so every run
        // opens the same ones whatever the rates.
        if (const char* count = std::getenv("QV_FAULT_CONNECTIONS"))
            timings.connections.connections = std::atoi(count);
        if (std::getenv("QV_FAULT_EAGER")) {
            timings.connections.adaptive = false;
            timings.connections.minPiece = std::int64_t{1} << 40;
        }
        Commands().SetRunTimings(timings);
    }
    void AddLogRow(LogIcon icon, const std::string& message) override {
        TMainForm::AddLogRow(icon, message);
        Print("LOG " + std::to_string(static_cast<int>(icon)) + " " + Escaped(message));
    }
};

// Signals arrive on a socket pair and are handled in the event loop, which
// also runs while the job run waits for the worker.
int signalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void CatchSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        std::perror("socketpair");
        std::exit(2);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ChooseSignalledCommand(DriverForm& form) {
    char byte = 0;
    if (::read(signalPipe[0], &byte, 1) != 1) return;
    if (byte == SIGUSR1) {
        Print("SIGNAL pause");
        // As the user does it: open the popup menu, choose Pause.
        form.fm_List_PopupMenuPopup();
        form.Pause1->trigger();
    } else if (byte == SIGTERM) {
        Print("SIGNAL exit");
        form.Exit1->trigger();
    }
}

void PrintRows(DriverForm& form) {
    for (int r = 0; r < form.ListView->rowCount(); ++r) {
        std::string line = "ROW " + std::to_string(r) + " ";
        for (int column = 0; column < form.ListView->columnCount(); ++column) {
            const QTableWidgetItem* item = form.ListView->item(r, column);
            if (column > 0) line += "\t";
            line += Escaped(item ? item->text().toStdString() : std::string());
        }
        Print(line);
    }
}

int ImportMode(const std::string& listPath, const std::string& segmentFile,
               const std::string& url) {
    PrintingPrompts prompts;
    prompts.chosen = segmentFile;
    DriverForm form(listPath, prompts);
    form.show();
    QCoreApplication::processEvents();
    const int rows = form.ListView->rowCount();
    Print("ROWS " + std::to_string(rows));
    TSDL_Import_Form* dialog = form.SDL_Import_Form;
    // Runs once the dialog is up, inside its own event loop.
    QTimer::singleShot(0, dialog, [dialog, &url] {
        if (!dialog->isVisible()) return;
        dialog->Import_URL_Edit->setText(QString::fromStdString(url));
        dialog->OK_Button->click();
        if (dialog->isVisible()) dialog->Cancel_Button->click();
    });
    form.Import1->trigger();
    if (form.ListView->rowCount() > rows) Print("IMPORTED");
    PrintRows(form);
    form.close();
    QCoreApplication::processEvents();
    return 0;
}

int RunMode(const std::string& listPath, int row, bool saveAfterRun) {
    CatchSignals();
    PrintingPrompts prompts;
    DriverForm form(listPath, prompts);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &form,
                     [&form] { ChooseSignalledCommand(form); });
    form.show();
    QCoreApplication::processEvents();
    Print("ROWS " + std::to_string(form.ListView->rowCount()));

    if (row >= 0 && row < form.ListView->rowCount()) {
        form.ListView->selectRow(row);
        form.fm_List_PopupMenuPopup();
        if (!form.Resume1->isEnabled()) {
            Print("RESUME NOT OFFERED");
            return 4;
        }
        form.Resume1->trigger();
        // A close put off while the run ended happens now.
        QCoreApplication::processEvents();
        Print("RUN ENDED");
    } else {
        Print("NO ROW");
    }
    Print(std::string("STATE ") + (form.Commands().Idle() ? "Idle" : "Running"));
    PrintRows(form);
    if (saveAfterRun && form.isVisible()) {
        struct rlimit limit {};
        if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        form.Save1->trigger();
        Print("SAVED");
    }
    if (!form.isVisible()) {
        Print("CLOSED");
    } else {
        form.close();
        QCoreApplication::processEvents();
    }
    return 0;
}

int SegmentMode(const std::string& path) {
    try {
        if (!IsSegmentFile(path)) {
            Print("SEGMENT no");
            return 0;
        }
        Print("SEGMENT yes");
        const ImportValues values = ReadSegmentFile(path);
        Print("VALUES " + Escaped(values.IncompletePath) + "\t" + Escaped(values.SizeText) + "\t" +
              Escaped(values.LoadedText) + "\t" + Escaped(values.PercentText) + "\t" +
              std::to_string(values.Remains) + "\t" + std::to_string(values.RangeCount));
    } catch (const std::exception& e) {
        Print("ERROR " + Escaped(e.what()));
    }
    return 0;
}

int Usage() {
    std::fputs("usage: quilvane_fault_driver run <List.xml> <row> [--save-after-run]\n"
               "       quilvane_fault_driver import <List.xml> <segment file> <URL>\n"
               "       quilvane_fault_driver segment <file>\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 3) return Usage();
    const std::string mode = argv[1];
    if (mode == "segment" && argc == 3) return SegmentMode(argv[2]);
    const bool importing = mode == "import" && argc == 5;
    if (!importing && (mode != "run" || argc < 4 || argc > 5)) return Usage();
    const bool saveAfterRun =
        !importing && argc == 5 && std::strcmp(argv[4], "--save-after-run") == 0;
    if (!importing && argc == 5 && !saveAfterRun) return Usage();

    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quilvane");
    if (importing) return ImportMode(argv[2], argv[3], argv[4]);
    return RunMode(argv[2], std::atoi(argv[3]), saveAfterRun);
}
