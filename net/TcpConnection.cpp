#include "net/TcpConnection.h"

#include "net/AbortSignal.h"
#include "net/SocketError.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TcpConnection::TcpConnection(const std::string& host, in_addr address, int port,
                             const AbortSignal& abort, std::chrono::milliseconds timeout)
    : host_(host), port_(port), abort_(abort), timeout_(timeout) {
    if (abort_.Raised()) throw SocketFailure(kWsaInterrupted);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    peer.sin_addr = address;

    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw SocketFailure(SocketCodeFromErrno(errno));
    try {
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
            if (errno != EINPROGRESS && errno != EINTR)
                throw SocketFailure(SocketCodeFromErrno(errno));
            // A server that does not answer at all costs the time-out, not
            // the system's two minutes of attempts.
            WaitOrFail(POLLOUT);
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            if (error != 0) throw SocketFailure(SocketCodeFromErrno(error));
        }
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

TcpConnection::~TcpConnection() {
    ::close(fd_);
}

TcpConnection::Wait TcpConnection::WaitFor(short events) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout_;
    while (true) {
        if (abort_.Raised()) throw SocketFailure(kWsaInterrupted);
        pollfd fds[2] = {{fd_, events, 0}, {abort_.Descriptor(), POLLIN, 0}};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Wait::TimedOut;
        const int n = ::poll(fds, 2, left > 1000000 ? 1000000 : static_cast<int>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SocketFailure(SocketCodeFromErrno(errno));
        }
        if (fds[1].revents != 0) throw SocketFailure(kWsaInterrupted);
        if (fds[0].revents != 0) return Wait::Ready;
    }
}

void TcpConnection::SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        if (abort_.Raised()) throw SocketFailure(kWsaInterrupted);
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw SocketFailure(SocketCodeFromErrno(errno));
        WaitOrFail(POLLOUT);
    }
}

std::size_t TcpConnection::ReadSome(char* dst, std::size_t max) {
    while (true) {
        WaitOrFail(POLLIN);
        const ssize_t n = ::recv(fd_, dst, max, 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        throw SocketFailure(SocketCodeFromErrno(errno));
    }
}

std::size_t TcpConnection::MoveToPipe(int pipeWrite, std::size_t max) {
    while (true) {
        WaitOrFail(POLLIN);
        const ssize_t n =
            ::splice(fd_, nullptr, pipeWrite, nullptr, max, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        throw SocketFailure(SocketCodeFromErrno(errno));
    }
}

void TcpConnection::WaitOrFail(short events) {
    if (WaitFor(events) == Wait::TimedOut) throw SocketFailure(kWsaTimedOut);
}

TcpConnection::Peek TcpConnection::PeekWithoutWaiting() const {
    char probe;
    const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return Peek::Bytes;
    if (n == 0) return Peek::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Peek::Idle : Peek::Failed;
}

bool TcpConnection::Unusable() {
    // Closed, failed, or bytes that nobody asked for.
    return PeekWithoutWaiting() != Peek::Idle;
}
