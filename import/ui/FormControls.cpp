#include "import/ui/FormControls.h"

#include "ui/WindowFont.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

const QColor kNavy(0, 0, 128);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);

} // namespace

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

void MarkLabel(QLabel* label, bool marked) {
    SetLook(label, marked, marked ? kRed : kBlack);
    label->adjustSize();
}

void MarkCheckBox(QCheckBox* box, bool marked) {
    SetLook(box, marked, marked ? kRed : kBlack);
    box->adjustSize();
}

bool IsMarked(const QWidget* widget) {
    return widget->font().bold() && widget->palette().color(QPalette::WindowText) == kRed;
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
    SetLook(group, true, kNavy);
    return group;
}

std::pair<QPushButton*, QPushButton*> NewOkCancelPanel(QWidget* parent, int top) {
    QFrame* panel = NewFrame(parent, {0, top, 516, 40}, QFrame::Panel | QFrame::Raised);
    auto* ok = new QPushButton(QStringLiteral("Ok"), panel);
    ok->setObjectName("OK_Button");
    ok->setGeometry(100, 7, 75, 25);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), panel);
    cancel->setObjectName("Cancel_Button");
    cancel->setGeometry(340, 7, 75, 25);
    return {ok, cancel};
}

void SetEditEnabled(QLineEdit* edit, bool enabled) {
    const QPalette standard = QApplication::palette(edit);
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, standard.color(enabled ? QPalette::Base : QPalette::Button));
    edit->setEnabled(enabled);
    if (enabled) edit->clear();
    edit->setPalette(palette);
}
