#include "import/ui/AddressGroups.h"

#include "import/core/ImportLogic.h"
#include "import/ui/FormControls.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

AddressGroups BuildAddressGroups(QWidget* parent, int top) {
    AddressGroups g{};
    g.serverGroup =
        NewGroup(parent, "GroupBox4", QStringLiteral("Server options"), {0, top, 516, 86});
    g.serverBox = NewCheckBox(g.serverGroup, "Import_Server_CheckBox",
                              QStringLiteral("Server requires authorization"), 7, 18);
    MarkCheckBox(g.serverBox, false);
    QFrame* serverPanel = NewFrame(g.serverGroup, {6, 41, 504, 38}, QFrame::Panel | QFrame::Raised);
    QLabel* serverNameLabel =
        NewLabel(serverPanel, "Server_Name_Label", QStringLiteral("Username:"), 8, 11);
    g.serverName = NewEdit(serverPanel, "Import_Server_Name_Edit", {66, 8, 175, 21});
    QLabel* serverPassLabel =
        NewLabel(serverPanel, "Server_Pass_Label", QStringLiteral("Password:"), 261, 11);
    g.serverPass = NewEdit(serverPanel, "Import_Server_Pass_Edit", {319, 8, 175, 21});
    serverNameLabel->setBuddy(g.serverName);
    serverPassLabel->setBuddy(g.serverPass);

    g.proxyGroup =
        NewGroup(parent, "GroupBox3", QStringLiteral("Proxy options"), {0, top + 86, 516, 114});
    g.proxyBox = NewCheckBox(g.proxyGroup, "Import_Proxy_CheckBox",
                             QStringLiteral("Use default proxy settings"), 7, 18);
    MarkCheckBox(g.proxyBox, false);
    g.proxyBox->setChecked(true);
    NewFrame(g.proxyGroup, {6, 41, 251, 66}, QFrame::Box | QFrame::Sunken);
    NewFrame(g.proxyGroup, {259, 41, 251, 66}, QFrame::Box | QFrame::Sunken);
    QLabel* proxyServerLabel =
        NewLabel(g.proxyGroup, "Proxy_Server_Label", QStringLiteral("Server:"), 12, 52);
    g.proxyServer = NewEdit(g.proxyGroup, "Import_Proxy_Server_Edit", {54, 49, 195, 21});
    QLabel* proxyPortLabel =
        NewLabel(g.proxyGroup, "Proxy_Port_Label", QStringLiteral("Port:"), 12, 81);
    g.proxyPort = NewEdit(g.proxyGroup, "Import_Proxy_Port_Edit", {54, 78, 75, 21});
    QLabel* proxyNameLabel =
        NewLabel(g.proxyGroup, "Proxy_Name_Label", QStringLiteral("Username:"), 265, 52);
    g.proxyName = NewEdit(g.proxyGroup, "Import_Proxy_Name_Edit", {325, 49, 175, 21});
    QLabel* proxyPassLabel =
        NewLabel(g.proxyGroup, "Proxy_Pass_Label", QStringLiteral("Password:"), 265, 81);
    g.proxyPass = NewEdit(g.proxyGroup, "Import_Proxy_Pass_Edit", {325, 78, 175, 21});
    proxyServerLabel->setBuddy(g.proxyServer);
    proxyPortLabel->setBuddy(g.proxyPort);
    proxyNameLabel->setBuddy(g.proxyName);
    proxyPassLabel->setBuddy(g.proxyPass);
    return g;
}

void UpdateServerEdits(const AddressGroups& groups) {
    const bool ticked = groups.serverBox->isChecked();
    for (QLineEdit* edit : {groups.serverName, groups.serverPass})
        SetEditEnabled(edit, ticked);
}

void UpdateProxyEdits(const AddressGroups& groups) {
    const bool ticked = groups.proxyBox->isChecked();
    for (QLineEdit* edit :
         {groups.proxyServer, groups.proxyPort, groups.proxyName, groups.proxyPass})
        SetEditEnabled(edit, !ticked);
}

void ResetAddressGroups(const AddressGroups& groups) {
    groups.serverBox->setChecked(false);
    groups.proxyBox->setChecked(true);
    // Ticked, the proxy box has nothing left to refuse.
    MarkCheckBox(groups.proxyBox, false);
    UpdateServerEdits(groups);
    UpdateProxyEdits(groups);
}

void ReadAddressInputs(const AddressGroups& groups, ImportInputs& inputs) {
    inputs.ServerAuthorization = groups.serverBox->isChecked();
    inputs.ServerName = S(groups.serverName->text());
    inputs.ServerPass = S(groups.serverPass->text());
    inputs.DefaultProxy = groups.proxyBox->isChecked();
    inputs.ProxyServer = S(groups.proxyServer->text());
    inputs.ProxyPort = S(groups.proxyPort->text());
    inputs.ProxyName = S(groups.proxyName->text());
    inputs.ProxyPass = S(groups.proxyPass->text());
}
