#include "common/IncompleteFile.h"

#include "common/AppError.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

IncompleteFile::IncompleteFile(const std::string& path) : path_(path) {
    // No O_CREAT: only an existing file is opened. O_NONBLOCK keeps a pipe
    // that took the file's place from blocking the window.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) Fail("opened for writing", errno);
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
        throw AppError("The incomplete file \"" + path_ +
                       "\" cannot be opened for writing: " + reason);
    }
}

IncompleteFile::~IncompleteFile() {
    Close();
}

void IncompleteFile::Fail(const std::string& what, int error) const {
    throw AppError("The incomplete file \"" + path_ + "\" cannot be " + what + ": " +
                   std::strerror(error));
}

bool IncompleteFile::CutToSize(int64_t size) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) Fail("measured", errno);
    if (size > st.st_size) return false;
    if (size < st.st_size) SetSize(size);
    return true;
}

void IncompleteFile::WriteAt(int64_t offset, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("written", errno);
        if (n == 0) Fail("written", ENOSPC);
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

void IncompleteFile::StartWriteback(int64_t offset, int64_t size) {
    // Only a hint: a failure shows at the next Flush().
    ::sync_file_range(fd_, offset, size, SYNC_FILE_RANGE_WRITE);
}

void IncompleteFile::WaitWriteback(int64_t offset, int64_t size) {
    ::sync_file_range(fd_, offset, size,
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                          SYNC_FILE_RANGE_WAIT_AFTER);
}

void IncompleteFile::Flush() {
    if (::fdatasync(fd_) != 0) Fail("written", errno);
}

void IncompleteFile::SetSize(int64_t size) {
    if (size < 0) Fail("cut to a negative size", EINVAL);
    if (::ftruncate(fd_, size) != 0) Fail("cut to " + std::to_string(size) + " bytes", errno);
}

void IncompleteFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
