#include "ui/QtPrompts.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace {

QWidget* Owner(QWidget* parent) {
    QWidget* active = QApplication::activeModalWidget();
    return active ? active : parent;
}

void Show(QWidget* parent, QMessageBox::Icon icon, const QString& title, const std::string& message,
          QMessageBox::StandardButton button) {
    QMessageBox box(icon, title, QString::fromStdString(message), button, Owner(parent));
    box.exec();
}

} // namespace

void QtPrompts::ErrorBox(const std::string& message) {
    Show(parent_, QMessageBox::Critical, QStringLiteral("Quilvane"), StandardErrorText(message),
         QMessageBox::Ok);
}

void QtPrompts::PlainBox(const std::string& message) {
    Show(parent_, QMessageBox::NoIcon, QStringLiteral("Quilvane"), message, QMessageBox::Ok);
}

void QtPrompts::AbortBox(const std::string& title, const std::string& message) {
    Show(parent_, QMessageBox::Critical, QString::fromStdString(title), message,
         QMessageBox::Abort);
}

std::string QtPrompts::OpenFileName(const OpenFileOptions& options) {
    QFileDialog dialog(Owner(parent_));
    dialog.setObjectName("SDLImportDialog");
    dialog.setFileMode(QFileDialog::AnyFile); // a typed name of a missing file is accepted
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(QString::fromStdString(options.filter));
    dialog.setDefaultSuffix(QString::fromStdString(options.defaultExtension));
    if (options.showHidden) dialog.setFilter(dialog.filter() | QDir::Hidden);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first().toStdString();
}

std::string QtPrompts::SaveFileName(const std::string& proposed) {
    QFileDialog dialog(Owner(parent_));
    dialog.setObjectName("SaveAsDialog");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // An existing file is continued, not overwritten: no question about it.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(QString::fromStdString(proposed));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first().toStdString();
}
