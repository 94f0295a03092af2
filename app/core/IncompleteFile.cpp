#include "app/core/IncompleteFile.h"

#include "common/AppError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string Reason() { return std::strerror(errno); }

} // namespace

IncompleteFile::IncompleteFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) throw AppError("Cannot open file " + path_ + " for writing: " + Reason());
    // Other programs may read the file meanwhile, but no second writer of ours
    // may open it.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        std::string reason = errno == EWOULDBLOCK ? "it is being written by another program"
                                                  : Reason();
        ::close(fd_);
        fd_ = -1;
        throw AppError("Cannot open file " + path_ + " for writing: " + reason);
    }
}

IncompleteFile::~IncompleteFile() { Close(); }

void IncompleteFile::WriteAt(int64_t offset, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string reason = n == 0 ? std::string("nothing was written") : Reason();
            throw AppError("Cannot write to file " + path_ + ": " + reason);
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    if (::fdatasync(fd_) != 0) throw AppError("Cannot write to file " + path_ + ": " + Reason());
}

void IncompleteFile::SetSize(int64_t size) {
    if (size < 0) throw AppError("Cannot set the size of file " + path_ + ": the size is negative");
    if (::ftruncate(fd_, size) != 0)
        throw AppError("Cannot set the size of file " + path_ + ": " + Reason());
}

void IncompleteFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
