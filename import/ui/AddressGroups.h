#pragma once

#include <QRect>

struct ImportInputs;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QWidget;

// The "Server options" and "Proxy options" groups that the import, the edit
// and the new-download dialogs share: the server's user name and password,
// and a proxy with its own credential, each behind its check box.
struct AddressGroups {
    QGroupBox *serverGroup, *proxyGroup;
    QCheckBox* serverBox; // "Server requires authorization"
    QLineEdit *serverName, *serverPass;
    QCheckBox* proxyBox; // "Use default proxy settings"
    QLineEdit *proxyServer, *proxyPort, *proxyName, *proxyPass;
};

// Builds both groups in `parent`, the server group with its top at `top` and
// the proxy group right below it; every label is its edit's buddy.
AddressGroups BuildAddressGroups(QWidget* parent, int top);

// Ticked: the server's edits are enabled and emptied; unticked: disabled,
// keeping their text.
void UpdateServerEdits(const AddressGroups& groups);
// Ticked: the proxy's edits are disabled, keeping their text; unticked:
// enabled and emptied.
void UpdateProxyEdits(const AddressGroups& groups);
// A new showing: the server box unticked, the proxy box ticked, no marks.
void ResetAddressGroups(const AddressGroups& groups);

// The groups' fields as the dialog's inputs (all but URL and referer).
void ReadAddressInputs(const AddressGroups& groups, ImportInputs& inputs);
