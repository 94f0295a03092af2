// Writes the application icon as PNG files for the desktop's icon theme, one
// per size, from the same drawing the windows show:
//   quilvane_icon_files <folder>   writes <folder>/<size>.png for every size
#include "ui/Icons.h"

#include <QDir>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: quilvane_icon_files <folder>\n", stderr);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create the folder %s\n", argv[1]);
        return 1;
    }
    for (int size : kApplicationIconSizes) {
        const QString path = folder + QStringLiteral("/%1.png").arg(size);
        if (!ApplicationIconImage(size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
