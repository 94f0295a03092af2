#include "common/IncompleteFile.h"

#include "common/AppError.h"
#include "common/FileCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

IncompleteFile::IncompleteFile(const std::string& path)
    // No O_CREAT: only an existing file is opened. O_NOFOLLOW: a symbolic
    // link in the file's place would lead the writes into another file.
    // O_NONBLOCK keeps a pipe that took the file's place from blocking the
    // window.
    : path_(path),
      fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW)) {
    // A file its owner may write but not read is still written; only the
    // comparison of held bytes needs to read it.
    if (!fd_ && errno == EACCES)
        fd_ = UniqueFd(
            ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (!fd_) {
        if (errno == ELOOP) Refuse("it is a symbolic link");
        Fail("opened for writing", errno);
    }
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0)
        Refuse(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        Refuse("it is not a regular file");
    else if (ActiveFileCalls().lock(fd_.Get(), LOCK_EX | LOCK_NB) != 0 && !LockUnsupported(errno))
        Refuse(errno == EWOULDBLOCK ? "it is in use by another program" : std::strerror(errno));
}

IncompleteFile::~IncompleteFile() = default;

bool IncompleteFile::WritebackUnsupported(int error) {
    // Said by a file system (or a descriptor) that has no writeback to start.
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ESPIPE;
}

int64_t IncompleteFile::Length() const {
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0) Fail("measured", errno);
    return st.st_size;
}

void IncompleteFile::Refuse(const std::string& reason) {
    Close();
    throw AppError("The incomplete file \"" + path_ + "\" cannot be opened for writing: " + reason);
}

void IncompleteFile::Fail(const std::string& what, int error) const {
    throw AppError("The incomplete file \"" + path_ + "\" cannot be " + what + ": " +
                   std::strerror(error));
}

bool IncompleteFile::CutToSize(int64_t size) {
    const int64_t length = Length();
    if (size > length) return false;
    if (size < length) SetSize(size);
    return true;
}

void IncompleteFile::WriteAt(int64_t offset, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd_.Get(), data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("written", errno);
        if (n == 0) Fail("written", ENOSPC);
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

std::string IncompleteFile::ReadAt(int64_t offset, size_t size) const {
    std::string bytes(size, '\0');
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd_.Get(), bytes.data() + done, size - done,
                                  offset + static_cast<int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("read", errno);
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

size_t IncompleteFile::MoveFromPipe(int pipeRead, int64_t offset, size_t size) {
    while (true) {
        loff_t at = offset;
        const ssize_t n = ::splice(pipeRead, nullptr, fd_.Get(), &at, size, SPLICE_F_MOVE);
        if (n > 0) return static_cast<size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return 0;
        Fail("written", n == 0 ? ENOSPC : errno);
    }
}

void IncompleteFile::StartWriteback(int64_t offset, int64_t size) {
    if (writebackOff_) return;
    const bool first = !writebackAsked_;
    writebackAsked_ = true;
    if (ActiveFileCalls().syncRange(fd_.Get(), offset, size, SYNC_FILE_RANGE_WRITE) == 0) return;
    // Only the first call may tell that the file system goes without it;
    // the final flush then makes the bytes durable all the same.
    if (first && WritebackUnsupported(errno)) {
        writebackOff_ = true;
        return;
    }
    Fail("written", errno);
}

void IncompleteFile::WaitWriteback(int64_t offset, int64_t size) {
    if (writebackOff_) return;
    // An error here may be one the file system recorded during writeback:
    // it is reported once, and a later fdatasync returns 0.
    if (ActiveFileCalls().syncRange(fd_.Get(), offset, size,
                                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                        SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        Fail("written", errno);
}

void IncompleteFile::Flush() {
    if (ActiveFileCalls().dataSync(fd_.Get()) != 0) Fail("written", errno);
}

void IncompleteFile::Allocate(int64_t size) {
    const int64_t length = Length();
    if (size <= length) return;
    int result;
    do {
        result = ActiveFileCalls().allocate(fd_.Get(), 0, length, size - length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return;
    const int error = errno;
    if (error == EOPNOTSUPP || error == ENOSYS || error == EINVAL) {
        SetSize(size);
        return;
    }
    // What a partial allocation added goes again: the file is as it was.
    (void)::ftruncate(fd_.Get(), length);
    Fail("given its full length of " + std::to_string(size) + " bytes", error);
}

void IncompleteFile::SetSize(int64_t size) {
    if (size < 0) Fail("cut to a negative size", EINVAL);
    if (::ftruncate(fd_.Get(), size) != 0) Fail("cut to " + std::to_string(size) + " bytes", errno);
}

void IncompleteFile::Close() {
    fd_.Reset();
}
