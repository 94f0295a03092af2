#include "app/core/WindowDrops.h"

std::optional<std::string> DroppedSegmentFile(const QList<QUrl>& urls) {
    if (urls.size() != 1 || !urls.front().isLocalFile()) return std::nullopt;
    const QString path = urls.front().toLocalFile();
    if (!path.endsWith(QStringLiteral(".sdl"), Qt::CaseInsensitive)) return std::nullopt;
    return path.toStdString();
}

bool IsWebAddress(const QString& text) {
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) return false;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

std::optional<std::string> DroppedWebAddress(const QList<QUrl>& urls, const QString& text) {
    if (urls.size() == 1) {
        const QString url = urls.front().toString(QUrl::FullyEncoded);
        if (IsWebAddress(url)) return url.toStdString();
        return std::nullopt;
    }
    if (!urls.isEmpty()) return std::nullopt;
    const QString line = text.trimmed();
    if (IsWebAddress(line)) return line.toStdString();
    return std::nullopt;
}
