#include "app/core/ListGuard.h"
#include "app/core/ListLocation.h"
#include "app/ui/BringToFront.h"
#include "app/ui/MainUnit.h"
#include "ui/Icons.h"
#include "ui/QtPrompts.h"

#include <QApplication>
#include <QStandardPaths>

#include <csignal>
#include <exception>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    // A peer that closes a connection must never end the program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilvane"));
    QApplication::setWindowIcon(ApplicationIcon());
    QtPrompts prompts;
    // Beside the executable, whatever the working folder; the installed
    // program keeps it in the user's data folder. A list that is a link is
    // followed to its target here, once.
    const ListPlaces places{
        QApplication::applicationDirPath().toStdString(), QV_INSTALL_BINDIR,
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString()};
    std::string listPath;
    try {
        listPath = ListPath(places);
    } catch (const std::exception& e) {
        // Without its folder the program could keep nothing it is given.
        prompts.ErrorBox(e.what());
        return 1;
    }
    // One program per list: a later start brings the first one's window to
    // the front and ends, before it reads anything of the list.
    std::optional<ListGuard> guard;
    try {
        guard.emplace(listPath);
        switch (guard->Take()) {
        case ListGuard::Start::Holder:
            break;
        case ListGuard::Start::HandedOver:
            return 0;
        case ListGuard::Start::NoAnswer:
            prompts.ErrorBox(guard->NoAnswerMessage());
            return 1;
        }
    } catch (const std::exception& e) {
        prompts.ErrorBox(e.what());
        return 1;
    }
    TMainForm form(listPath, prompts);
    guard->SetRaiseHandler([&form] { BringToFront(form); });
    prompts.SetParent(&form);
    form.showMaximized();
    return QApplication::exec();
}
