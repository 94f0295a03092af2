#include "import/core/ImportLogic.h"

#include "common/AppError.h"
#include "common/Texts.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kCannotRename = "The file cannot be renamed by URL: ";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string CannotOpen(const std::string& path, const std::string& reason) {
    return "The incomplete file " + Quoted(path) + " cannot be opened for writing: " + reason;
}

} // namespace

bool UrlAccepted(const std::string& url) {
    return url.find("http") != std::string::npos;
}

bool IncompleteFileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string FileNameFromURL(const std::string& url) {
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? std::string() : url.substr(slash + 1);
}

std::string RenameByUrlTarget(const std::string& incompletePath, const std::string& url) {
    if (url.find('/') == std::string::npos)
        throw AppError(kCannotRename + "the URL holds no \"/\" before a file name");
    const std::string name = FileNameFromURL(url);
    if (name.empty()) throw AppError(kCannotRename + "the URL ends with \"/\" and names no file");
    if (name == "." || name == "..")
        throw AppError(kCannotRename + Quoted(name) + " is not a file name");
    // "\" and ":" separate folders in the paths this program handles, so a
    // name holding one would not stay one name.
    if (name.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
        throw AppError(kCannotRename + "the name " + Quoted(name) +
                       " holds a character that file names cannot hold here (\\ or :)");
    if (name.size() > NAME_MAX)
        throw AppError(kCannotRename + "the name that the URL ends with is longer than " +
                       std::to_string(NAME_MAX) + " bytes");
    return FolderOfPath(incompletePath) + name;
}

void MoveWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // A file system without the no-replace flag: a hard link fails on an
        // existing name just the same.
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) == 0) return;
            error = errno;
            ::unlink(to.c_str());
        } else {
            error = errno;
        }
    }
    if (error == EEXIST)
        throw AppError(kCannotRename + "a file named " +
                       Quoted(to.substr(FolderOfPath(to).size())) +
                       " already exists in its folder");
    throw AppError(kCannotRename + std::strerror(error));
}

int64_t CompleteFileSize(const std::string& sizeText) {
    const int64_t size = StrToInt64(sizeText);
    if (size < 0)
        throw AppError("The size of the complete file, " + Quoted(sizeText) +
                       ", is negative: the incomplete file cannot be cut to it");
    return size;
}

IncompleteFileForImport::IncompleteFileForImport(const std::string& path) : path_(path) {
    // No O_CREAT: only an existing file is opened. O_NONBLOCK keeps a pipe
    // that took the file's place from blocking the window.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) throw AppError(CannotOpen(path_, std::strerror(errno)));
    struct stat st {};
    std::string reason;
    if (::fstat(fd_, &st) != 0)
        reason = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        reason = "it is not a regular file";
    else if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        reason = errno == EWOULDBLOCK ? "it is in use by another program" : std::strerror(errno);
    if (!reason.empty()) {
        Close();
        throw AppError(CannotOpen(path_, reason));
    }
}

IncompleteFileForImport::~IncompleteFileForImport() {
    Close();
}

bool IncompleteFileForImport::CutToSize(int64_t size) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        throw AppError("The length of the incomplete file " + Quoted(path_) +
                       " cannot be read: " + std::strerror(errno));
    if (size > st.st_size) return false;
    if (size < st.st_size && ::ftruncate(fd_, size) != 0)
        throw AppError("The incomplete file " + Quoted(path_) + " cannot be cut to " +
                       IntToText(size) + " bytes: " + std::strerror(errno));
    return true;
}

void IncompleteFileForImport::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

EntryValues BuildEntryValues(const ImportValues& values, const ImportInputs& inputs) {
    EntryValues entry;
    entry.FileName = values.IncompletePath;
    entry.FileSize = values.SizeText;
    entry.Downloaded = values.LoadedText;
    entry.Percent = values.PercentText;
    entry.Remains = IntToText(values.Remains);
    entry.Segments = IntToText(values.RangeCount);
    entry.URL = inputs.Url;
    entry.Referer = inputs.Referer;
    // An unticked box writes empty groups; a ticked box without its required
    // fields leaves the group out.
    if (!inputs.ServerAuthorization)
        entry.auth = EntryValues::Auth{};
    else if (!inputs.ServerName.empty())
        entry.auth = EntryValues::Auth{inputs.ServerName, inputs.ServerPass};
    if (inputs.DefaultProxy)
        entry.proxy = EntryValues::Proxy{};
    else if (!inputs.ProxyServer.empty() && !inputs.ProxyPort.empty())
        entry.proxy = EntryValues::Proxy{inputs.ProxyServer + ":" + inputs.ProxyPort,
                                         inputs.ProxyName, inputs.ProxyPass};
    entry.ranges = values.Ranges;
    return entry;
}
