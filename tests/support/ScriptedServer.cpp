#include "ScriptedServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

ScriptedServer::ScriptedServer() {
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (stopFd_ < 0 || listenFd_ < 0) throw std::runtime_error("ScriptedServer: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t len = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &len) != 0)
        throw std::runtime_error("ScriptedServer: cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    // The acceptor has stopped: nobody adds workers any more.
    for (std::thread& t : workers_)
        t.join();
    ::close(listenFd_);
    ::close(stopFd_);
}

std::string ScriptedServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::addConnection(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(replies));
}

void ScriptedServer::clearConnections() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
}

int ScriptedServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int ScriptedServer::closedCount() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::vector<ScriptedServer::Request> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ScriptedServer::waitForRequests(std::size_t count, Milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool ScriptedServer::waitForClosed(int count, Milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ >= count; });
}

bool ScriptedServer::WaitFor(int fd, short events, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {stopFd_, POLLIN, 0}};
    while (true) {
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents != 0) return false;
        return true; // ready, or the time-out passed
    }
}

void ScriptedServer::AcceptLoop() {
    while (WaitFor(listenFd_, POLLIN)) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex_);
        const int connection = ++accepted_;
        std::vector<Reply> replies;
        if (!scripts_.empty()) {
            replies = std::move(scripts_.front());
            scripts_.pop_front();
        }
        workers_.emplace_back([this, fd, connection, r = std::move(replies)]() mutable {
            Serve(fd, connection, std::move(r));
        });
        changed_.notify_all();
    }
}

bool ScriptedServer::ReadRequest(int fd, std::string& pending, std::string& head) {
    while (true) {
        if (const auto end = pending.find("\r\n\r\n"); end != std::string::npos) {
            head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            return true;
        }
        if (!WaitFor(fd, POLLIN)) return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

bool ScriptedServer::Send(int fd, const Reply& reply) {
    const std::size_t piece = reply.piece == 0 ? reply.bytes.size() : reply.piece;
    std::size_t sent = 0;
    while (sent < reply.bytes.size()) {
        if (reply.pause.count() > 0) {
            // Sleep, but wake for a stop.
            pollfd stop = {stopFd_, POLLIN, 0};
            if (::poll(&stop, 1, static_cast<int>(reply.pause.count())) > 0) return false;
        }
        while (reply.ready && sent > 0 && !reply.ready(sent)) {
            // Ask again shortly, but wake for a stop or a peer that went away.
            pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {stopFd_, POLLIN, 0}};
            if (::poll(fds, 2, 5) > 0) return false;
        }
        const std::size_t end = std::min(reply.bytes.size(), sent + piece);
        while (sent < end) {
            if (!WaitFor(fd, POLLOUT)) return false;
            const ssize_t n = ::send(fd, reply.bytes.data() + sent, end - sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
    }
    return true;
}

void ScriptedServer::Finish(int fd, bool reset) {
    if (reset) {
        const linger abortive = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    ++closed_;
    changed_.notify_all();
}

void ScriptedServer::Serve(int fd, int connection, std::vector<Reply> replies) {
    std::string pending;
    for (const Reply& reply : replies) {
        if (reply.waitForRequest) {
            std::string head;
            if (!ReadRequest(fd, pending, head)) return Finish(fd, false);
            std::lock_guard lock(mutex_);
            requests_.push_back({connection, std::move(head)});
            changed_.notify_all();
        }
        if (!Send(fd, reply)) return Finish(fd, false);
        switch (reply.then) {
        case Reply::Then::Keep:
            continue;
        case Reply::Then::Close:
            return Finish(fd, false);
        case Reply::Then::Reset:
            return Finish(fd, true);
        case Reply::Then::Shut:
            ::shutdown(fd, SHUT_WR);
            [[fallthrough]];
        case Reply::Then::Stall: {
            // Hold the connection until the client closes it or the server stops.
            char sink[4096];
            while (WaitFor(fd, POLLIN)) {
                const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
                if (n == 0 || (n < 0 && errno != EINTR)) break;
            }
            return Finish(fd, false);
        }
        }
    }
    // Unscripted: record one more request, if one comes, and close.
    std::string head;
    if (ReadRequest(fd, pending, head)) {
        std::lock_guard lock(mutex_);
        requests_.push_back({connection, std::move(head)});
        changed_.notify_all();
    }
    Finish(fd, false);
}
