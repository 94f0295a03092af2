#pragma once

#include <QIcon>
#include <QPixmap>

// The pictures of the activity log (13 x 13: received, requested, info,
// error) and of the download list's popup menu (16 x 16: play, pause,
// delete), painted on a transparent background.
QPixmap LogStatePixmap(int index);
QPixmap PopupMenuPixmap(int index);
