#pragma once

#include "common/FileCalls.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>

// While one of these lives, the locks (of the incomplete file and of the
// list's lock file), or the incomplete file's writeback, flush or allocation
// calls, fail
// with the given error, as on a file system or disk that refuses them. One at
// a time; the error is read on whichever thread makes the call.
class FailingFileCalls {
public:
    // Writeback: every sync_file_range call; WritebackWait: only those that
    // wait for the bytes.
    enum Step { Lock, Writeback, WritebackWait, Flush, Allocate };
    FailingFileCalls(Step step, int error) {
        Error().store(error);
        FileCalls calls = SystemFileCalls();
        if (step == Lock) calls.lock = [](int, int) { return Fail(); };
        if (step == Writeback)
            calls.syncRange = [](int, off64_t, off64_t, unsigned int) { return Fail(); };
        if (step == WritebackWait)
            calls.syncRange = [](int fd, off64_t offset, off64_t size, unsigned int flags) {
                return (flags & SYNC_FILE_RANGE_WAIT_AFTER)
                           ? Fail()
                           : ::sync_file_range(fd, offset, size, flags);
            };
        if (step == Flush) calls.dataSync = [](int) { return Fail(); };
        if (step == Allocate) calls.allocate = [](int, int, off64_t, off64_t) { return Fail(); };
        SetFileCalls(calls);
    }
    ~FailingFileCalls() { SetFileCalls(SystemFileCalls()); }
    FailingFileCalls(const FailingFileCalls&) = delete;
    FailingFileCalls& operator=(const FailingFileCalls&) = delete;

private:
    static std::atomic<int>& Error() {
        static std::atomic<int> error{0};
        return error;
    }
    static int Fail() {
        errno = Error().load();
        return -1;
    }
};
