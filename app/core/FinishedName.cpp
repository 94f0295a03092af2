#include "app/core/FinishedName.h"

#include "common/FolderSync.h"
#include "import/core/ImportLogic.h"

#include <QString>

#include <cerrno>
#include <cstring>

std::optional<std::string> NameWithoutPartialEnding(const std::string& path) {
    const QString name = QString::fromStdString(path.substr(FolderOf(path).size()));
    for (const char* ending : {".part", ".crdownload", ".download", ".partial"}) {
        const QString end = QString::fromLatin1(ending);
        if (name.size() > end.size() && name.endsWith(end, Qt::CaseInsensitive))
            return path.substr(0, path.size() - std::strlen(ending));
    }
    return std::nullopt;
}

std::optional<FinishedRename> RenameFinished(const std::string& path) {
    const std::optional<std::string> target = NameWithoutPartialEnding(path);
    if (!target) return std::nullopt;
    const int error = MoveNoReplace(path, *target);
    if (error == EEXIST)
        return FinishedRename{
            "File " + path + " keeps its name: a file named " + *target + " already exists.", path};
    if (error != 0)
        return FinishedRename{"File " + path + " keeps its name: it cannot be renamed to " +
                                  *target + ": " + std::strerror(error) + ".",
                              path};
    // The list no longer names the file, so a rename that a power cut takes
    // back leaves only the old name: nothing to report if this fails.
    SyncFolderOf(*target);
    return FinishedRename{"File " + path + " renamed to " + *target + ".", *target};
}
