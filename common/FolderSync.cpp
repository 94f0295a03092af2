#include "common/FolderSync.h"

#include "common/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncFolderOf(const std::string& path) {
    const UniqueFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return 0;
    int result;
    do {
        result = ::fsync(folder.Get());
    } while (result != 0 && errno == EINTR);
    if (result == 0 || errno == EINVAL || errno == EROFS || errno == EOPNOTSUPP) return 0;
    return errno;
}
