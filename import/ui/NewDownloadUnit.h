#pragma once

#include "import/ui/AddressGroups.h"

#include <QDialog>

#include <string>

class ListDocument;
class Prompts;
class ServerQuery;
class QLabel;
class QLineEdit;
class QPushButton;

// "New download": a URL, the file to save it as, and the referer, server
// credential and proxy as the import asks them. Ok checks the fields, asks
// the server (the dialog stays responsive; Cancel withdraws the question),
// and then makes the file ready and appends the entry: a new file at its
// full length, or a file that holds the beginning of the server's file,
// compared with the server's bytes before it is touched, lengthened to its
// full size. exec() returns Accepted only when the entry was appended; the
// caller adds its row, saves the list and starts the download.
class TNewDownloadForm : public QDialog {
    Q_OBJECT

public:
    TNewDownloadForm(ListDocument& list, Prompts& prompts, ServerQuery& query,
                     QWidget* parent = nullptr);

    // The URL the next showing starts with, and the Save as it proposes.
    void SetUrl(const std::string& url);
    // Ok is waiting for the server's answer.
    bool Asking() const { return asking_; }

    void FormShow();
    void OK_ButtonClick();
    void Cancel_ButtonClick();
    void Browse_ButtonClick();
    void reject() override;

    QLabel *URL_Label, *SaveAs_Label, *Checksum_Label, *Ask_StaticText;
    QLineEdit *URL_Edit, *SaveAs_Edit, *Referer_Edit, *Checksum_Edit;
    QPushButton *Browse_Button, *OK_Button, *Cancel_Button;
    AddressGroups Address{};

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildControls();
    void OkSteps();
    void ProposeSaveAs();
    // Whether a listed download already writes to `path`.
    bool Listed(const std::string& path) const;

    ListDocument& list_;
    Prompts& prompts_;
    ServerQuery& query_;
    bool asking_ = false;
    // Once the user typed or chose a Save as, the URL no longer proposes one.
    bool saveAsChosen_ = false;
};
