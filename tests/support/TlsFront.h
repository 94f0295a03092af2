#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

// TLS in front of a plain loopback server for tests: it accepts https
// connections on a free loopback port, with a certificate that the tests'
// authority signed for localhost and 127.0.0.1, and relays each one's
// plaintext both ways over a new connection to the backend's port. When the
// backend closes, so does the TLS side: with TLS's close message, or without
// it when told, as a connection cut off in the middle. It listens on a free
// port, or on `listenPort` (443 needs root; std::runtime_error when the port
// cannot be had).
class TlsFront {
public:
    explicit TlsFront(int backendPort, bool closeMessage = true, int listenPort = 0);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;

private:
    void AcceptLoop();
    void Relay(int client);

    int backendPort_;
    bool closeMessage_;
    SSL_CTX* context_ = nullptr;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::thread> relays_;
    std::thread acceptor_;
};
