#include "app/core/ListLocation.h"

#include "common/AppError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path Normal(const std::string& folder) {
    fs::path path = fs::path(folder).lexically_normal();
    // "/usr/bin/" normalises to "/usr/bin/"; drop the empty last part.
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

// Why a folder is not the effective user's private folder, or null when it is.
// Whoever can change the folder can change or replace what is in it.
const char* NotOwnFolder(const struct stat& info) {
    if (!S_ISDIR(info.st_mode)) return "it is not a folder";
    if (info.st_uid != ::geteuid()) return "it belongs to another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others can write it";
    return nullptr;
}

} // namespace

std::string ListFolder(const ListPlaces& places) {
    const bool installed = !places.installedBinDir.empty() &&
                           Normal(places.executableDir) == Normal(places.installedBinDir);
    return installed ? places.dataDir : places.executableDir;
}

void CreateOwnerOnlyFolder(const std::string& folder) {
    fs::path made;
    for (const fs::path& part : Normal(folder)) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) == 0 || errno == EEXIST) continue;
        throw AppError("Cannot create the folder " + made.string() + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::stat(made.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw AppError("Cannot create the folder " + made.string() + ": it is not a folder");
    if (const char* reason = NotOwnFolder(info))
        throw AppError("Cannot use the folder " + made.string() + ": " + reason);
}

std::string HandOverFolder(const std::string& runtimeDir, const std::string& dataDir) {
    struct stat info {};
    if (!runtimeDir.empty() && ::stat(runtimeDir.c_str(), &info) == 0 && !NotOwnFolder(info))
        return runtimeDir;
    // The data folder is checked as well: whoever could write it could put
    // a folder of their own in the place of "sockets".
    CreateOwnerOnlyFolder(dataDir);
    const std::string folder = (fs::path(dataDir) / "sockets").string();
    CreateOwnerOnlyFolder(folder);
    return folder;
}

std::string ResolveListFile(const std::string& path) {
    // As many links as the system itself follows in one path.
    constexpr int kMaxLinks = 40;
    fs::path at = path;
    int links = 0;
    for (std::error_code error; fs::is_symlink(fs::symlink_status(at, error));) {
        if (++links > kMaxLinks)
            throw AppError("The download list " + path +
                           " is a symbolic link that leads round in a circle");
        const fs::path target = fs::read_symlink(at, error);
        if (error) break;
        // A relative target counts from the link's folder.
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    std::error_code error;
    const fs::path folder = fs::canonical(at.has_parent_path() ? at.parent_path() : ".", error);
    if (!error) return (folder / at.filename()).string();
    if (links == 0) return path;
    throw AppError("The download list " + path + " links to " + at.string() +
                   ", whose folder does not exist");
}

std::string ListPath(const ListPlaces& places) {
    ListPlaces resolved = places;
    std::error_code error;
    const fs::path bin = fs::weakly_canonical(places.installedBinDir, error);
    if (!error) resolved.installedBinDir = bin.string();
    const std::string folder = ListFolder(resolved);
    if (folder != resolved.executableDir) CreateOwnerOnlyFolder(folder);
    return ResolveListFile((fs::path(folder) / "List.xml").string());
}
