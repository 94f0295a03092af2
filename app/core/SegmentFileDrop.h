#pragma once

#include <QList>
#include <QUrl>

#include <optional>
#include <string>

// The path of the segment file a drop carries, when the drop is exactly one
// local file whose name ends in ".sdl" (in any case, as the open-file
// dialog's filter matches it); none for anything else.
std::optional<std::string> DroppedSegmentFile(const QList<QUrl>& urls);
