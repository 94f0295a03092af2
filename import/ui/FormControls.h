#pragma once

#include <QColor>
#include <QFont>
#include <QRect>
#include <QString>

#include <string>
#include <utility>

class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The controls the download dialogs build alike, placed at fixed positions in
// the dialogs' own font, and the marks a refused field gets.

// The window font, bold or not.
QFont WithBold(QFont font, bool bold);
// Sets a widget's font (bold or not) and its text colour.
void SetLook(QWidget* widget, bool bold, const QColor& textColor);
// A marked label is bold and red; an unmarked one regular and black. The
// label grows with its bold caption.
void MarkLabel(QLabel* label, bool marked);
// A check box whose box leaves the entry unresumable is marked as a label is.
void MarkCheckBox(QCheckBox* box, bool marked);
bool IsMarked(const QWidget* widget);

QLabel* NewLabel(QWidget* parent, const char* name, const QString& text, int x, int y);
QLineEdit* NewEdit(QWidget* parent, const char* name, QRect geometry);
QCheckBox* NewCheckBox(QWidget* parent, const char* name, const QString& text, int x, int y);
QFrame* NewFrame(QWidget* parent, QRect geometry, int style);
// A sunken one-line text that the dialog writes.
QLabel* NewStaticText(QWidget* parent, const char* name, QRect geometry);
// A group whose caption and every control inside are bold and navy unless
// they set their own look.
QGroupBox* NewGroup(QWidget* parent, const char* name, const QString& title, QRect geometry);
// The raised panel at `top` with the buttons "Ok" (the default button) and
// "Cancel", left to right.
std::pair<QPushButton*, QPushButton*> NewOkCancelPanel(QWidget* parent, int top);
// An enabled edit has the window colour and is emptied; a disabled one has
// the button face and keeps its text.
void SetEditEnabled(QLineEdit* edit, bool enabled);

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}
inline std::string S(const QString& text) {
    return text.toStdString();
}
