#pragma once

#include "app/core/JobCommands.h"
#include "app/core/JobSeams.h"
#include "app/core/NewDownloadQuery.h"
#include "list/ListDocument.h"

#include <QMainWindow>

#include <memory>
#include <string>

class DownloadListView;
class Prompts;
class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QMimeData;
class QSplitter;
class QTableWidget;
class TNewDownloadForm;
class TSDL_Import_Form;
class tHTTPThread;
class TOptionsForm;

// The main window: the download list, the activity log, the menus and the
// popup commands. Handlers read the widgets, call the core and write back.
class TMainForm : public QMainWindow, private JobRows, private JobLog, private JobWindow {
    Q_OBJECT
public:
    // listPath: where List.xml lives (beside the executable for the program).
    TMainForm(std::string listPath, Prompts& prompts, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Components, named as the window declares them.
    QMenuBar* MainFormMenu;
    QMenu* File1;
    QAction* New2;
    QAction* Save1;
    QAction* FileMenuSeparator1;
    QAction* Options1;
    QAction* N2;
    QAction* Exit1;
    QMenu* Jobs1;
    QAction* New1;
    QAction* Import1;
    QAction* ResumeAll1;
    DownloadListView* ListView;
    QSplitter* Splitter2;
    QTableWidget* LogView;
    QMenu* fm_List_PopupMenu;
    QAction* Resume1;
    QAction* Pause1;
    QAction* Delete1;
    QAction* Edit1;
    QAction* DownloadAgain1;
    TSDL_Import_Form* SDL_Import_Form;
    // The import dialog made for editing one download's address.
    TSDL_Import_Form* Edit_Download_Form;
    TOptionsForm* Options_Form;
    TNewDownloadForm* New_Download_Form;
    // The status bar: the range in hand or how the run ended, and the bar
    // of the whole file while a range arrives.
    QLabel* RunStatusLabel;
    QProgressBar* RunProgressBar;

    // Handlers.
    void FormShow();
    void FormClose();
    void Save1Click();
    void Exit1Click();
    void Import1Click();
    // File > New... and Downloads > New...: a download from a URL.
    void New1Click();
    // Opens New download with `url` filled in (empty: none), or gives the
    // URL to the one already open; on Ok the row is added, the list saved
    // and the download started (or queued behind the one in progress). A
    // dropped link and a URL handed over by a later start come here.
    void OpenNewDownload(const std::string& url);
    // File > Options: shows the user's options; Ok keeps and applies them.
    void Options1Click();
    // The Import command's steps after the open-file dialog: the segment-file
    // test, the import dialog and, on Ok, the new row and the save. A drop of
    // one segment file on the window starts here too.
    void ImportSegmentFile(const std::string& path);
    void Resume1Click();
    // Runs every listed download in turn, unattended.
    void ResumeAll1Click();
    // The Downloads menu is about to open: Resume all is offered while the
    // window is Idle and lists at least one download.
    void Jobs1Click();
    void Pause1Click();
    void Delete1Click();
    // Queues the whole file of a download whose checksum did not match.
    void DownloadAgain1Click();
    // Edits the selected download's URL, referer, credentials and proxy;
    // on Ok the row's URL cell follows the entry.
    void Edit1Click();
    // A double click on a row edits it when Edit... would be offered.
    void ListViewDblClick();
    void ListViewMouseDown(Qt::MouseButton button, const QPoint& position);
    void ListViewColumnRightClick();
    void fm_List_PopupMenuPopup();

    // Appends the row of an entry: caption FileName, then FileSize,
    // Downloaded, Percent, Remains, Segments and URL.
    void AddEntryRow(ListEntry entry);
    void AddLogRow(LogIcon icon, const std::string& message) override;

    ListDocument& List() { return list_; }
    JobCommands& Commands() { return commands_; }
    tHTTPThread* Worker() { return worker_.get(); }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The worker's wake-up (its only custom event): what it made durable is
    // recorded at once, also while a dialog or message box holds the window.
    // The event itself is not read: it was made on the worker's thread.
    void customEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // JobRows
    int RowCount() const override;
    std::string Text(int row, int column) const override;
    void SetText(int row, int column, const std::string& text) override;
    void RemoveRow(int row) override;
    void SelectRow(int row) override;
    // JobWindow
    void ShowRunning(bool running) override;
    void WaitForEvents() override;
    void WaitForEventsAtMost(std::chrono::milliseconds limit) override;
    std::unique_ptr<tHTTPThread> MakeWorker() override;
    void CloseAfterRun() override;
    void ShowProgress(const std::string& text, std::int64_t done, std::int64_t total) override;
    void ShowRunEnd(const std::string& text) override;

    void BuildMenus();
    void BuildViews();
    int SelectedRow() const;
    bool AcceptsDrop(const QMimeData* data) const;

    Prompts& prompts_;
    ListDocument list_;
    JobCommands commands_;
    std::unique_ptr<tHTTPThread> worker_;
    NewDownloadQuery newQuery_;
    bool shown_ = false;
    bool closed_ = false;
};
