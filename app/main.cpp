#include "app/core/ListGuard.h"
#include "app/core/ListLocation.h"
#include "app/core/WindowDrops.h"
#include "app/ui/HandOver.h"
#include "app/ui/MainUnit.h"
#include "ui/Icons.h"
#include "ui/QtPrompts.h"

#include <QApplication>
#include <QStandardPaths>
#include <QStringList>

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
    // `quilvane URL` opens New download with the URL (a launcher passes the
    // links it is given the same way).
    std::string url;
    const QStringList arguments = QApplication::arguments().mid(1);
    if (arguments.size() == 1 && IsWebAddress(arguments.front())) {
        url = arguments.front().toStdString();
    } else if (!arguments.isEmpty()) {
        prompts.ErrorBox("Quilvane takes one http or https URL to download; \"" +
                         arguments.join(QLatin1Char(' ')).toStdString() + "\" is not one");
    }
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
        switch (guard->Take(url)) {
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
    ServeHandOver(*guard, form, prompts);
    prompts.SetParent(&form);
    form.showMaximized();
    if (!url.empty()) OpenNewDownloadLater(form, prompts, url);
    return QApplication::exec();
}
