#include "import/core/ImportLogic.h"

#include "common/AppError.h"
#include "common/Checksum.h"
#include "common/FolderSync.h"
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

} // namespace

int MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        // A file system without the no-replace flag: a hard link fails on an
        // existing name just the same.
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) == 0) return 0;
            error = errno;
            ::unlink(to.c_str());
        } else {
            error = errno;
        }
    }
    return error;
}

namespace {

// What to add to the message of an import that failed after the move: nothing
// when the file has its old name again, otherwise where it is now.
std::string MoveBack(const std::string& renamed, const std::string& original) {
    const int error = MoveNoReplace(renamed, original);
    if (error == 0) return {};
    return "; the file could not be given its name back and is now " + Quoted(renamed) + ": " +
           std::strerror(error);
}

} // namespace

bool UrlAccepted(const std::string& url) {
    return url.find("http") != std::string::npos;
}

bool IncompleteFileExists(const std::string& path) {
    struct stat st {};
    // lstat: a symbolic link counts as missing, whatever it points to.
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
    return FolderOf(incompletePath, kFolderSeparators) + name;
}

void MoveWithoutReplacing(const std::string& from, const std::string& to) {
    const int error = MoveNoReplace(from, to);
    if (error == 0) return;
    if (error == EEXIST)
        throw AppError(kCannotRename + "a file named " +
                       Quoted(to.substr(FolderOf(to, kFolderSeparators).size())) +
                       " already exists in its folder");
    throw AppError(kCannotRename + std::strerror(error));
}

void CommitImport(IncompleteFile& file, const std::string& from, const std::string& to,
                  int64_t size, ListDocument& list, const EntryValues& entry) {
    const bool moving = to != from;
    if (moving) MoveWithoutReplacing(from, to);
    try {
        // The length was checked before the move; only another program
        // shortening the file since can fail this.
        if (!file.CutToSize(size)) throw AppError("Size of incomplete file is incorrect!");
        file.Flush();
        if (const int error = moving ? SyncFolderOf(to) : 0)
            throw AppError("The folder of the incomplete file " + Quoted(to) +
                           " cannot be written: " + std::strerror(error));
        file.Close();
        list.AppendEntry(entry);
    } catch (const std::exception& e) {
        if (!moving) throw;
        throw AppError(e.what() + MoveBack(to, from));
    }
}

int64_t CompleteFileSize(const std::string& sizeText) {
    const int64_t size = StrToInt64(sizeText);
    if (size < 0)
        throw AppError("The size of the complete file, " + Quoted(sizeText) +
                       ", is negative: the incomplete file cannot be cut to it");
    return size;
}

EntryValues BuildEntryValues(const ImportValues& values, const ImportInputs& inputs) {
    EntryValues entry;
    entry.FileName = values.IncompletePath;
    entry.FileSize = values.SizeText;
    entry.Downloaded = values.LoadedText;
    entry.Percent = values.PercentText;
    entry.Remains = IntToText(values.Remains);
    entry.Segments = IntToText(values.RangeCount);
    SetAddressValues(entry, inputs);
    entry.ranges = values.Ranges;
    return entry;
}

bool ProxyServerHoldsColon(const ImportInputs& inputs) {
    return !inputs.DefaultProxy && inputs.ProxyServer.find(':') != std::string::npos;
}

AddressGaps MissingAddressFields(const ImportInputs& inputs) {
    AddressGaps gaps;
    gaps.server = inputs.ServerAuthorization && inputs.ServerName.empty();
    gaps.proxy = !inputs.DefaultProxy && (inputs.ProxyServer.empty() || inputs.ProxyPort.empty() ||
                                          ProxyServerHoldsColon(inputs));
    return gaps;
}

void SetAddressValues(EntryValues& entry, const ImportInputs& inputs) {
    entry.URL = inputs.Url;
    entry.Referer = inputs.Referer;
    entry.Checksum = StoredChecksum(inputs.Checksum);
    entry.auth.reset();
    entry.proxy.reset();
    if (!inputs.ServerAuthorization)
        entry.auth = EntryValues::Auth{};
    else if (!inputs.ServerName.empty())
        entry.auth = EntryValues::Auth{inputs.ServerName, inputs.ServerPass};
    if (inputs.DefaultProxy)
        entry.proxy = EntryValues::Proxy{};
    else if (!inputs.ProxyServer.empty() && !inputs.ProxyPort.empty())
        entry.proxy = EntryValues::Proxy{inputs.ProxyServer + ":" + inputs.ProxyPort,
                                         inputs.ProxyName, inputs.ProxyPass};
}

std::pair<std::string, std::string> SplitProxy(const std::string& proxy) {
    const size_t colon = proxy.rfind(':');
    if (colon == std::string::npos) return {proxy, std::string()};
    return {proxy.substr(0, colon), proxy.substr(colon + 1)};
}
