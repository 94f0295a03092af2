#include "ui/WindowFont.h"

#include <QFile>
#include <QFontDatabase>

namespace {

const QString kTahoma = QStringLiteral("Tahoma");

// Loads Tahoma's regular and bold faces; true when the family is available.
bool LoadTahoma() {
    for (const char* file :
         {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
        const QString path = QString::fromLatin1(file);
        if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
    }
    return QFontDatabase::hasFamily(kTahoma);
}

} // namespace

QFont WindowFont() {
    static const bool haveTahoma = LoadTahoma();
    QFont font =
        haveTahoma ? QFont(kTahoma) : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}
