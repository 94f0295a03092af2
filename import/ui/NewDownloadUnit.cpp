#include "import/ui/NewDownloadUnit.h"

#include "common/AppError.h"
#include "common/Checksum.h"
#include "common/Texts.h"
#include "import/core/ImportLogic.h"
#include "import/core/NewDownload.h"
#include "import/ui/FormControls.h"
#include "list/ListDocument.h"
#include "ui/Icons.h"
#include "ui/WindowFont.h"
#include "ui/core/Prompts.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <tuple>

TNewDownloadForm::TNewDownloadForm(ListDocument& list, Prompts& prompts, ServerQuery& query,
                                   QWidget* parent)
    : QDialog(parent), list_(list), prompts_(prompts), query_(query) {
    setObjectName("New_Download_Form");
    setWindowTitle(QStringLiteral("New download"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFont(WindowFont());
    setWindowIcon(ApplicationIcon());
    BuildControls();

    connect(OK_Button, &QPushButton::clicked, this, [this] { OK_ButtonClick(); });
    connect(Cancel_Button, &QPushButton::clicked, this, [this] { Cancel_ButtonClick(); });
    connect(Browse_Button, &QPushButton::clicked, this, [this] { Browse_ButtonClick(); });
    connect(Address.serverBox, &QCheckBox::toggled, this,
            [this] { RunGuarded(prompts_, [this] { UpdateServerEdits(Address); }); });
    connect(Address.proxyBox, &QCheckBox::toggled, this,
            [this] { RunGuarded(prompts_, [this] { UpdateProxyEdits(Address); }); });
    connect(URL_Edit, &QLineEdit::textEdited, this, [this] { ProposeSaveAs(); });
    connect(SaveAs_Edit, &QLineEdit::textEdited, this, [this] { saveAsChosen_ = true; });
}

void TNewDownloadForm::BuildControls() {
    QGroupBox* fileGroup =
        NewGroup(this, "GroupBox1", QStringLiteral("File options"), {0, 0, 516, 236});
    QFrame* panel = NewFrame(fileGroup, {6, 13, 504, 192}, QFrame::Panel | QFrame::Raised);
    URL_Label = NewLabel(panel, "URL_Label", QStringLiteral("URL:"), 8, 6);
    URL_Edit = NewEdit(panel, "URL_Edit", {7, 22, 489, 21});
    SaveAs_Label = NewLabel(panel, "SaveAs_Label", QStringLiteral("Save as:"), 8, 52);
    SaveAs_Edit = NewEdit(panel, "SaveAs_Edit", {7, 68, 406, 21});
    Browse_Button = new QPushButton(QStringLiteral("Browse..."), panel);
    Browse_Button->setObjectName("Browse_Button");
    Browse_Button->setGeometry(421, 66, 75, 25);
    QLabel* refererLabel =
        NewLabel(panel, "Referer_Label", QStringLiteral("Use special referer:"), 8, 98);
    Referer_Edit = NewEdit(panel, "Referer_Edit", {7, 114, 489, 21});
    URL_Label->setBuddy(URL_Edit);
    SaveAs_Label->setBuddy(SaveAs_Edit);
    Checksum_Label =
        NewLabel(panel, "Checksum_Label", QStringLiteral("Checksum (optional):"), 8, 144);
    Checksum_Edit = NewEdit(panel, "Checksum_Edit", {7, 160, 489, 21});
    refererLabel->setBuddy(Referer_Edit);
    Checksum_Label->setBuddy(Checksum_Edit);
    Ask_StaticText = NewStaticText(fileGroup, "Ask_StaticText", {6, 210, 504, 19});

    Address = BuildAddressGroups(this, 236);

    std::tie(OK_Button, Cancel_Button) = NewOkCancelPanel(this, 436);
    setFixedSize(516, 476);
}

void TNewDownloadForm::SetUrl(const std::string& url) {
    URL_Edit->setText(Q(url));
    saveAsChosen_ = false;
    ProposeSaveAs();
}

void TNewDownloadForm::ProposeSaveAs() {
    if (saveAsChosen_) return;
    SaveAs_Edit->setText(Q(DownloadFolder() + "/" + ProposedFileName(S(URL_Edit->text()))));
}

void TNewDownloadForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TNewDownloadForm::FormShow() {
    RunGuarded(prompts_, [this] {
        ResetAddressGroups(Address);
        Referer_Edit->clear();
        Checksum_Edit->clear();
        MarkLabel(URL_Label, false);
        MarkLabel(SaveAs_Label, false);
        MarkLabel(Checksum_Label, false);
        MarkCheckBox(Address.serverBox, false);
        Ask_StaticText->clear();
        OK_Button->setEnabled(true);
        URL_Edit->setFocus();
    });
}

void TNewDownloadForm::Browse_ButtonClick() {
    RunGuarded(prompts_, [this] {
        const std::string chosen = prompts_.SaveFileName(S(SaveAs_Edit->text()));
        if (chosen.empty()) return;
        SaveAs_Edit->setText(Q(chosen));
        saveAsChosen_ = true;
    });
}

void TNewDownloadForm::Cancel_ButtonClick() {
    if (asking_) query_.Withdraw();
    done(QDialog::Rejected);
}

void TNewDownloadForm::reject() {
    Cancel_ButtonClick();
}

void TNewDownloadForm::OK_ButtonClick() {
    if (asking_) return;
    RunGuarded(prompts_, [this] { OkSteps(); });
}

bool TNewDownloadForm::Listed(const std::string& path) const {
    for (int row = 0; row < list_.EntryCount(); ++row)
        if (list_.FindEntry(row).AttributeText("FileName") == path) return true;
    return false;
}

void TNewDownloadForm::OkSteps() {
    ImportInputs inputs;
    inputs.Url = S(URL_Edit->text());
    inputs.Referer = S(Referer_Edit->text());
    inputs.Checksum = S(Checksum_Edit->text());
    ReadAddressInputs(Address, inputs);
    const std::string path = S(SaveAs_Edit->text());

    // A failed test marks its label (or the proxy's box); a passed one
    // loses its mark.
    const bool urlAccepted = UrlAccepted(inputs.Url);
    const bool saveAsAccepted = SaveAsAccepted(path);
    // A ticked box without what it asks for would give an entry that no
    // run can start, as would a proxy server holding a colon.
    const AddressGaps gaps = MissingAddressFields(inputs);
    const bool checksumAccepted = ChecksumFieldAccepted(inputs.Checksum);
    MarkLabel(URL_Label, !urlAccepted);
    MarkLabel(SaveAs_Label, !saveAsAccepted);
    MarkCheckBox(Address.serverBox, gaps.server);
    MarkCheckBox(Address.proxyBox, gaps.proxy);
    MarkLabel(Checksum_Label, !checksumAccepted);
    if (!urlAccepted || !saveAsAccepted || gaps.server || gaps.proxy || !checksumAccepted) return;
    // Two downloads into one file would undo each other's bytes.
    if (Listed(path)) throw AppError("The file " + path + " is already a download in the list");
    // Texts the list cannot keep are refused before the server is asked.
    list_.CheckAppendable(NewDownloadEntry(path, "1", 0, inputs));

    const std::optional<std::int64_t> held = HeldLength(path);
    Ask_StaticText->setText(QStringLiteral(" Asking the server for the file..."));
    OK_Button->setEnabled(false);
    asking_ = true;
    ServerReply reply;
    {
        // However the question ends, the dialog takes an Ok again.
        struct Answered {
            TNewDownloadForm& form;
            ~Answered() {
                form.asking_ = false;
                form.OK_Button->setEnabled(true);
                form.Ask_StaticText->clear();
            }
        } answered{*this};
        reply = query_.Ask(inputs, path, held.value_or(0));
    }
    if (reply.kind == ServerReply::Kind::Withdrawn) return;
    if (reply.kind == ServerReply::Kind::Refused) {
        prompts_.ErrorBox(reply.message);
        return;
    }
    const std::int64_t size = StrToInt64(reply.sizeText);
    if (held && *held >= size) {
        prompts_.ErrorBox(AlreadyWholeText(path));
        return;
    }
    CommitNewDownload(path, held, list_,
                      NewDownloadEntry(path, reply.sizeText, held.value_or(0), inputs));
    done(QDialog::Accepted);
}
