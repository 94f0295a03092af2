#include "ui/WindowFont.h"

#include <QFile>
#include <QFontDatabase>

namespace {

const QString kTahoma = QStringLiteral("Tahoma");

// Loads Tahoma's regular face; true when the family is available.
//
// fonts-wine's bold file is left out on purpose. Its outlines are of regular
// weight while its advance widths are those of its bold bitmaps; the bitmaps
// are drawn only without antialiasing, so Qt draws thin glyphs on wide
// advances, and a path reads "/ tmp/ dl/ movie.sdl". Bold is made from the
// regular outlines instead, on the regular advances.
bool LoadTahoma() {
    const QString path = QStringLiteral("/usr/share/wine/fonts/tahoma.ttf");
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
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
