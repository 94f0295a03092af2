#include "app/ui/Icons.h"
#include "app/ui/MainUnit.h"
#include "app/ui/QtPrompts.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv) {
    // A peer that closes a connection must never end the program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilvane"));
    QApplication::setWindowIcon(ApplicationIcon());
    QtPrompts prompts;
    // List.xml lives beside the executable, whatever the working folder.
    TMainForm form(QApplication::applicationDirPath().toStdString() + "/List.xml", prompts);
    prompts.SetParent(&form);
    form.showMaximized();
    return QApplication::exec();
}
