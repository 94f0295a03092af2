#include "app/core/SegmentFileDrop.h"

std::optional<std::string> DroppedSegmentFile(const QList<QUrl>& urls) {
    if (urls.size() != 1 || !urls.front().isLocalFile()) return std::nullopt;
    const QString path = urls.front().toLocalFile();
    if (!path.endsWith(QStringLiteral(".sdl"), Qt::CaseInsensitive)) return std::nullopt;
    return path.toStdString();
}
