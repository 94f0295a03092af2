#pragma once

#include <optional>
#include <string>

// A partial file's name as a browser or another tool leaves it (".part",
// ".crdownload", ".download" or ".partial", in any case) without that
// ending; none when the name has no such ending or nothing before it.
std::optional<std::string> NameWithoutPartialEnding(const std::string& path);

// What became of a finished download's name: the log's text, and the path
// the file has now.
struct FinishedRename {
    std::string message;
    std::string path;
};
// A finished download whose file has a partial-file ending is given its name
// without it, when no file has that name, and the new name is made durable.
// None when the name has no such ending.
std::optional<FinishedRename> RenameFinished(const std::string& path);
