#include "net/AbortSignal.h"

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

AbortSignal::AbortSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

AbortSignal::~AbortSignal() {
    ::close(fd_);
}

void AbortSignal::Raise() {
    std::lock_guard lock(mutex_);
    raised_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    // Only fails when the counter is saturated, which keeps it readable anyway.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void AbortSignal::Clear() {
    std::lock_guard lock(mutex_);
    raised_.store(false, std::memory_order_release);
    std::uint64_t count;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}
