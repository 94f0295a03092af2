#pragma once

#include "app/core/UserOptions.h"

#include <QDialog>

class QPushButton;
class QSpinBox;

// File > Options: the connections one download may use and a speed limit
// over all of them. It only shows and returns the values; the window keeps
// and applies them.
class TOptionsForm : public QDialog {
    Q_OBJECT

public:
    explicit TOptionsForm(QWidget* parent = nullptr);

    void Show(const UserOptions& options);
    UserOptions Chosen() const;

    QSpinBox* ConnectionsSpin;
    QSpinBox* LimitSpin;
    QPushButton* OkButton;
    QPushButton* CancelButton;
};
