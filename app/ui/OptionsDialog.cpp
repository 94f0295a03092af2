#include "app/ui/OptionsDialog.h"

#include "ui/WindowFont.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

TOptionsForm::TOptionsForm(QWidget* parent) : QDialog(parent) {
    setObjectName("OptionsForm");
    setWindowTitle(QStringLiteral("Options"));
    setFont(WindowFont());

    ConnectionsSpin = new QSpinBox(this);
    ConnectionsSpin->setObjectName("ConnectionsSpin");
    ConnectionsSpin->setRange(UserOptions::kMinConnections, UserOptions::kMaxConnections);
    LimitSpin = new QSpinBox(this);
    LimitSpin->setObjectName("LimitSpin");
    LimitSpin->setRange(0, UserOptions::kMaxLimitKiB);
    // 0 reads as what it means.
    LimitSpin->setSpecialValueText(QStringLiteral("No limit"));
    LimitSpin->setGroupSeparatorShown(true);
    // Wide enough for the largest value, typed in full.
    for (QSpinBox* spin : {ConnectionsSpin, LimitSpin})
        spin->setMinimumWidth(spin->fontMetrics().horizontalAdvance(QStringLiteral("1,000,000")) +
                              48);

    auto* connectionsLabel = new QLabel(QStringLiteral("Connections per download:"), this);
    connectionsLabel->setBuddy(ConnectionsSpin);
    auto* limitLabel = new QLabel(QStringLiteral("Limit download speed (KiB/s):"), this);
    limitLabel->setBuddy(LimitSpin);
    auto* fields = new QFormLayout;
    fields->addRow(connectionsLabel, ConnectionsSpin);
    fields->addRow(limitLabel, LimitSpin);

    OkButton = new QPushButton(QStringLiteral("Ok"), this);
    OkButton->setObjectName("OkButton");
    OkButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName("CancelButton");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TOptionsForm::Show(const UserOptions& options) {
    ConnectionsSpin->setValue(options.connections);
    LimitSpin->setValue(options.limitKiB);
}

UserOptions TOptionsForm::Chosen() const {
    return {ConnectionsSpin->value(), LimitSpin->value()};
}
