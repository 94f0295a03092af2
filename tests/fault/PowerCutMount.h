#pragma once

#include "DriverProcess.h"

#include <functional>
#include <string>
#include <vector>

// The power-cut file system (tests/fault/driver/PowerCutFs.cpp) in a child process,
// mounted on a folder: it serves a copy of a seed folder and keeps only what
// its users synced, and after a chosen durability event nothing more. When
// the object goes away the file system is ended and the folder unmounted,
// lazily if something still holds it, so that no dead mount is left behind.
class PowerCutMount {
public:
    using Milliseconds = DriverProcess::Milliseconds;

    // One sync that the file system counted.
    struct Event {
        int number = 0;
        std::string kind; // fsync, fdatasync or fsyncdir
        std::string path; // in the file system, from its root
    };

    // Mounts a copy of `seed` on `mountPoint` and waits until it serves. The
    // power is cut after event `cutAfter` (0: at once, -1: never). The durable
    // state is written into the existing folder `durable` when it unmounts.
    PowerCutMount(const std::string& seed, const std::string& mountPoint,
                  const std::string& durable, int cutAfter, const std::string& stderrPath);
    ~PowerCutMount();
    PowerCutMount(const PowerCutMount&) = delete;
    PowerCutMount& operator=(const PowerCutMount&) = delete;

    // Empty when it is mounted; otherwise why not, in words.
    const std::string& MountFailure() const { return failure_; }

    // Waits until the power has been cut (true), or until `userEnded` says the
    // program using the file system has ended first, or the time-out (false).
    bool WaitForCut(const std::function<bool()>& userEnded, Milliseconds timeout);

    // Unmounts: the file system writes the durable state and ends. Returns
    // what went wrong, empty when nothing did.
    std::string Unmount();

    // The syncs counted so far.
    std::vector<Event> Events() const;
    std::string Transcript() const { return process_.Transcript(); }

private:
    std::string mountPoint_;
    std::string failure_;
    DriverProcess process_;
};

// What event `number` was ("fdatasync /f.bin"), for failure messages.
std::string EventText(const std::vector<PowerCutMount::Event>& events, int number);
