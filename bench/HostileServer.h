#pragma once

#include "BenchSupport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A loopback server that plays answers the program must survive without its
// memory growing: any number of requests per connection, each answered by
// what the case's function returns for the request head. An answer may end
// in an endless part: `unit` repeated until the client stops reading or
// closes, or until the server's own bounds (bytes and seconds per answer)
// are reached, after which the connection is closed. Bound to 127.0.0.1 on
// a free port.
class HostileServer {
public:
    struct Answer {
        std::string bytes;  // sent first, exactly as given
        std::string unit;   // non-empty: then repeated without end
        bool close = false; // close the connection after the answer
    };
    using Script = std::function<Answer(const std::string& requestHead)>;

    // Each endless part stops after this many bytes, and each answer after
    // this many seconds, at the latest.
    static constexpr std::int64_t kEndlessBytes = std::int64_t{4} << 30;
    static constexpr double kEndlessSeconds = 30;
    // Connections beyond this many are closed at once.
    static constexpr int kMaxConnections = 64;

    explicit HostileServer(Script script);
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;

    int Requests() const { return requests_.load(); }
    // Bytes of endless parts sent over all connections.
    std::int64_t EndlessBytesSent() const { return endlessSent_.load(); }

private:
    void AcceptLoop();
    void Serve(int fd);
    bool ReadHead(int fd, std::string& pending, std::string& head);
    // False when the peer is gone, the deadline has passed or the server stops.
    bool SendAll(int fd, const char* data, std::size_t size, BenchClock::time_point deadline);

    Script script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<std::int64_t> endlessSent_{0};
    std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};
