#include "import/ui/SDLImportUnit.h"

#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "import/core/ImportLogic.h"
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

namespace {

const QColor kNavy(0, 0, 128);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);

QFont WithBold(QFont font, bool bold) {
    font.setBold(bold);
    return font;
}

void SetLook(QWidget* widget, bool bold, const QColor& textColor) {
    widget->setFont(WithBold(WindowFont(), bold));
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, textColor);
    palette.setColor(QPalette::Text, textColor);
    widget->setPalette(palette);
}

// A marked label is bold and red; an unmarked one regular and black. The
// label grows with its bold caption.
void MarkLabel(QLabel* label, bool marked) {
    SetLook(label, marked, marked ? kRed : kBlack);
    label->adjustSize();
}

// A check box whose box leaves the entry unresumable is marked as a label is.
void MarkCheckBox(QCheckBox* box, bool marked) {
    SetLook(box, marked, marked ? kRed : kBlack);
    box->adjustSize();
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(x, y);
    MarkLabel(label, false);
    return label;
}

QLineEdit* NewEdit(QWidget* parent, const char* name, QRect geometry) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setGeometry(geometry);
    return edit;
}

QCheckBox* NewCheckBox(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->move(x, y);
    box->adjustSize();
    return box;
}

QFrame* NewFrame(QWidget* parent, QRect geometry, int style) {
    auto* frame = new QFrame(parent);
    frame->setFrameStyle(style);
    frame->setGeometry(geometry);
    return frame;
}

QLabel* NewStaticText(QWidget* parent, const char* name, QRect geometry) {
    auto* text = new QLabel(parent);
    text->setObjectName(name);
    text->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SetLook(text, false, kBlack);
    text->setGeometry(geometry);
    return text;
}

QGroupBox* NewGroup(QWidget* parent, const char* name, const QString& title, QRect geometry) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(name);
    group->setGeometry(geometry);
    // The caption and every control inside take this font and colour unless
    // they set their own.
    SetLook(group, true, kNavy);
    return group;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
std::string S(const QString& text) {
    return text.toStdString();
}

} // namespace

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

    // Server options
    GroupBox4 = NewGroup(this, "GroupBox4", QStringLiteral("Server options"), {0, 265, 516, 86});
    Import_Server_CheckBox = NewCheckBox(GroupBox4, "Import_Server_CheckBox",
                                         QStringLiteral("Server requires authorization"), 7, 18);
    SetLook(Import_Server_CheckBox, false, kBlack);
    QFrame* serverPanel = NewFrame(GroupBox4, {6, 41, 504, 38}, QFrame::Panel | QFrame::Raised);
    QLabel* serverNameLabel =
        NewLabel(serverPanel, "Server_Name_Label", QStringLiteral("Username:"), 8, 11);
    Import_Server_Name_Edit = NewEdit(serverPanel, "Import_Server_Name_Edit", {66, 8, 175, 21});
    QLabel* serverPassLabel =
        NewLabel(serverPanel, "Server_Pass_Label", QStringLiteral("Password:"), 261, 11);
    Import_Server_Pass_Edit = NewEdit(serverPanel, "Import_Server_Pass_Edit", {319, 8, 175, 21});
    serverNameLabel->setBuddy(Import_Server_Name_Edit);
    serverPassLabel->setBuddy(Import_Server_Pass_Edit);

    // Proxy options
    GroupBox3 = NewGroup(this, "GroupBox3", QStringLiteral("Proxy options"), {0, 351, 516, 114});
    Import_Proxy_CheckBox = NewCheckBox(GroupBox3, "Import_Proxy_CheckBox",
                                        QStringLiteral("Use default proxy settings"), 7, 18);
    SetLook(Import_Proxy_CheckBox, false, kBlack);
    Import_Proxy_CheckBox->setChecked(true);
    NewFrame(GroupBox3, {6, 41, 251, 66}, QFrame::Box | QFrame::Sunken);
    NewFrame(GroupBox3, {259, 41, 251, 66}, QFrame::Box | QFrame::Sunken);
    QLabel* proxyServerLabel =
        NewLabel(GroupBox3, "Proxy_Server_Label", QStringLiteral("Server:"), 12, 52);
    Import_Proxy_Server_Edit = NewEdit(GroupBox3, "Import_Proxy_Server_Edit", {54, 49, 195, 21});
    QLabel* proxyPortLabel =
        NewLabel(GroupBox3, "Proxy_Port_Label", QStringLiteral("Port:"), 12, 81);
    Import_Proxy_Port_Edit = NewEdit(GroupBox3, "Import_Proxy_Port_Edit", {54, 78, 75, 21});
    QLabel* proxyNameLabel =
        NewLabel(GroupBox3, "Proxy_Name_Label", QStringLiteral("Username:"), 265, 52);
    Import_Proxy_Name_Edit = NewEdit(GroupBox3, "Import_Proxy_Name_Edit", {325, 49, 175, 21});
    QLabel* proxyPassLabel =
        NewLabel(GroupBox3, "Proxy_Pass_Label", QStringLiteral("Password:"), 265, 81);
    Import_Proxy_Pass_Edit = NewEdit(GroupBox3, "Import_Proxy_Pass_Edit", {325, 78, 175, 21});
    proxyServerLabel->setBuddy(Import_Proxy_Server_Edit);
    proxyPortLabel->setBuddy(Import_Proxy_Port_Edit);
    proxyNameLabel->setBuddy(Import_Proxy_Name_Edit);
    proxyPassLabel->setBuddy(Import_Proxy_Pass_Edit);

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

    // Button panel
    QFrame* buttonPanel = NewFrame(this, {0, 469, 516, 40}, QFrame::Panel | QFrame::Raised);
    OK_Button = new QPushButton(QStringLiteral("Ok"), buttonPanel);
    OK_Button->setObjectName("OK_Button");
    OK_Button->setGeometry(100, 7, 75, 25);
    OK_Button->setDefault(true);
    Cancel_Button = new QPushButton(QStringLiteral("Cancel"), buttonPanel);
    Cancel_Button->setObjectName("Cancel_Button");
    Cancel_Button->setGeometry(340, 7, 75, 25);
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
    for (QWidget* child : filePanel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        child->move(child->x(), child->y() - topRow);
    const int panelBottom = filePanel->geometry().bottom();
    const int panelHeight = Import_Referer_Edit->geometry().bottom() + 1 + Import_Referer_Edit->x();
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
    Import_Server_CheckBox->setChecked(false);
    Import_Proxy_CheckBox->setChecked(true);
    // Ticked, the proxy box has nothing left to refuse.
    MarkCheckBox(Import_Proxy_CheckBox, false);
    UpdateServerEdits();
    UpdateProxyEdits();

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

void TSDL_Import_Form::SetEditEnabled(QLineEdit* edit, bool enabled) {
    // An enabled edit has the window colour, a disabled one the button face.
    const QPalette standard = QApplication::palette(edit);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, standard.color(enabled ? QPalette::Base : QPalette::Button));
    edit->setEnabled(enabled);
    if (enabled) edit->clear();
    edit->setPalette(palette);
}

void TSDL_Import_Form::UpdateServerEdits() {
    const bool ticked = Import_Server_CheckBox->isChecked();
    for (QLineEdit* edit : {Import_Server_Name_Edit, Import_Server_Pass_Edit})
        SetEditEnabled(edit, ticked);
}

void TSDL_Import_Form::UpdateProxyEdits() {
    const bool ticked = Import_Proxy_CheckBox->isChecked();
    for (QLineEdit* edit : {Import_Proxy_Server_Edit, Import_Proxy_Port_Edit,
                            Import_Proxy_Name_Edit, Import_Proxy_Pass_Edit})
        SetEditEnabled(edit, !ticked);
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
    inputs.ServerAuthorization = Import_Server_CheckBox->isChecked();
    inputs.ServerName = S(Import_Server_Name_Edit->text());
    inputs.ServerPass = S(Import_Server_Pass_Edit->text());
    inputs.DefaultProxy = Import_Proxy_CheckBox->isChecked();
    inputs.ProxyServer = S(Import_Proxy_Server_Edit->text());
    inputs.ProxyPort = S(Import_Proxy_Port_Edit->text());
    inputs.ProxyName = S(Import_Proxy_Name_Edit->text());
    inputs.ProxyPass = S(Import_Proxy_Pass_Edit->text());
    return inputs;
}

void TSDL_Import_Form::EditOkSteps() {
    const ImportInputs inputs = Inputs();
    // Besides the URL, a group that an import would leave out is refused:
    // the entry has to stay resumable.
    const bool urlAccepted = UrlAccepted(inputs.Url);
    const AddressGaps gaps = MissingAddressFields(inputs);
    if (!urlAccepted) MarkLabel(URL_Label, true);
    if (gaps.server) MarkCheckBox(Import_Server_CheckBox, true);
    if (gaps.proxy) MarkCheckBox(Import_Proxy_CheckBox, true);
    if (!urlAccepted || gaps.server || gaps.proxy) return;
    MarkLabel(URL_Label, false);
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
    if (!urlAccepted) MarkLabel(URL_Label, true);
    if (!fileFound) MarkLabel(Inc_Label, true);
    if (!proxyAccepted) MarkCheckBox(Import_Proxy_CheckBox, true);
    if (!urlAccepted || !fileFound || !proxyAccepted) return;

    // The rename's target is tested before anything is opened or moved.
    const std::string target = RenameCheckBox->isChecked()
                                   ? RenameByUrlTarget(values.IncompletePath, inputs.Url)
                                   : values.IncompletePath;

    // Every field has passed: no mark of an earlier Ok stays on them when
    // a check below refuses the file.
    MarkLabel(URL_Label, false);
    MarkLabel(Inc_Label, false);
    MarkCheckBox(Import_Proxy_CheckBox, false);

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
