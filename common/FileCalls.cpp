#include "common/FileCalls.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr FileCalls kSystem{::flock, ::sync_file_range, ::fdatasync, ::fallocate64};
FileCalls active = kSystem;

} // namespace

const FileCalls& ActiveFileCalls() {
    return active;
}

const FileCalls& SystemFileCalls() {
    return kSystem;
}

void SetFileCalls(const FileCalls& calls) {
    active = calls;
}

bool LockUnsupported(int error) {
    // NFS answers EBADF to an exclusive lock on a file open only for reading.
    return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS || error == EBADF;
}
