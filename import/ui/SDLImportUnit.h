#pragma once

#include "import/core/SegmentFile.h"
#include "import/ui/AddressGroups.h"
#include "list/ListEntry.h"

#include <QDialog>

#include <optional>
#include <string>

class ListDocument;
class Prompts;
struct ImportInputs;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

// The import dialog: shows what a segment file holds, asks for the URL, the
// referer, server credentials and a proxy, and on Ok checks and cuts the
// incomplete file and appends the new entry to the list document. exec()
// returns Accepted only when Ok appended the entry; the caller then adds the
// row of the document's last entry and saves the list.
//
// Made for editing, the same dialog changes the address of one existing
// entry instead: its URL, referer, server credentials and proxy, filled from
// the entry. The segment file, the rename and the segment grid are hidden,
// the incomplete file's name and size are shown read-only, Esc cancels, and
// Ok writes the entry and saves the list, or leaves everything as it was.
class TSDL_Import_Form : public QDialog {
    Q_OBJECT

public:
    enum class Purpose { Import, Edit };

    TSDL_Import_Form(ListDocument& list, Prompts& prompts, QWidget* parent = nullptr,
                     Purpose purpose = Purpose::Import);

    // The entry the next showing of an edit dialog fills the controls from.
    void SetEditedEntry(ListEntry entry) { edited_ = entry; }

    // The segment file the next showing reads.
    void SetSegmentFilePath(const std::string& path);
    const std::string& SegmentFilePath() const { return segmentFilePath_; }
    // The import values of the last showing, or none when its reading failed.
    const std::optional<ImportValues>& Values() const { return values_; }

    // Handlers. Each catches its own errors and shows them in the standard
    // error box, so none escapes into Qt.
    void FormShow();
    void OK_ButtonClick();
    void Import_Server_CheckBoxClick();
    void Import_Proxy_CheckBoxClick();
    void UpdateServerEdits();
    void UpdateProxyEdits();

    // Esc presses Ok, as Enter does, in the import; it cancels an edit.
    void reject() override;

    QGroupBox *GroupBox1, *GroupBox2, *GroupBox3, *GroupBox4;
    QLabel *SEG_Label, *Inc_Label, *URL_Label;
    QLineEdit *Import_SDL_Edit, *Import_Inc_Edit, *Import_URL_Edit, *Import_Referer_Edit;
    QCheckBox* RenameCheckBox;
    QLabel *Size_StaticText, *Remain_StaticText;
    QCheckBox* Import_Server_CheckBox;
    QLineEdit *Import_Server_Name_Edit, *Import_Server_Pass_Edit;
    QCheckBox* Import_Proxy_CheckBox;
    QLineEdit *Import_Proxy_Server_Edit, *Import_Proxy_Port_Edit, *Import_Proxy_Name_Edit,
        *Import_Proxy_Pass_Edit;
    QTableWidget* Seg_StringGrid;
    QLabel* Seg_StaticText;
    QLabel* Checksum_Label;
    QLineEdit* Checksum_Edit;
    QPushButton *OK_Button, *Cancel_Button;

protected:
    void showEvent(QShowEvent* event) override;
    // Only the close box and Cancel_Button dismiss the dialog without an entry.
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void FormShowSteps();
    void OkSteps();
    void EditShowSteps();
    void EditOkSteps();
    void ShowForEditing();
    ImportInputs Inputs() const;
    void ShowValues(const ImportValues& values);
    void ClearValues();

    ListDocument& list_;
    Prompts& prompts_;
    std::string segmentFilePath_;
    std::optional<ImportValues> values_;
    std::string readError_;
    Purpose purpose_;
    ListEntry edited_;
    AddressGroups address_{};
};
