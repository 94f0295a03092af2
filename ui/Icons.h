#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

// The pictures of the activity log (13 x 13: received, requested, info,
// error) and of the download list's popup menu (16 x 16: play, pause,
// delete, edit), painted on a transparent background.
QPixmap LogStatePixmap(int index);
QPixmap PopupMenuPixmap(int index);

// The application's picture, size x size pixels: the popup menu's blue button
// with a white arrow pointing down onto a half-filled green progress bar. It
// is drawn in a 16-unit square, so every size shows the same picture.
QImage ApplicationIconImage(int size);
// The sizes the desktop's icon theme gets, and the window icon holds.
inline constexpr int kApplicationIconSizes[] = {16, 32, 48, 128, 256};
// The window icon of both windows and of the application.
QIcon ApplicationIcon();
