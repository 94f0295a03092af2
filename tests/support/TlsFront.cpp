#include "TlsFront.h"

#include "TestCertificates.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A socket on 127.0.0.1: listening on `port` (0: a free one), or connected
// to `port`; -1 when that fails.
int LoopbackSocket(bool listen, int port, int& boundPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof address;
    const int one = 1;
    if (fd < 0 ||
        (listen &&
         (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
          ::bind(fd, reinterpret_cast<sockaddr*>(&address), len) != 0 || ::listen(fd, 16) != 0 ||
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0)) ||
        (!listen && ::connect(fd, reinterpret_cast<sockaddr*>(&address), len) != 0)) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    boundPort = ntohs(address.sin_port);
    return fd;
}

} // namespace

TlsFront::TlsFront(int backendPort, bool closeMessage, int listenPort)
    : backendPort_(backendPort), closeMessage_(closeMessage) {
    const TestCertificates::Pair pair =
        TestCertificates::Signed("localhost", "DNS:localhost,IP:127.0.0.1");
    context_ = SSL_CTX_new(TLS_server_method());
    if (!context_ || SSL_CTX_use_certificate_chain_file(context_, pair.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, pair.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("TlsFront: certificate not usable");
    stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    listenFd_ = LoopbackSocket(true, listenPort, port_);
    if (listenFd_ < 0 || stopFd_ < 0) throw std::runtime_error("TlsFront: cannot listen");
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TlsFront::~TlsFront() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    for (std::thread& relay : relays_)
        relay.join();
    ::close(listenFd_);
    ::close(stopFd_);
    SSL_CTX_free(context_);
}

std::string TlsFront::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void TlsFront::AcceptLoop() {
    while (true) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        relays_.emplace_back([this, client] { Relay(client); });
    }
}

void TlsFront::Relay(int client) {
    int unused = 0;
    const int backend = LoopbackSocket(false, backendPort_, unused);
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, client);
    bool closeMessage = false;
    if (backend >= 0 && SSL_accept(ssl) == 1) {
        char buffer[16384];
        while (true) {
            pollfd fds[3] = {{client, POLLIN, 0}, {backend, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (SSL_pending(ssl) == 0 && ::poll(fds, 3, -1) < 0 && errno != EINTR) break;
            if (fds[2].revents != 0) break;
            if (SSL_pending(ssl) > 0 || fds[0].revents != 0) {
                const int n = SSL_read(ssl, buffer, sizeof buffer);
                if (n <= 0 || ::send(backend, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                    break;
            }
            if (fds[1].revents != 0) {
                const ssize_t n = ::recv(backend, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    closeMessage = closeMessage_;
                    break;
                }
                if (SSL_write(ssl, buffer, static_cast<int>(n)) != n) break;
            }
        }
    }
    if (closeMessage) SSL_shutdown(ssl);
    SSL_free(ssl);
    ::close(client);
    if (backend >= 0) ::close(backend);
}
