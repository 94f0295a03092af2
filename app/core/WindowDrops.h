#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>
#include <string>

// The path of the segment file a drop carries, when the drop is exactly one
// local file whose name ends in ".sdl" (in any case, as the open-file
// dialog's filter matches it); none for anything else.
std::optional<std::string> DroppedSegmentFile(const QList<QUrl>& urls);

// The web address a drop carries, as a browser drags a link: exactly one
// http or https URL, as a URL list or as one line of text; none for
// anything else.
std::optional<std::string> DroppedWebAddress(const QList<QUrl>& urls, const QString& text);

// Whether a text is an http or https URL (the scheme in any case) with a
// host, on one line: what a command line or a drop may hand to New download.
bool IsWebAddress(const QString& text);
