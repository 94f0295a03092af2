#include "app/ui/MainUnit.h"

#include "app/core/UserOptions.h"
#include "app/core/WindowDrops.h"
#include "app/ui/DownloadListView.h"
#include "app/ui/OptionsDialog.h"
#include "common/Texts.h"
#include "import/core/SegmentFile.h"
#include "import/ui/NewDownloadUnit.h"
#include "import/ui/SDLImportUnit.h"
#include "transfer/DLThread_Unit.h"
#include "ui/Icons.h"
#include "ui/WindowFont.h"
#include "ui/core/Prompts.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>

namespace {

// The whole-file bar counts in ten-thousandths.
constexpr int kProgressSteps = 10000;

// A read-only report list: whole rows selected, grid lines, no editing,
// headers that do not react to clicks.
void MakeReportList(QTableWidget* view, const QStringList& headers) {
    view->setColumnCount(static_cast<int>(headers.size()));
    view->setHorizontalHeaderLabels(headers);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setSectionsClickable(false);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setContextMenuPolicy(Qt::NoContextMenu);
}

QTableWidgetItem* TextItem(const std::string& text) {
    return new QTableWidgetItem(QString::fromStdString(text));
}

} // namespace

TMainForm::TMainForm(std::string listPath, Prompts& prompts, QWidget* parent)
    : QMainWindow(parent), prompts_(prompts), list_(std::move(listPath)),
      commands_(*this, *this, *this, list_, prompts), newQuery_(*this, RunTimings{}.stallLimit) {
    setObjectName("MainForm");
    setWindowTitle(QStringLiteral("Quilvane 0.3alpha"));
    setFont(WindowFont());
    setWindowIcon(ApplicationIcon());
    setAcceptDrops(true);
    setGeometry(265, 233, 792, 566);
    BuildMenus();
    BuildViews();
    SDL_Import_Form = new TSDL_Import_Form(list_, prompts_, this);
    Edit_Download_Form =
        new TSDL_Import_Form(list_, prompts_, this, TSDL_Import_Form::Purpose::Edit);
    Options_Form = new TOptionsForm(this);
    New_Download_Form = new TNewDownloadForm(list_, prompts_, newQuery_, this);
    commands_.ApplyOptions(ReadUserOptions());
}

TMainForm::~TMainForm() {
    // A window destroyed without having been closed still stops its worker.
    worker_.reset();
}

void TMainForm::BuildMenus() {
    MainFormMenu = menuBar();
    MainFormMenu->setObjectName("MainFormMenu");
    File1 = MainFormMenu->addMenu(QStringLiteral("File"));
    File1->setObjectName("File1");
    New2 = File1->addAction(QStringLiteral("New..."));
    New2->setObjectName("New2");
    Save1 = File1->addAction(QStringLiteral("Save"));
    Save1->setObjectName("Save1");
    FileMenuSeparator1 = File1->addSeparator();
    FileMenuSeparator1->setObjectName("FileMenuSeparator1");
    Options1 = File1->addAction(QStringLiteral("Options"));
    Options1->setObjectName("Options1");
    N2 = File1->addSeparator();
    N2->setObjectName("N2");
    Exit1 = File1->addAction(QStringLiteral("Exit"));
    Exit1->setObjectName("Exit1");

    Jobs1 = MainFormMenu->addMenu(QStringLiteral("Downloads"));
    Jobs1->setObjectName("Jobs1");
    New1 = Jobs1->addAction(QStringLiteral("New..."));
    New1->setObjectName("New1");
    Import1 = Jobs1->addAction(QStringLiteral("Import..."));
    Import1->setObjectName("Import1");
    ResumeAll1 = Jobs1->addAction(QIcon(PopupMenuPixmap(0)), QStringLiteral("Resume all"));
    ResumeAll1->setObjectName("ResumeAll1");
    ResumeAll1->setEnabled(false);

    connect(Save1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Save1Click(); }); });
    connect(Exit1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Exit1Click(); }); });
    for (QAction* item : {New1, New2})
        connect(item, &QAction::triggered, this,
                [this] { RunGuarded(prompts_, [this] { New1Click(); }); });
    connect(Import1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Import1Click(); }); });
    connect(Options1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Options1Click(); }); });
    connect(Jobs1, &QMenu::aboutToShow, this, [this] { Jobs1Click(); });
    connect(ResumeAll1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { ResumeAll1Click(); }); });

    fm_List_PopupMenu = new QMenu(this);
    fm_List_PopupMenu->setObjectName("fm_List_PopupMenu");
    Resume1 = fm_List_PopupMenu->addAction(QIcon(PopupMenuPixmap(0)), QStringLiteral("Resume"));
    Resume1->setObjectName("Resume1");
    Pause1 = fm_List_PopupMenu->addAction(QIcon(PopupMenuPixmap(1)), QStringLiteral("Pause"));
    Pause1->setObjectName("Pause1");
    fm_List_PopupMenu->addSeparator();
    Delete1 = fm_List_PopupMenu->addAction(QIcon(PopupMenuPixmap(2)), QStringLiteral("Delete"));
    Delete1->setObjectName("Delete1");
    fm_List_PopupMenu->addSeparator();
    Edit1 = fm_List_PopupMenu->addAction(QIcon(PopupMenuPixmap(3)), QStringLiteral("Edit..."));
    Edit1->setObjectName("Edit1");
    DownloadAgain1 = fm_List_PopupMenu->addAction(QStringLiteral("Download again"));
    DownloadAgain1->setObjectName("DownloadAgain1");
    DownloadAgain1->setVisible(false);
    for (QAction* item : {Resume1, Pause1, Delete1, Edit1})
        item->setEnabled(false);
    connect(DownloadAgain1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { DownloadAgain1Click(); }); });
    connect(fm_List_PopupMenu, &QMenu::aboutToShow, this, [this] { fm_List_PopupMenuPopup(); });
    connect(Resume1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Resume1Click(); }); });
    connect(Pause1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Pause1Click(); }); });
    connect(Delete1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Delete1Click(); }); });
    connect(Edit1, &QAction::triggered, this,
            [this] { RunGuarded(prompts_, [this] { Edit1Click(); }); });
}

void TMainForm::BuildViews() {
    ListView = new DownloadListView(this);
    ListView->setObjectName("ListView");
    // Screen readers name the two tables, which have no caption on screen.
    ListView->setAccessibleName(QStringLiteral("Downloads"));
    MakeReportList(ListView, {QStringLiteral("File name"), QStringLiteral("File size (bytes)"),
                              QStringLiteral("Completed (bytes)"), QStringLiteral("Percent"),
                              QStringLiteral("Remains (bytes)"), QStringLiteral("Segments"),
                              QStringLiteral("URL")});
    QHeaderView* header = ListView->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    const int widths[] = {90, 105, 52, 90, 60};
    for (int column = 1; column <= 5; ++column)
        ListView->setColumnWidth(column, widths[column - 1]);
    header->setStretchLastSection(true);
    header->setMinimumSectionSize(15);
    connect(ListView, &DownloadListView::mousePressed, this,
            [this](Qt::MouseButton button, const QPoint& position) {
                ListViewMouseDown(button, position);
            });
    connect(ListView, &QTableWidget::cellDoubleClicked, this,
            [this] { RunGuarded(prompts_, [this] { ListViewDblClick(); }); });
    // The header's presses go to its viewport, not to the header itself.
    header->viewport()->installEventFilter(this);

    LogView = new QTableWidget(this);
    LogView->setObjectName("LogView");
    LogView->setAccessibleName(QStringLiteral("Activity log"));
    MakeReportList(LogView, {QString(), QStringLiteral("Date/Time"), QStringLiteral("Message")});
    LogView->horizontalHeader()->setMinimumSectionSize(15);
    LogView->setColumnWidth(0, 15);
    LogView->setColumnWidth(1, 116);
    LogView->horizontalHeader()->setStretchLastSection(true);
    LogView->setIconSize(QSize(13, 13));
    // However long a message, the log never scrolls sideways.
    LogView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    LogView->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    Splitter2 = new QSplitter(Qt::Vertical, this);
    Splitter2->setObjectName("Splitter2");
    Splitter2->setHandleWidth(1);
    Splitter2->setOpaqueResize(true);
    Splitter2->setChildrenCollapsible(false);
    Splitter2->addWidget(ListView);
    Splitter2->addWidget(LogView);
    Splitter2->setStretchFactor(0, 1);
    Splitter2->setStretchFactor(1, 0);
    Splitter2->setSizes({geometry().height() - 155, 155});
    setCentralWidget(Splitter2);

    statusBar()->setFixedHeight(19);
    statusBar()->setSizeGripEnabled(false);
    // The range in hand while a run waits for it, and how the run ended.
    RunStatusLabel = new QLabel(statusBar());
    RunStatusLabel->setObjectName("RunStatusLabel");
    // Its name is the text it shows, so a screen reader reads the bytes,
    // the speed and the time left; what the label is goes in the description.
    RunStatusLabel->setAccessibleDescription("Download progress");
    // A new text repaints the label alone: its width never asks the status
    // bar to lay itself out again.
    RunStatusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // A file name or a server's text is never taken for markup.
    RunStatusLabel->setTextFormat(Qt::PlainText);
    statusBar()->addWidget(RunStatusLabel, 1);
    RunProgressBar = new QProgressBar(statusBar());
    RunProgressBar->setObjectName("RunProgressBar");
    RunProgressBar->setAccessibleName("Whole file");
    RunProgressBar->setRange(0, kProgressSteps);
    RunProgressBar->setTextVisible(false);
    RunProgressBar->setFixedSize(160, 10);
    RunProgressBar->hide();
    statusBar()->addPermanentWidget(RunProgressBar);
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    RunGuarded(prompts_, [this] { FormShow(); });
}

void TMainForm::FormShow() {
    // The worker wakes this thread after it has cleared a request flag.
    worker_ = MakeWorker();
    commands_.AttachWorker(worker_.get());
    commands_.SetIdle();
    list_.OpenList();
    const int count = list_.EntryCount();
    for (int row = 0; row < count; ++row)
        AddEntryRow(list_.FindEntry(row));
}

void TMainForm::AddEntryRow(ListEntry entry) {
    std::vector<std::string> texts;
    for (const char* name : kRowColumnAttributes)
        texts.push_back(entry.AttributeText(name));
    const int row = ListView->rowCount();
    ListView->insertRow(row);
    for (int column = 0; column < kRowColumnCount; ++column)
        ListView->setItem(row, column, TextItem(texts[static_cast<size_t>(column)]));
}

void TMainForm::AddLogRow(LogIcon icon, const std::string& message) {
    const int row = LogView->rowCount();
    LogView->insertRow(row);
    auto* state = new QTableWidgetItem(QIcon(LogStatePixmap(static_cast<int>(icon))), QString());
    state->setData(Qt::UserRole, static_cast<int>(icon));
    LogView->setItem(row, 0, state);
    LogView->setItem(row, 1, TextItem(TimeStampText()));
    LogView->setItem(row, 2, TextItem(message));
    LogView->scrollToItem(state);
    // The view lays out new rows later; scroll again once it has.
    QMetaObject::invokeMethod(LogView, &QTableWidget::scrollToBottom, Qt::QueuedConnection);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    // A run waiting for the worker ends first; the window closes after it.
    if (!commands_.PrepareClose()) {
        event->ignore();
        return;
    }
    FormClose();
    closed_ = true;
    event->accept();
}

void TMainForm::FormClose() {
    list_.CloseList();
    commands_.AttachWorker(nullptr);
    worker_.reset();
}

void TMainForm::CloseAfterRun() {
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TMainForm::Save1Click() {
    list_.SaveList();
}

void TMainForm::Exit1Click() {
    close();
}

void TMainForm::Import1Click() {
    Prompts::OpenFileOptions options;
    options.filter = "Vesko segment file (*.sdl)";
    options.defaultExtension = "sdl";
    options.showHidden = true;
    const std::string path = prompts_.OpenFileName(options);
    if (path.empty()) return;
    ImportSegmentFile(path);
}

void TMainForm::New1Click() {
    OpenNewDownload({});
}

void TMainForm::OpenNewDownload(const std::string& url) {
    if (New_Download_Form->isVisible()) {
        // One new download at a time: the open dialog takes the URL, unless
        // its Ok is asking the server about the one it holds.
        if (!url.empty() && !New_Download_Form->Asking()) New_Download_Form->SetUrl(url);
        New_Download_Form->raise();
        New_Download_Form->activateWindow();
        return;
    }
    New_Download_Form->SetUrl(url);
    if (New_Download_Form->exec() != QDialog::Accepted) return;
    // The dialog saved the list with the entry.
    const int row = ListView->rowCount();
    AddEntryRow(list_.FindEntry(list_.EntryCount() - 1));
    SelectRow(row);
    commands_.StartAdded(row);
}

void TMainForm::Options1Click() {
    Options_Form->Show(ReadUserOptions());
    if (Options_Form->exec() != QDialog::Accepted) return;
    const UserOptions chosen = Options_Form->Chosen();
    // Applied even when they cannot be kept; the error box then says so.
    commands_.ApplyOptions(chosen);
    WriteUserOptions(chosen);
}

void TMainForm::ImportSegmentFile(const std::string& path) {
    if (!IsSegmentFile(path)) {
        prompts_.PlainBox(NotSegmentFileMessage(path));
        return;
    }
    SDL_Import_Form->SetSegmentFilePath(path);
    if (SDL_Import_Form->exec() != QDialog::Accepted) return;
    AddEntryRow(list_.FindEntry(list_.EntryCount() - 1));
    list_.SaveList();
}

bool TMainForm::AcceptsDrop(const QMimeData* data) const {
    // While the import or new-download dialog is open a drop starts nothing.
    if (!data || SDL_Import_Form->isVisible() || New_Download_Form->isVisible()) return false;
    return DroppedSegmentFile(data->urls()) || DroppedWebAddress(data->urls(), data->text());
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (AcceptsDrop(event->mimeData())) event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
    if (AcceptsDrop(event->mimeData())) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
    if (!AcceptsDrop(event->mimeData())) return;
    const QMimeData* data = event->mimeData();
    const std::optional<std::string> path = DroppedSegmentFile(data->urls());
    const std::string url = path ? std::string() : *DroppedWebAddress(data->urls(), data->text());
    event->acceptProposedAction();
    // The drop finishes first: the program that sent it is not kept waiting
    // while a dialog is open.
    QMetaObject::invokeMethod(
        this,
        [this, path, url] {
            if (SDL_Import_Form->isVisible() || New_Download_Form->isVisible()) return;
            RunGuarded(prompts_, [this, &path, &url] {
                if (path)
                    ImportSegmentFile(*path);
                else
                    OpenNewDownload(url);
            });
        },
        Qt::QueuedConnection);
}

int TMainForm::SelectedRow() const {
    const QList<QTableWidgetItem*> selected = ListView->selectedItems();
    return selected.isEmpty() ? -1 : selected.first()->row();
}

void TMainForm::Resume1Click() {
    const int row = SelectedRow();
    if (row >= 0) commands_.Resume1Click(row);
}

void TMainForm::ResumeAll1Click() {
    commands_.ResumeAll1Click();
}

void TMainForm::Jobs1Click() {
    ResumeAll1->setEnabled(commands_.PopupMenuState().resumeAll);
}

void TMainForm::Pause1Click() {
    commands_.Pause1Click();
}

void TMainForm::Delete1Click() {
    const int row = SelectedRow();
    if (row >= 0) commands_.Delete1Click(row);
}

void TMainForm::Edit1Click() {
    const int row = SelectedRow();
    if (row < 0) return;
    const ListEntry entry = list_.FindEntry(row);
    Edit_Download_Form->SetEditedEntry(entry);
    if (Edit_Download_Form->exec() != QDialog::Accepted) return;
    SetText(row, URLColumn, entry.AttributeText(kRowColumnAttributes[URLColumn]));
}

void TMainForm::ListViewDblClick() {
    if (SelectedRow() >= 0 && commands_.PopupMenuState().remove) Edit1Click();
}

void TMainForm::ListViewMouseDown(Qt::MouseButton button, const QPoint& position) {
    if (button != Qt::RightButton || ListView->rowCount() == 0 || SelectedRow() < 0) return;
    fm_List_PopupMenu->popup(ListView->viewport()->mapToGlobal(position));
}

void TMainForm::ListViewColumnRightClick() {
    // A right click on a column header never opens the popup menu.
    fm_List_PopupMenu->hide();
}

void TMainForm::customEvent(QEvent*) {
    commands_.RecordArrived();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListView->horizontalHeader()->viewport() &&
        event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
        ListViewColumnRightClick();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::fm_List_PopupMenuPopup() {
    const JobCommands::MenuState state = commands_.PopupMenuState();
    Resume1->setEnabled(state.resume);
    Pause1->setEnabled(state.pause);
    Delete1->setEnabled(state.remove);
    Edit1->setEnabled(state.remove);
    // Only a download whose ranges are all in but that is still listed has it.
    DownloadAgain1->setVisible(commands_.OffersDownloadAgain(SelectedRow()));
}

void TMainForm::DownloadAgain1Click() {
    commands_.DownloadAgain1Click(SelectedRow());
}

void TMainForm::ShowRunning(bool running) {
    Resume1->setEnabled(!running);
    Pause1->setEnabled(running);
    ResumeAll1->setEnabled(!running && ListView->rowCount() > 0);
}

void TMainForm::WaitForEvents() {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TMainForm::ShowProgress(const std::string& text, std::int64_t done, std::int64_t total) {
    const QString line = QString::fromStdString(text);
    if (RunStatusLabel->text() != line) RunStatusLabel->setText(line);
    const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0;
    RunProgressBar->setValue(static_cast<int>(std::clamp(share, 0.0, 1.0) * kProgressSteps));
    RunProgressBar->show();
}

void TMainForm::ShowRunEnd(const std::string& text) {
    RunStatusLabel->setText(QString::fromStdString(text));
    RunProgressBar->hide();
}

void TMainForm::WaitForEventsAtMost(std::chrono::milliseconds limit) {
    // A timer's event ends the wait when nothing else comes first.
    QTimer::singleShot(limit, this, [] {});
    WaitForEvents();
}

std::unique_ptr<tHTTPThread> TMainForm::MakeWorker() {
    return std::make_unique<tHTTPThread>(
        [this] { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); });
}

int TMainForm::RowCount() const {
    return ListView->rowCount();
}

std::string TMainForm::Text(int row, int column) const {
    const QTableWidgetItem* item = ListView->item(row, column);
    return item ? item->text().toStdString() : std::string();
}

void TMainForm::SetText(int row, int column, const std::string& text) {
    if (QTableWidgetItem* item = ListView->item(row, column)) {
        item->setText(QString::fromStdString(text));
    } else {
        ListView->setItem(row, column, TextItem(text));
    }
}

void TMainForm::RemoveRow(int row) {
    ListView->removeRow(row);
}

void TMainForm::SelectRow(int row) {
    ListView->selectRow(row);
    if (const QTableWidgetItem* item = ListView->item(row, 0)) ListView->scrollToItem(item);
}
