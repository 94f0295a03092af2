#include "import/ui/SDLImportUnit.h"

#include "common/AppError.h"
#include "common/Checksum.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "import/core/ImportLogic.h"
#include "import/ui/AddressGroups.h"
#include "import/ui/FormControls.h"
#include "list/ListDocument.h"
#include "ui/Icons.h"
#include "ui/WindowFont.h"
#include "ui/core/Prompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTableWidget>

#include <tuple>

TSDL_Import_Form::TSDL_Import_Form(ListDocument& list, Prompts& prompts, QWidget* parent,
                                   Purpose purpose)
    : QDialog(parent), list_(list), prompts_(prompts), readError_("No segment file has been read"),
      purpose_(purpose) {
    setObjectName("SDL_Import_Form");
    setWindowTitle(QStringLiteral("Download import"));
    // A fixed dialog frame: a close box, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(750, 509);
    setSizeGripEnabled(false);
    setFont(WindowFont());
    setWindowIcon(ApplicationIcon());
    BuildControls();
    if (purpose_ == Purpose::Edit) ShowForEditing();

    connect(OK_Button, &QPushButton::clicked, this, [this] { OK_ButtonClick(); });
    connect(Cancel_Button, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
    connect(Import_Server_CheckBox, &QCheckBox::toggled, this,
            [this] { Import_Server_CheckBoxClick(); });
    connect(Import_Proxy_CheckBox, &QCheckBox::toggled, this,
            [this] { Import_Proxy_CheckBoxClick(); });
}

void TSDL_Import_Form::BuildControls() {
    // File options
    GroupBox1 = NewGroup(this, "GroupBox1", QStringLiteral("File options"), {0, 0, 516, 265});
    QFrame* filePanel = NewFrame(GroupBox1, {6, 13, 504, 220}, QFrame::Panel | QFrame::Raised);
    SEG_Label = NewLabel(filePanel, "SEG_Label", QStringLiteral("Vesko segment file:"), 8, 6);
    Import_SDL_Edit = NewEdit(filePanel, "Import_SDL_Edit", {7, 22, 489, 21});
    Inc_Label = NewLabel(filePanel, "Inc_Label", QStringLiteral("Incomplete file:"), 8, 52);
    Import_Inc_Edit = NewEdit(filePanel, "Import_Inc_Edit", {7, 68, 489, 21});
    URL_Label = NewLabel(filePanel, "URL_Label", QStringLiteral("File URL:"), 8, 98);
    Import_URL_Edit = NewEdit(filePanel, "Import_URL_Edit", {7, 114, 489, 21});
    QLabel* refererLabel =
        NewLabel(filePanel, "Referer_Label", QStringLiteral("Use special referer:"), 8, 146);
    Import_Referer_Edit = NewEdit(filePanel, "Import_Referer_Edit", {7, 162, 489, 21});
    SEG_Label->setBuddy(Import_SDL_Edit);
    Inc_Label->setBuddy(Import_Inc_Edit);
    URL_Label->setBuddy(Import_URL_Edit);
    refererLabel->setBuddy(Import_Referer_Edit);
    RenameCheckBox =
        NewCheckBox(GroupBox1, "RenameCheckBox", QStringLiteral("Rename file by URL"), 13, 206);
    RenameCheckBox->setChecked(true);
    RenameCheckBox->raise();
    Size_StaticText = NewStaticText(GroupBox1, "Size_StaticText", {6, 238, 251, 19});
    Remain_StaticText = NewStaticText(GroupBox1, "Remain_StaticText", {259, 238, 251, 19});

    // Server options and Proxy options
    address_ = BuildAddressGroups(this, 265);
    GroupBox4 = address_.serverGroup;
    Import_Server_CheckBox = address_.serverBox;
    Import_Server_Name_Edit = address_.serverName;
    Import_Server_Pass_Edit = address_.serverPass;
    GroupBox3 = address_.proxyGroup;
    Import_Proxy_CheckBox = address_.proxyBox;
    Import_Proxy_Server_Edit = address_.proxyServer;
    Import_Proxy_Port_Edit = address_.proxyPort;
    Import_Proxy_Name_Edit = address_.proxyName;
    Import_Proxy_Pass_Edit = address_.proxyPass;

    // File segments
    GroupBox2 = NewGroup(this, "GroupBox2", QStringLiteral("File segments"), {516, 0, 234, 509});
    Seg_StringGrid = new QTableWidget(0, 2, GroupBox2);
    Seg_StringGrid->setObjectName("Seg_StringGrid");
    Seg_StringGrid->setAccessibleName(QStringLiteral("File segments"));
    Seg_StringGrid->setGeometry(6, 13, 221, 327);
    Seg_StringGrid->setHorizontalHeaderLabels({QStringLiteral("Begin"), QStringLiteral("End")});
    Seg_StringGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    Seg_StringGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    Seg_StringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Seg_StringGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Seg_StringGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Seg_StringGrid->verticalHeader()->hide();
    Seg_StringGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Seg_StringGrid->verticalHeader()->setMinimumSectionSize(1);
    Seg_StringGrid->verticalHeader()->setDefaultSectionSize(17);
    QHeaderView* header = Seg_StringGrid->horizontalHeader();
    header->setFont(WithBold(WindowFont(), true));
    header->setDefaultAlignment(Qt::AlignCenter);
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setMinimumSectionSize(1);
    header->setFixedHeight(17);
    header->setHighlightSections(false);
    Seg_StringGrid->setColumnWidth(0, 100);
    Seg_StringGrid->setColumnWidth(1, 100);
    Seg_StaticText = NewStaticText(GroupBox2, "Seg_StaticText", {7, 340, 220, 19});
    // The checksum has no room in the file options: it goes below the
    // segments, where an edit dialog's left column takes it up (see
    // ShowForEditing).
    Checksum_Label =
        NewLabel(GroupBox2, "Checksum_Label", QStringLiteral("Checksum (optional):"), 7, 368);
    Checksum_Edit = NewEdit(GroupBox2, "Checksum_Edit", {7, 384, 220, 21});
    Checksum_Label->setBuddy(Checksum_Edit);

    // Button panel
    std::tie(OK_Button, Cancel_Button) = NewOkCancelPanel(this, 469);
}

// The left column alone, without what only an import reads or changes: the
// segment file, the rename and the segment grid.
void TSDL_Import_Form::ShowForEditing() {
    setObjectName("Edit_Download_Form");
    setWindowTitle(QStringLiteral("Edit download"));
    setFixedSize(GroupBox1->width(), height());
    for (QWidget* importOnly :
         std::initializer_list<QWidget*>{GroupBox2, SEG_Label, Import_SDL_Edit, RenameCheckBox})
        importOnly->hide();
    Import_Inc_Edit->setReadOnly(true);

    // Close the rows the hidden controls leave empty: the segment file's at
    // the top of the file panel, the rename box's at its bottom. What lies
    // below the panel moves up by as much, and the dialog is that much shorter.
    QWidget* filePanel = Import_Inc_Edit->parentWidget();
    const int topRow = Inc_Label->y() - SEG_Label->y();
    // The checksum's row follows the referer's in the file panel.
    Checksum_Label->setParent(filePanel);
    Checksum_Edit->setParent(filePanel);
    Checksum_Label->move(Inc_Label->x(), Import_Referer_Edit->y() + topRow - 16);
    Checksum_Edit->setGeometry(Import_Referer_Edit->geometry().translated(0, topRow));
    Checksum_Label->show();
    Checksum_Edit->show();
    for (QWidget* child : filePanel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        child->move(child->x(), child->y() - topRow);
    const int panelBottom = filePanel->geometry().bottom();
    const int panelHeight = Checksum_Edit->geometry().bottom() + 1 + Checksum_Edit->x();
    const int shrink = filePanel->height() - panelHeight;
    filePanel->resize(filePanel->width(), panelHeight);
    auto moveUpBelow = [shrink](QWidget* parent, int y) {
        for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->y() > y) child->move(child->x(), child->y() - shrink);
    };
    moveUpBelow(GroupBox1, panelBottom);
    const int groupBottom = GroupBox1->geometry().bottom();
    GroupBox1->resize(GroupBox1->width(), GroupBox1->height() - shrink);
    moveUpBelow(this, groupBottom);
    setFixedSize(GroupBox1->width(), height() - shrink);
}

void TSDL_Import_Form::SetSegmentFilePath(const std::string& path) {
    segmentFilePath_ = path;
}

void TSDL_Import_Form::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    if (QScreen* desktop = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(desktop->availableGeometry().center());
        move(frame.topLeft());
    }
    FormShow();
}

void TSDL_Import_Form::closeEvent(QCloseEvent* event) {
    if (isVisible()) done(QDialog::Rejected);
    event->accept();
}

void TSDL_Import_Form::reject() {
    if (purpose_ == Purpose::Edit)
        QDialog::reject();
    else
        OK_ButtonClick();
}

void TSDL_Import_Form::FormShow() {
    RunGuarded(prompts_, [this] {
        if (purpose_ == Purpose::Edit)
            EditShowSteps();
        else
            FormShowSteps();
    });
}

void TSDL_Import_Form::EditShowSteps() {
    // An absent attribute shows as empty; Ok then writes it as an import would.
    const auto text = [this](const char* name) {
        try {
            return edited_.AttributeText(name);
        } catch (const AppError&) {
            return std::string();
        }
    };
    MarkLabel(URL_Label, false);
    MarkCheckBox(Import_Server_CheckBox, false);
    MarkCheckBox(Import_Proxy_CheckBox, false);
    Import_Inc_Edit->setText(Q(text("FileName")));
    Size_StaticText->setText(Q(" File size: " + text("FileSize") + " bytes"));
    Remain_StaticText->setText(Q(" Download remains: " + text("Remains") + " bytes"));
    Import_URL_Edit->setText(Q(text("URL")));
    Import_Referer_Edit->setText(Q(text("Referer")));
    Checksum_Edit->setText(Q(text("Checksum")));
    MarkLabel(Checksum_Label, false);

    // Nothing of the entry edited before stays in a disabled edit.
    for (QLineEdit* edit :
         {Import_Server_Name_Edit, Import_Server_Pass_Edit, Import_Proxy_Server_Edit,
          Import_Proxy_Port_Edit, Import_Proxy_Name_Edit, Import_Proxy_Pass_Edit})
        edit->clear();
    const std::string authName = text("AuthName");
    Import_Server_CheckBox->setChecked(!authName.empty());
    UpdateServerEdits();
    if (!authName.empty()) {
        Import_Server_Name_Edit->setText(Q(authName));
        Import_Server_Pass_Edit->setText(Q(text("AuthPass")));
    }
    const std::string proxy = text("Proxy");
    Import_Proxy_CheckBox->setChecked(proxy.empty());
    UpdateProxyEdits();
    if (!proxy.empty()) {
        const auto [server, port] = SplitProxy(proxy);
        Import_Proxy_Server_Edit->setText(Q(server));
        Import_Proxy_Port_Edit->setText(Q(port));
        Import_Proxy_Name_Edit->setText(Q(text("ProxyName")));
        Import_Proxy_Pass_Edit->setText(Q(text("ProxyPass")));
    }
}

void TSDL_Import_Form::FormShowSteps() {
    ResetAddressGroups(address_);
    // A checksum belongs to one file: none is kept from the last import.
    Checksum_Edit->clear();
    MarkLabel(Checksum_Label, false);

    // Ok accepts only values read from this segment file: until a reading
    // succeeds it repeats the reading's error instead.
    values_.reset();
    try {
        values_ = ReadSegmentFile(segmentFilePath_);
    } catch (const std::exception& e) {
        readError_ = e.what();
        ClearValues();
        throw;
    }
    ShowValues(*values_);
}

void TSDL_Import_Form::ShowValues(const ImportValues& values) {
    Import_SDL_Edit->setText(Q(segmentFilePath_));
    Import_Inc_Edit->setText(Q(values.IncompletePath));
    Import_URL_Edit->clear();
    Size_StaticText->setText(Q(" File size: " + values.SizeText + " bytes"));
    Remain_StaticText->setText(Q(" Download remains: " + IntToText(values.Remains) + " bytes"));
    Seg_StringGrid->setRowCount(0);
    for (int column = 0; column < 2; ++column)
        if (QTableWidgetItem* item = Seg_StringGrid->horizontalHeaderItem(column))
            item->setTextAlignment(Qt::AlignCenter);
    Seg_StringGrid->setRowCount(static_cast<int>(values.Ranges.size()));
    int row = 0;
    for (const auto& [begin, end] : values.Ranges) {
        int column = 0;
        for (const std::string* text : {&begin, &end}) {
            auto* item = new QTableWidgetItem(Q(*text));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            Seg_StringGrid->setItem(row, column++, item);
        }
        ++row;
    }
    Seg_StaticText->setText(Q(" Segments count: " + IntToText(values.RangeCount)));
}

// After a failed reading the dialog shows the chosen segment file and no
// values, so nothing of an earlier import looks as if it belonged to it.
void TSDL_Import_Form::ClearValues() {
    Import_SDL_Edit->setText(Q(segmentFilePath_));
    Import_Inc_Edit->clear();
    Import_URL_Edit->clear();
    Size_StaticText->clear();
    Remain_StaticText->clear();
    Seg_StringGrid->setRowCount(0);
    Seg_StaticText->clear();
}

void TSDL_Import_Form::UpdateServerEdits() {
    ::UpdateServerEdits(address_);
}

void TSDL_Import_Form::UpdateProxyEdits() {
    ::UpdateProxyEdits(address_);
}

void TSDL_Import_Form::Import_Server_CheckBoxClick() {
    RunGuarded(prompts_, [this] { UpdateServerEdits(); });
}

void TSDL_Import_Form::Import_Proxy_CheckBoxClick() {
    RunGuarded(prompts_, [this] { UpdateProxyEdits(); });
}

void TSDL_Import_Form::OK_ButtonClick() {
    RunGuarded(prompts_, [this] {
        if (purpose_ == Purpose::Edit)
            EditOkSteps();
        else
            OkSteps();
    });
}

ImportInputs TSDL_Import_Form::Inputs() const {
    ImportInputs inputs;
    inputs.Url = S(Import_URL_Edit->text());
    inputs.Referer = S(Import_Referer_Edit->text());
    inputs.Checksum = S(Checksum_Edit->text());
    ReadAddressInputs(address_, inputs);
    return inputs;
}

void TSDL_Import_Form::EditOkSteps() {
    const ImportInputs inputs = Inputs();
    // Besides the URL, a group that an import would leave out is refused:
    // the entry has to stay resumable.
    const bool urlAccepted = UrlAccepted(inputs.Url);
    const AddressGaps gaps = MissingAddressFields(inputs);
    const bool checksumAccepted = ChecksumFieldAccepted(inputs.Checksum);
    if (!urlAccepted) MarkLabel(URL_Label, true);
    if (gaps.server) MarkCheckBox(Import_Server_CheckBox, true);
    if (gaps.proxy) MarkCheckBox(Import_Proxy_CheckBox, true);
    if (!checksumAccepted) MarkLabel(Checksum_Label, true);
    if (!urlAccepted || gaps.server || gaps.proxy || !checksumAccepted) return;
    MarkLabel(URL_Label, false);
    MarkLabel(Checksum_Label, false);
    MarkCheckBox(Import_Server_CheckBox, false);
    MarkCheckBox(Import_Proxy_CheckBox, false);

    EntryValues address;
    SetAddressValues(address, inputs);
    list_.ReplaceAddress(edited_, address);
    done(QDialog::Accepted);
}

void TSDL_Import_Form::OkSteps() {
    if (!values_) throw AppError(readError_);
    ImportValues& values = *values_;
    const ImportInputs inputs = Inputs();

    // Validation: a failed test marks its label (or the proxy's box); a
    // passed one keeps its look.
    const bool urlAccepted = UrlAccepted(inputs.Url);
    const bool fileFound = IncompleteFileExists(values.IncompletePath);
    const bool proxyAccepted = !ProxyServerHoldsColon(inputs);
    const bool checksumAccepted = ChecksumFieldAccepted(inputs.Checksum);
    if (!urlAccepted) MarkLabel(URL_Label, true);
    if (!fileFound) MarkLabel(Inc_Label, true);
    if (!proxyAccepted) MarkCheckBox(Import_Proxy_CheckBox, true);
    if (!checksumAccepted) MarkLabel(Checksum_Label, true);
    if (!urlAccepted || !fileFound || !proxyAccepted || !checksumAccepted) return;

    // The rename's target is tested before anything is opened or moved.
    const std::string target = RenameCheckBox->isChecked()
                                   ? RenameByUrlTarget(values.IncompletePath, inputs.Url)
                                   : values.IncompletePath;

    // Every field has passed: no mark of an earlier Ok stays on them when
    // a check below refuses the file.
    MarkLabel(URL_Label, false);
    MarkLabel(Inc_Label, false);
    MarkCheckBox(Import_Proxy_CheckBox, false);
    MarkLabel(Checksum_Label, false);

    // Every check that can refuse the import comes before the rename, so a
    // refused import leaves the user's file under its own name.
    const int64_t size = CompleteFileSize(values.SizeText);
    EntryValues entry = BuildEntryValues(values, inputs);
    entry.FileName = target;
    list_.CheckAppendable(entry);
    // Opened and locked before it is renamed: a file that a running download
    // writes keeps its name. The open file follows the rename.
    IncompleteFile file(values.IncompletePath);
    if (file.Length() < size) {
        file.Close();
        prompts_.AbortBox("Error", "Size of incomplete file is incorrect!");
        return;
    }
    CommitImport(file, values.IncompletePath, target, size, list_, entry);
    values.IncompletePath = target;
    done(QDialog::Accepted);
}
