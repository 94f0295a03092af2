#include "common/FolderSync.h"

#include "common/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::string FolderOf(std::string_view path, std::string_view separators) {
    // No separator: npos + 1 is 0, an empty folder part.
    return std::string(path.substr(0, path.find_last_of(separators) + 1));
}

int SyncFolderOf(const std::string& path) {
    const std::string name = FolderOf(path);
    const UniqueFd folder(
        ::open(name.empty() ? "." : name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return 0;
    int result;
    do {
        result = ::fsync(folder.Get());
    } while (result != 0 && errno == EINTR);
    if (result == 0 || errno == EINVAL || errno == EROFS || errno == EOPNOTSUPP) return 0;
    return errno;
}
