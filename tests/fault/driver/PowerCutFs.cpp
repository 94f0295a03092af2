// The power-cut test's file system: a FUSE file system in memory that keeps,
// beside what its users see, only what they made durable, as a disk keeps it
// through a power cut.
//
//   quilvane_powercut_fs <seed folder> <mount point> <durable folder> <cut after>
//
// The seed folder's files and folders are copied in at the start and count as
// durable. From then on a file's bytes and size become durable only when the
// file is synced (fsync or fdatasync), and a folder's names (what create,
// rename and unlink did in it) only when the folder is synced. Each sync is
// one durability event, numbered from 1 in the order the syncs complete.
// After event <cut after> (0: before the first, -1: never) the power is cut:
// the file system goes on serving what its users write, but nothing more
// becomes durable. On SIGTERM or unmount it writes the durable state into
// <durable folder> (which must exist) and ends.
//
// A file sync that has more than 4 KiB written since the file's last sync to
// make durable takes 100 ms, as a disk takes a while over a larger write; it
// makes durable what was written when it was called. Requests are served by
// several threads, so other requests go on meanwhile: a program that
// publishes what it is still flushing (a list saved before the flush of the
// data it counts has returned) gets its small save through first, and a cut
// after it shows the list claiming bytes that the disk lacks.
//
// Everything goes to stdout, one line each, as it happens:
//   MOUNTED                    the file system serves requests
//   EVENT <n> <kind> <path>    a sync: fsync, fdatasync or fsyncdir, with
//                              " dropped" added when it came after the cut
//   CUT <n>                    the power is cut after event n
//   DURABLE WRITTEN            the durable state is in <durable folder>
// Failures go to stderr, and then the exit code is not 0.
//
// Writes go straight through (no writeback cache), so every byte a user
// writes reaches the file system before the write returns; locks are left to
// the kernel.

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Lines go out whole as they happen: stdout is line-buffered (main).
void Print(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

timespec Now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

using NodeId = uint64_t;
constexpr NodeId kRoot = 1;

// A file or a folder. Nodes stay while mounted: a durable name may still lead
// to a node that its users have unlinked or replaced since.
struct Node {
    bool folder = false;
    mode_t mode = 0;
    std::string path;                                  // its last name, for the event lines
    std::string data, durableData;                     // a file's bytes; the size is their length
    std::map<std::string, NodeId> names, durableNames; // a folder's entries
    uint64_t version = 0, durableVersion = 0;          // counts a file's changes
    size_t unsynced = 0; // bytes written (or cut or added) since the file's last sync
    timespec modified{}, changed{}, accessed{};
};

// A file sync with more than this to write takes kFlushHold.
constexpr size_t kHeldSyncBytes = 4096;
constexpr auto kFlushHold = std::chrono::milliseconds(100);

class Tree {
public:
    explicit Tree(int cutAfter) : cutAfter_(cutAfter) { NewNode(true, 0755, "/"); }

    Node& At(NodeId id) { return *nodes_.at(id - 1); }

    NodeId NewNode(bool folder, mode_t mode, const std::string& path) {
        auto node = std::make_unique<Node>();
        node->folder = folder;
        node->mode = (folder ? S_IFDIR : S_IFREG) | (mode & 07777);
        node->path = path;
        node->modified = node->changed = node->accessed = Now();
        nodes_.push_back(std::move(node));
        return nodes_.size();
    }

    // The node that a path names now, or 0 with a negative errno in `error`.
    NodeId Find(const std::string& path, int& error) {
        NodeId at = kRoot;
        for (const std::string& part : Parts(path)) {
            const Node& node = At(at);
            if (!node.folder) {
                error = -ENOTDIR;
                return 0;
            }
            const auto found = node.names.find(part);
            if (found == node.names.end()) {
                error = -ENOENT;
                return 0;
            }
            at = found->second;
        }
        return at;
    }

    // The folder that holds a path's last part, and that part.
    NodeId Parent(const std::string& path, std::string& name, int& error) {
        const size_t slash = path.rfind('/');
        name = path.substr(slash + 1);
        if (slash == std::string::npos || name.empty()) {
            error = -EINVAL;
            return 0;
        }
        const NodeId parent = Find(path.substr(0, slash), error);
        if (parent && !At(parent).folder) {
            error = -ENOTDIR;
            return 0;
        }
        return parent;
    }

    // Counts a folder's sync, and makes its names durable unless the power
    // is cut.
    void SyncFolder(NodeId id) {
        Node& node = At(id);
        if (!cut_) node.durableNames = node.names;
        Counted(node, "fsyncdir");
    }

    // Counts a file's sync, and makes `data`, the file as it was at
    // `version` when the sync was called, durable unless the power is cut or
    // a later state already is.
    void SyncFile(NodeId id, std::string data, uint64_t version, const char* kind) {
        Node& node = At(id);
        if (!cut_ && version > node.durableVersion) {
            node.durableData = std::move(data);
            node.durableVersion = version;
        }
        Counted(node, kind);
    }

    void Counted(const Node& node, const char* kind) {
        ++events_;
        Print("EVENT " + std::to_string(events_) + " " + kind + " " + node.path +
              (cut_ ? " dropped" : ""));
        CutIfDue();
    }

    void CutIfDue() {
        if (!cut_ && cutAfter_ >= 0 && events_ >= cutAfter_) {
            cut_ = true;
            Print("CUT " + std::to_string(events_));
        }
    }

    // Copies a real folder in, all of it durable. False when it cannot be read.
    bool Load(const std::string& from, NodeId folder, const std::string& path) {
        DIR* dir = opendir(from.c_str());
        if (!dir) return false;
        bool ok = true;
        while (const dirent* item = readdir(dir)) {
            const std::string name = item->d_name;
            if (name == "." || name == "..") continue;
            const std::string source = from + "/" + name;
            struct stat st {};
            if (::stat(source.c_str(), &st) != 0) {
                ok = false;
                break;
            }
            const NodeId id = NewNode(S_ISDIR(st.st_mode), st.st_mode, path + "/" + name);
            At(folder).names[name] = id;
            if (S_ISDIR(st.st_mode)) {
                ok = Load(source, id, path + "/" + name);
            } else {
                ok = ReadFile(source, At(id).data);
                At(id).durableData = At(id).data;
            }
            if (!ok) break;
        }
        closedir(dir);
        At(folder).durableNames = At(folder).names;
        return ok;
    }

    // Writes the durable state below a real folder, as a disk would show it
    // after the cut. False when it cannot be written.
    bool WriteDurable(NodeId folder, const std::string& to) {
        for (const auto& [name, id] : At(folder).durableNames) {
            const std::string path = to + "/" + name;
            const Node& node = At(id);
            if (node.folder) {
                if (::mkdir(path.c_str(), 0700) != 0 || !WriteDurable(id, path)) return false;
                continue;
            }
            FILE* file = std::fopen(path.c_str(), "wbx");
            if (!file) return false;
            const size_t written =
                std::fwrite(node.durableData.data(), 1, node.durableData.size(), file);
            if (std::fclose(file) != 0 || written != node.durableData.size()) return false;
        }
        return true;
    }

private:
    static std::vector<std::string> Parts(const std::string& path) {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= path.size()) {
            size_t slash = path.find('/', start);
            if (slash == std::string::npos) slash = path.size();
            if (slash > start) parts.push_back(path.substr(start, slash - start));
            start = slash + 1;
        }
        return parts;
    }

    static bool ReadFile(const std::string& path, std::string& bytes) {
        FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return false;
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            bytes.append(buffer, n);
        const bool ok = !std::ferror(file);
        std::fclose(file);
        return ok;
    }

    std::vector<std::unique_ptr<Node>> nodes_;
    int events_ = 0;
    int cutAfter_;
    bool cut_ = false;
};

// The file system serves one tree; FUSE's threads take turns at it.
Tree* tree = nullptr;
std::mutex treeMutex;

// A file system call made while holding the tree.
template <auto Call> struct Locked;
template <typename Result, typename... Args, Result (*Call)(Args...)> struct Locked<Call> {
    static Result Run(Args... args) {
        std::lock_guard lock(treeMutex);
        return Call(args...);
    }
};

// The node of an open file handle, else of the path.
NodeId NodeOf(const char* path, const fuse_file_info* fi, int& error) {
    if (fi && fi->fh) return fi->fh;
    if (!path) {
        error = -EBADF;
        return 0;
    }
    return tree->Find(path, error);
}

void Touch(Node& node) {
    node.modified = node.changed = Now();
}

// A file's bytes changed by `bytes`.
void Changed(Node& node, size_t bytes) {
    ++node.version;
    node.unsynced += bytes;
    Touch(node);
}

int Resize(Node& node, off_t size) {
    if (node.folder) return -EISDIR;
    if (size < 0) return -EINVAL;
    const size_t before = node.data.size();
    node.data.resize(static_cast<size_t>(size), '\0');
    Changed(node,
            before > node.data.size() ? before - node.data.size() : node.data.size() - before);
    return 0;
}

void* FsInit(fuse_conn_info* conn, fuse_config* config) {
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    config->use_ino = 1;
    config->hard_remove = 1; // unlink removes the name at once, no hidden rename
    config->nullpath_ok = 1;
    config->kernel_cache = 0;
    Print("MOUNTED");
    tree->CutIfDue();
    return nullptr;
}

int FsGetattr(const char* path, struct stat* st, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    const Node& node = tree->At(id);
    *st = {};
    st->st_ino = id;
    st->st_mode = node.mode;
    st->st_nlink = node.folder ? 2 : 1;
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_size = node.folder ? 4096 : static_cast<off_t>(node.data.size());
    st->st_blksize = 4096;
    st->st_blocks = (st->st_size + 511) / 512;
    st->st_mtim = node.modified;
    st->st_ctim = node.changed;
    st->st_atim = node.accessed;
    return 0;
}

int FsOpendir(const char* path, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = tree->Find(path, error);
    if (!id) return error;
    if (!tree->At(id).folder) return -ENOTDIR;
    fi->fh = id;
    return 0;
}

int FsReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
              fuse_readdir_flags) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const auto& entry : tree->At(id).names)
        fill(buffer, entry.first.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int FsReleasedir(const char*, fuse_file_info*) {
    return 0;
}

int FsFsyncdir(const char* path, int, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    tree->SyncFolder(id);
    return 0;
}

// Drops a file's name from its folder.
int FsUnlink(const char* path) {
    std::string name;
    int error = 0;
    const NodeId parent = tree->Parent(path, name, error);
    if (!parent) return error;
    Node& dir = tree->At(parent);
    const auto found = dir.names.find(name);
    if (found == dir.names.end()) return -ENOENT;
    if (tree->At(found->second).folder) return -EISDIR;
    dir.names.erase(found);
    Touch(dir);
    return 0;
}

int FsRename(const char* from, const char* to, unsigned int flags) {
    if (flags & ~(RENAME_NOREPLACE | RENAME_EXCHANGE)) return -EINVAL;
    std::string fromName, toName;
    int error = 0;
    const NodeId fromParent = tree->Parent(from, fromName, error);
    if (!fromParent) return error;
    const NodeId toParent = tree->Parent(to, toName, error);
    if (!toParent) return error;
    Node& source = tree->At(fromParent);
    Node& target = tree->At(toParent);
    const auto moving = source.names.find(fromName);
    if (moving == source.names.end()) return -ENOENT;
    const NodeId id = moving->second;
    const auto existing = target.names.find(toName);
    if (flags & RENAME_EXCHANGE) {
        if (existing == target.names.end()) return -ENOENT;
        std::swap(source.names[fromName], target.names[toName]);
    } else {
        if (existing != target.names.end()) {
            if (flags & RENAME_NOREPLACE) return -EEXIST;
            const Node& replaced = tree->At(existing->second);
            if (replaced.folder != tree->At(id).folder) return replaced.folder ? -EISDIR : -ENOTDIR;
            if (replaced.folder && !replaced.names.empty()) return -ENOTEMPTY;
        }
        source.names.erase(fromName);
        target.names[toName] = id;
    }
    tree->At(id).path = to;
    Touch(source);
    Touch(target);
    return 0;
}

int FsChmod(const char* path, mode_t mode, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    Node& node = tree->At(id);
    node.mode = (node.mode & S_IFMT) | (mode & 07777);
    node.changed = Now();
    return 0;
}

int FsChown(const char* path, uid_t, gid_t, fuse_file_info* fi) {
    int error = 0;
    return NodeOf(path, fi, error) ? 0 : error;
}

int FsTruncate(const char* path, off_t size, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    return Resize(tree->At(id), size);
}

int FsUtimens(const char* path, const timespec times[2], fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    Node& node = tree->At(id);
    const timespec now = Now();
    const auto pick = [&now](const timespec& t, timespec& into) {
        if (t.tv_nsec == UTIME_NOW)
            into = now;
        else if (t.tv_nsec != UTIME_OMIT)
            into = t;
    };
    pick(times[0], node.accessed);
    pick(times[1], node.modified);
    node.changed = now;
    return 0;
}

int FsOpen(const char* path, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = tree->Find(path, error);
    if (!id) return error;
    Node& node = tree->At(id);
    if (node.folder) return -EISDIR;
    if (fi->flags & O_TRUNC) Resize(node, 0);
    fi->fh = id;
    return 0;
}

int FsCreate(const char* path, mode_t mode, fuse_file_info* fi) {
    std::string name;
    int error = 0;
    const NodeId parent = tree->Parent(path, name, error);
    if (!parent) return error;
    if (tree->At(parent).names.count(name)) return fi->flags & O_EXCL ? -EEXIST : FsOpen(path, fi);
    const NodeId id = tree->NewNode(false, mode, path);
    tree->At(parent).names[name] = id;
    Touch(tree->At(parent));
    fi->fh = id;
    return 0;
}

int FsRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    const std::string& data = tree->At(id).data;
    if (offset < 0) return -EINVAL;
    if (static_cast<size_t>(offset) >= data.size()) return 0;
    const size_t count = std::min(size, data.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, data.data() + offset, count);
    return static_cast<int>(count);
}

int FsWrite(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    int error = 0;
    const NodeId id = NodeOf(path, fi, error);
    if (!id) return error;
    Node& node = tree->At(id);
    if (offset < 0) return -EINVAL;
    const size_t end = static_cast<size_t>(offset) + size;
    if (node.data.size() < end) node.data.resize(end, '\0');
    std::memcpy(node.data.data() + offset, buffer, size);
    Changed(node, size);
    return static_cast<int>(size);
}

int FsStatfs(const char*, struct statvfs* st) {
    *st = {};
    st->f_bsize = st->f_frsize = 4096;
    st->f_blocks = st->f_bfree = st->f_bavail = 1 << 20;
    st->f_files = st->f_ffree = 1 << 20;
    st->f_namemax = 255;
    return 0;
}

int FsFlush(const char*, fuse_file_info*) {
    return 0;
}

int FsRelease(const char*, fuse_file_info*) {
    return 0;
}

// Not Locked: a held sync lets other calls through while it waits.
int FsFsync(const char* path, int dataOnly, fuse_file_info* fi) {
    NodeId id = 0;
    std::string data;
    uint64_t version = 0;
    bool held = false;
    {
        std::lock_guard lock(treeMutex);
        int error = 0;
        id = NodeOf(path, fi, error);
        if (!id) return error;
        Node& node = tree->At(id);
        data = node.data;
        version = node.version;
        held = node.unsynced > kHeldSyncBytes;
        node.unsynced = 0;
    }
    if (held) std::this_thread::sleep_for(kFlushHold);
    std::lock_guard lock(treeMutex);
    tree->SyncFile(id, std::move(data), version, dataOnly ? "fdatasync" : "fsync");
    return 0;
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.init = Locked<FsInit>::Run;
    ops.getattr = Locked<FsGetattr>::Run;
    ops.opendir = Locked<FsOpendir>::Run;
    ops.readdir = Locked<FsReaddir>::Run;
    ops.releasedir = FsReleasedir;
    ops.fsyncdir = Locked<FsFsyncdir>::Run;
    ops.unlink = Locked<FsUnlink>::Run;
    ops.rename = Locked<FsRename>::Run;
    ops.chmod = Locked<FsChmod>::Run;
    ops.chown = Locked<FsChown>::Run;
    ops.truncate = Locked<FsTruncate>::Run;
    ops.utimens = Locked<FsUtimens>::Run;
    ops.open = Locked<FsOpen>::Run;
    ops.create = Locked<FsCreate>::Run;
    ops.read = Locked<FsRead>::Run;
    ops.write = Locked<FsWrite>::Run;
    ops.statfs = FsStatfs;
    ops.flush = FsFlush;
    ops.release = FsRelease;
    ops.fsync = FsFsync;
    return ops;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: quilvane_powercut_fs <seed folder> <mount point> <durable folder> "
                   "<cut after>\n",
                   stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // A test that dies unmounts its file system: SIGTERM ends the loop below.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    Tree files(std::atoi(argv[4]));
    tree = &files;
    if (!files.Load(argv[1], kRoot, "")) {
        std::fprintf(stderr, "cannot read the seed folder %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    // In the foreground, on several threads; a signal ends the loop, and
    // then the folder is unmounted.
    std::string program = argv[0], option = "-o",
                options = "fsname=quilvane-powercut,subtype=powercut";
    char* fuseArgv[] = {program.data(), option.data(), options.data(), nullptr};
    fuse_args fuseArgs = FUSE_ARGS_INIT(3, fuseArgv);
    const fuse_operations ops = Operations();
    fuse* fs = fuse_new(&fuseArgs, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&fuseArgs);
    if (!fs) {
        std::fputs("the file system could not be set up\n", stderr);
        return 1;
    }
    if (fuse_mount(fs, argv[2]) != 0) {
        std::fprintf(stderr, "the file system could not be mounted on %s\n", argv[2]);
        fuse_destroy(fs);
        return 1;
    }
    fuse_session* session = fuse_get_session(fs);
    fuse_set_signal_handlers(session);
    fuse_loop_mt(fs, 0);
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
    fuse_destroy(fs);
    if (!files.WriteDurable(kRoot, argv[3])) {
        std::fprintf(stderr, "cannot write the durable state into %s: %s\n", argv[3],
                     std::strerror(errno));
        return 1;
    }
    Print("DURABLE WRITTEN");
    return 0;
}
