#pragma once

#include <atomic>
#include <mutex>

// A request-abort flag that every wait of the client also watches: raising it
// wakes a poll() on its descriptor at once, from any thread. It stays raised
// until cleared. The descriptor lives as long as the object, so a late
// Raise() can never hit a reused descriptor.
class AbortSignal {
public:
    AbortSignal();
    ~AbortSignal();
    AbortSignal(const AbortSignal&) = delete;
    AbortSignal& operator=(const AbortSignal&) = delete;

    void Raise();
    void Clear();
    bool Raised() const { return raised_.load(std::memory_order_acquire); }
    // Readable while raised.
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> raised_{false};
    std::mutex mutex_; // keeps Raise() and Clear() whole against each other
};
