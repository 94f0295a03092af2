#include "list/AtomicFile.h"

#include "common/AppError.h"
#include "common/FolderSync.h"
#include "common/UniqueFd.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void ThrowWriteError(const std::string& path, int error) {
    throw AppError("Cannot write " + path + ": " + std::strerror(error));
}

// A save's temporary is named ".<name>.quilvane-save-" and six letters or
// digits, hidden and plainly the program's own, so that clearing leftovers
// never meets a file that a user keeps beside the list (List.xml.backup).
std::string TemporaryPrefix(const std::string& path) {
    return "." + path.substr(FolderOf(path).size()) + ".quilvane-save-";
}

constexpr std::size_t kUniqueLength = 6; // the XXXXXX of mkostemp

// The temporary file, removed again unless it was renamed into place.
class PendingFile {
public:
    explicit PendingFile(std::string name) : name_(std::move(name)) {}
    ~PendingFile() {
        if (!committed_) unlink(name_.c_str());
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    void Commit() { committed_ = true; }

private:
    std::string name_;
    bool committed_ = false;
};

} // namespace

void ReplaceFileAtomically(const std::string& path, const void* data, std::size_t size) {
    std::string tempName = FolderOf(path) + TemporaryPrefix(path) + std::string(kUniqueLength, 'X');
    // mkostemp creates the file with O_EXCL and mode 0600: the list holds passwords.
    UniqueFd fd(mkostemp(tempName.data(), O_CLOEXEC));
    if (!fd) ThrowWriteError(path, errno);
    PendingFile pending(tempName);

    const char* next = static_cast<const char*>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t written = write(fd.Get(), next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            ThrowWriteError(path, errno);
        }
        if (written == 0) ThrowWriteError(path, ENOSPC);
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    if (fsync(fd.Get()) != 0) ThrowWriteError(path, errno);
    if (fd.Close() != 0) ThrowWriteError(path, errno);
    if (std::rename(tempName.c_str(), path.c_str()) != 0) ThrowWriteError(path, errno);
    pending.Commit();

    // Make the rename itself durable. The new file is in place already, so a
    // folder that fails to sync is not an error of the save.
    SyncFolderOf(path);
}

void RemoveLeftoverTemporaries(const std::string& path) {
    const std::string folder = FolderOf(path);
    const std::string prefix = TemporaryPrefix(path);
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    while (const dirent* item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name.size() != prefix.size() + kUniqueLength || !name.starts_with(prefix)) continue;
        bool generated = true;
        for (size_t i = prefix.size(); i < name.size(); ++i)
            generated = generated && std::isalnum(static_cast<unsigned char>(name[i]));
        const std::string full = folder + name;
        struct stat status {};
        if (generated && lstat(full.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            unlink(full.c_str());
    }
    closedir(dir);
}
