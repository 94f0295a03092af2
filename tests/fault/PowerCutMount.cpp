#include "PowerCutMount.h"

#include "FaultFixtures.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Why FUSE cannot be used here, as far as the device tells.
std::string DeviceProblem() {
    if (::access("/dev/fuse", F_OK) != 0)
        return "there is no /dev/fuse on this machine (the kernel's FUSE module is missing, or a "
               "container does not pass the device in)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return std::string("/dev/fuse cannot be opened by this user: ") + std::strerror(errno);
    return "";
}

// A last resort when the file system ended without unmounting: the kernel
// lets go of the folder once nothing holds it any more.
void DetachMount(const std::string& mountPoint) {
    if (::umount2(mountPoint.c_str(), MNT_DETACH) == 0 || errno == EINVAL || errno == ENOENT)
        return;
    // Not root: the setuid helper may unmount a mount of this user.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("fusermount3", "fusermount3", "-u", "-z", "-q", mountPoint.c_str(), nullptr);
        ::_exit(127);
    }
    if (pid > 0) ::waitpid(pid, nullptr, 0);
}

} // namespace

PowerCutMount::PowerCutMount(const std::string& seed, const std::string& mountPoint,
                             const std::string& durable, int cutAfter,
                             const std::string& stderrPath)
    : mountPoint_(mountPoint),
      process_(QV_POWERCUT_FS, {seed, mountPoint, durable, std::to_string(cutAfter)}, stderrPath,
               {}) {
    if (process_.WaitForLine("MOUNTED", kWatchdog)) return;
    const std::string device = DeviceProblem();
    failure_ = "The power-cut file system could not be mounted on " + mountPoint +
               ", so the power-cut test cannot run: " +
               (device.empty() ? "FUSE refused the mount (see its stderr below)" : device) +
               ". It needs FUSE: the fuse3 package, /dev/fuse, and root or fusermount3.\n" +
               process_.Transcript();
}

PowerCutMount::~PowerCutMount() {
    if (!process_.Ended()) {
        process_.Signal(SIGTERM);
        process_.Wait(kWatchdog);
    }
    DetachMount(mountPoint_);
}

bool PowerCutMount::WaitForCut(const std::function<bool()>& userEnded, Milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // The line for the cut may come just before the user ends: lines
        // first, then the user.
        const bool ended = userEnded() || process_.Ended();
        while (const auto line = process_.NextLine(ended ? Milliseconds(0) : Milliseconds(20)))
            if (line->rfind("CUT ", 0) == 0) return true;
        if (ended || Clock::now() >= deadline) return false;
    }
}

std::string PowerCutMount::Unmount() {
    if (!failure_.empty()) return failure_;
    // The file system unmounts itself on SIGTERM, as FUSE programs do.
    process_.Signal(SIGTERM);
    const DriverProcess::Exit exit = process_.Wait(kWatchdog);
    if (exit.timedOut) return "the power-cut file system did not end\n" + process_.Transcript();
    if (!exit.exited || exit.code != 0 || process_.LinesStartingWith("DURABLE WRITTEN").empty())
        return "the power-cut file system failed to write its durable state\n" +
               process_.Transcript();
    return "";
}

std::vector<PowerCutMount::Event> PowerCutMount::Events() const {
    std::vector<Event> events;
    for (const std::string& line : process_.LinesStartingWith("EVENT ")) {
        std::istringstream fields(line.substr(6));
        Event event;
        fields >> event.number >> event.kind >> event.path;
        events.push_back(event);
    }
    return events;
}

std::string EventText(const std::vector<PowerCutMount::Event>& events, int number) {
    for (const PowerCutMount::Event& event : events)
        if (event.number == number) return event.kind + " " + event.path;
    return number == 0 ? "before the first sync" : "not counted";
}
