#include "import/core/NewDownload.h"

#include "common/AppError.h"
#include "common/FolderSync.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "list/ListDocument.h"

#include <QStandardPaths>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

} // namespace

std::string DownloadFolder(const char* xdgDownloadDir, const std::string& standardFolder) {
    if (xdgDownloadDir && *xdgDownloadDir) return xdgDownloadDir;
    return standardFolder;
}

std::string DownloadFolder() {
    return DownloadFolder(
        std::getenv("XDG_DOWNLOAD_DIR"),
        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation).toStdString());
}

std::string ProposedFileName(const std::string& url) {
    std::string rest = url;
    rest = rest.substr(0, rest.find_first_of("?#"));
    const size_t scheme = rest.find("://");
    if (scheme != std::string::npos) rest = rest.substr(scheme + 3);
    // The host is no file name: only a path after it proposes one.
    const size_t pathStart = rest.find('/');
    const std::string path = pathStart == std::string::npos ? "" : rest.substr(pathStart);
    const std::string name = PercentDecoded(path.substr(path.rfind('/') + 1));
    if (name.empty() || name == "." || name == ".." || name.size() > NAME_MAX ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return "download";
    return name;
}

bool SaveAsAccepted(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.back() == '/') return false;
    struct stat st {};
    const std::string folder = FolderOf(path);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // lstat: a symbolic link is no file of the download's own.
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

std::optional<std::int64_t> HeldLength(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return st.st_size;
}

EntryValues NewDownloadEntry(const std::string& path, const std::string& sizeText,
                             std::int64_t heldLength, const ImportInputs& inputs) {
    const int64_t size = StrToInt64(sizeText);
    EntryValues entry;
    entry.FileName = path;
    entry.FileSize = sizeText;
    entry.Downloaded = IntToText(heldLength);
    entry.Percent = PercentText(heldLength, size);
    entry.Remains = IntToText(size - heldLength);
    entry.Segments = "1";
    SetAddressValues(entry, inputs);
    entry.ranges = {{IntToText(heldLength), sizeText}};
    return entry;
}

void CommitNewDownload(const std::string& path, std::optional<std::int64_t> heldLength,
                       ListDocument& list, const EntryValues& entry) {
    const int64_t size = StrToInt64(entry.FileSize);
    if (!heldLength) {
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            throw AppError("The file " + Quoted(path) +
                           " cannot be created: " + std::strerror(errno));
        ::close(fd);
    }
    std::optional<IncompleteFile> file;
    bool grown = false, appended = false;
    try {
        file.emplace(path);
        if (heldLength && file->Length() != *heldLength)
            throw AppError("The file " + Quoted(path) +
                           " changed while the server was asked: nothing was done to it");
        grown = true;
        file->Allocate(size);
        file->Flush();
        if (const int error = SyncFolderOf(path))
            throw AppError("The folder of the file " + Quoted(path) +
                           " cannot be written: " + std::strerror(error));
        list.AppendEntry(entry);
        appended = true;
        list.SaveList();
        file->Close();
    } catch (...) {
        // Nothing stays that the list does not record: the entry goes again
        // (in memory at least, when the list cannot be written), and the
        // user's file is left as it was found: a created one goes, a held
        // one gets its length back.
        if (appended) {
            try {
                list.DeleteEntry(list.EntryCount() - 1);
            } catch (const std::exception&) {
                // The first failure is the one the user is told of.
            }
        }
        if (!heldLength) {
            file.reset();
            ::unlink(path.c_str());
        } else if (file && grown) {
            try {
                file->SetSize(*heldLength);
                file->Flush();
            } catch (const AppError&) {
            }
        }
        throw;
    }
}

std::string AlreadyWholeText(const std::string& path) {
    return "The file " + path + " is already as long as the file on the server.";
}
