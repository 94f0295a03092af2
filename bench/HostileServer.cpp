#include "HostileServer.h"

#include "BenchSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connection that sends no request for this long is closed.
constexpr double kIdleSeconds = 15;
// Request heads longer than this are not the program's: the connection closes.
constexpr std::size_t kMaxRequestHead = 1 << 20;

} // namespace

HostileServer::HostileServer(Script script) : script_(std::move(script)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("HostileServer: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &len) != 0)
        throw std::runtime_error("HostileServer: cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

HostileServer::~HostileServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : workers_)
        t.join();
    ::close(listenFd_);
}

std::string HostileServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HostileServer::AcceptLoop() {
    int accepted = 0;
    while (!stop_) {
        pollfd p = {listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (++accepted > kMaxConnections) {
            ::close(fd);
            continue;
        }
        std::lock_guard lock(mutex_);
        workers_.emplace_back([this, fd] { Serve(fd); });
    }
}

bool HostileServer::ReadHead(int fd, std::string& pending, std::string& head) {
    const auto start = BenchClock::now();
    while (!stop_ && SecondsSince(start) < kIdleSeconds) {
        if (const auto end = pending.find("\r\n\r\n"); end != std::string::npos) {
            head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            return true;
        }
        if (pending.size() > kMaxRequestHead) return false;
        pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        if (ready < 0) return false;
        char buffer[16384];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
    return false;
}

bool HostileServer::SendAll(int fd, const char* data, std::size_t size,
                            BenchClock::time_point deadline) {
    while (size > 0) {
        if (stop_ || BenchClock::now() > deadline) return false;
        pollfd p = {fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, 200);
        if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
        if (ready < 0 || (p.revents & (POLLERR | POLLHUP))) return false;
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void HostileServer::Serve(int fd) {
    std::string pending, head;
    while (ReadHead(fd, pending, head)) {
        ++requests_;
        const Answer answer = script_(head);
        // Every answer, endless or not, is sent within the time bound; a
        // client that stops reading but keeps the connection is left then.
        const auto deadline =
            BenchClock::now() + std::chrono::duration_cast<BenchClock::duration>(
                                    std::chrono::duration<double>(kEndlessSeconds));
        if (!SendAll(fd, answer.bytes.data(), answer.bytes.size(), deadline)) break;
        if (!answer.unit.empty()) {
            std::int64_t sent = 0;
            while (sent < kEndlessBytes) {
                if (!SendAll(fd, answer.unit.data(), answer.unit.size(), deadline)) break;
                sent += static_cast<std::int64_t>(answer.unit.size());
                endlessSent_ += static_cast<std::int64_t>(answer.unit.size());
            }
            break;
        }
        if (answer.close) break;
    }
    ::close(fd);
}
