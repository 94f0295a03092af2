#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// Hashes a whole file on a thread of its own, reading it in order at disk
// speed, so that the window stays responsive: the window reads the progress
// while it waits, may withdraw the work at any time, and reads the digest
// once it is done.
class FileHasher {
public:
    // algorithm: "md5", "sha1", "sha256" or "sha512". Starts at once;
    // onDone runs on the hasher's thread once Done() holds, so that a
    // waiting window wakes at once.
    FileHasher(std::string path, std::string algorithm, std::function<void()> onDone = {});
    // Withdraws the work and waits for the thread.
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    // The thread has ended: the digest or the error is set.
    bool Done() const { return done_.load(std::memory_order_acquire); }
    std::int64_t BytesHashed() const { return hashed_.load(std::memory_order_relaxed); }
    // Stops the work at the next block; Done() follows soon after.
    void Withdraw() { withdrawn_.store(true, std::memory_order_relaxed); }
    bool Withdrawn() const { return withdrawn_.load(std::memory_order_relaxed); }

    // Once Done(): the digest in lower-case hex, empty when the file could
    // not be read (Error() says why) or the work was withdrawn.
    const std::string& Digest() const { return digest_; }
    const std::string& Error() const { return error_; }

private:
    void Run();

    const std::string path_, algorithm_;
    const std::function<void()> onDone_;
    std::atomic<bool> done_{false}, withdrawn_{false};
    std::atomic<std::int64_t> hashed_{0};
    std::string digest_, error_; // written by the thread before done_
    std::thread thread_;
};
