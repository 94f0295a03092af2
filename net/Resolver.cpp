#include "net/Resolver.h"

#include "common/AsciiText.h"
#include "net/AbortSignal.h"
#include "net/SocketError.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// One lookup, shared by the thread that performs it and the requests that
// wait for it; whichever leaves last frees it.
struct Lookup {
    std::string host;
    ResolveFunction resolve;
    int result = EAI_FAIL;
    in_addr address{};
    // Set (release) once the results are written, before the pipe is: the
    // waiter reads them only after it has seen this flag (acquire).
    std::atomic<bool> finished{false};
    int done[2] = {-1, -1}; // a pipe: readable once the lookup has ended

    ~Lookup() {
        for (int fd : done)
            if (fd >= 0) ::close(fd);
    }
};

// Waits until the lookup has ended or the abort is raised; false on abort.
bool WaitForLookup(const Lookup& lookup, const AbortSignal& abort) {
    while (true) {
        pollfd fds[2] = {{lookup.done[0], POLLIN, 0}, {abort.Descriptor(), POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SocketFailure(SocketCodeFromErrno(errno));
        }
        // The lookup's results are read only after its end was seen.
        if (fds[0].revents != 0 && lookup.finished.load(std::memory_order_acquire)) return true;
        if (fds[1].revents != 0 || abort.Raised()) return false;
    }
}

// The one thread that looks names up. A name lookup cannot be interrupted,
// so one that a name server leaves unanswered is left to run when its
// request is aborted; a later lookup waits for it instead of starting a
// second thread, so Pause and Resume against a dead name server never pile
// up threads. At the end of the process a lookup still running is left to
// the process's end rather than waited for.
class LookupThread {
public:
    ~LookupThread() {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        if (current_ && current_->finished.load(std::memory_order_acquire))
            thread_.join();
        else
            thread_.detach();
    }

    // Starts a lookup once the one before it has ended; nothing when the
    // abort is raised first.
    std::shared_ptr<Lookup> Start(const std::string& host, const ResolveFunction& resolve,
                                  const AbortSignal& abort) {
        while (true) {
            std::shared_ptr<Lookup> running;
            {
                std::lock_guard lock(mutex_);
                if (current_ && !current_->finished.load(std::memory_order_acquire)) {
                    running = current_;
                } else {
                    if (thread_.joinable()) thread_.join();
                    auto lookup = std::make_shared<Lookup>();
                    lookup->host = host;
                    lookup->resolve = resolve;
                    if (::pipe2(lookup->done, O_CLOEXEC) != 0)
                        throw SocketFailure(SocketCodeFromErrno(errno));
                    current_ = lookup;
                    started_.fetch_add(1, std::memory_order_relaxed);
                    thread_ = std::thread([lookup] {
                        lookup->result = lookup->resolve(lookup->host, lookup->address);
                        lookup->finished.store(true, std::memory_order_release);
                        const char byte = 1;
                        while (::write(lookup->done[1], &byte, 1) < 0 && errno == EINTR) {
                        }
                    });
                    return lookup;
                }
            }
            if (!WaitForLookup(*running, abort)) return nullptr;
        }
    }

    static int Started() { return started_.load(std::memory_order_relaxed); }

private:
    static inline std::atomic<int> started_{0};
    std::mutex mutex_;
    std::thread thread_;
    std::shared_ptr<Lookup> current_; // the latest lookup started
};

LookupThread& TheLookupThread() {
    static LookupThread thread;
    return thread;
}

} // namespace

int SystemResolveIPv4(const std::string& host, in_addr& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) return rc;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr) {
            address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            return 0;
        }
    }
    return EAI_NODATA;
}

bool IsAddressInAnotherForm(const std::string& host) {
    in_addr address{};
    return inet_aton(host.c_str(), &address) != 0 &&
           inet_pton(AF_INET, host.c_str(), &address) != 1;
}

int LookupThreadsStarted() {
    return LookupThread::Started();
}

in_addr ResolveIPv4(const std::string& host, const AbortSignal& abort,
                    const ResolveFunction& resolve) {
    in_addr address{};
    if (EqualsIgnoreCase(host, "localhost")) {
        address.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
    if (host.empty()) throw SocketFailure(kWsaHostNotFound);
    if (abort.Raised()) throw SocketFailure(kWsaInterrupted);

    const std::shared_ptr<Lookup> lookup = TheLookupThread().Start(host, resolve, abort);
    if (!lookup || !WaitForLookup(*lookup, abort)) throw SocketFailure(kWsaInterrupted);
    if (lookup->result != 0) throw SocketFailure(SocketCodeFromResolver(lookup->result));
    return lookup->address;
}
