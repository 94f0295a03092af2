#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A loopback HTTP server for tests: bound to 127.0.0.1 on a free port, it
// records the exact bytes of every request head it receives and plays back
// scripted answer bytes, one reply per request. Each accepted connection
// takes the next script added with addConnection(); a connection without a
// script, or one whose replies are used up, records one more request and is
// closed.
class ScriptedServer {
public:
    using Milliseconds = std::chrono::milliseconds;

    // What the server does for one request.
    struct Reply {
        enum class Then {
            Keep,  // keep the connection for the next request
            Close, // close it (FIN)
            Reset, // reset it (SO_LINGER 0): the client sees ECONNRESET
            Stall, // keep it open without sending more, until the client closes
            Shut,  // end its sending side (FIN), then hold it as Stall does
        };
        std::string bytes; // sent exactly as given
        Then then = Then::Keep;
        std::size_t piece = 0;      // > 0: send in pieces of this many bytes...
        Milliseconds pause{0};      // ...with this pause before each piece
        bool waitForRequest = true; // false: act on accepting, before any request arrives
        // When set, each piece after the first waits until ready(bytes sent
        // so far) says so, instead of a pause; a peer that goes away ends it.
        std::function<bool(std::size_t sent)> ready = nullptr;

        static Reply Keep(std::string bytes) { return {std::move(bytes), Then::Keep}; }
        static Reply AnswerAndClose(std::string bytes) { return {std::move(bytes), Then::Close}; }
        static Reply CloseWithoutAnswer() { return {{}, Then::Close}; }
        // Sends the bytes, then holds the connection open without sending more.
        static Reply Stall(std::string bytes = {}) { return {std::move(bytes), Then::Stall}; }
        static Reply ResetAfter(std::string bytes) { return {std::move(bytes), Then::Reset}; }
        static Reply Slowly(std::string bytes, std::size_t piece, Milliseconds pause,
                            Then then = Then::Close) {
            return {std::move(bytes), then, piece, pause};
        }
        static Reply WhenReady(std::string bytes, std::size_t piece,
                               std::function<bool(std::size_t sent)> ready) {
            return {std::move(bytes), Then::Close, piece, Milliseconds(0), true, std::move(ready)};
        }
    };

    // One request head as received.
    struct Request {
        int connection; // 1 for the first accepted connection
        std::string head;
    };

    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;

    // The replies of the next connection to be accepted, one per request.
    void addConnection(std::vector<Reply> replies);
    // Drops the scripts of connections not yet accepted.
    void clearConnections();

    int connectionCount() const;
    // Connections the server has finished with (closed, reset, or seen closed).
    int closedCount() const;
    std::vector<Request> requests() const;
    // Wait until that many requests / finished connections; false on time-out.
    bool waitForRequests(std::size_t count, Milliseconds timeout = Milliseconds(5000)) const;
    bool waitForClosed(int count, Milliseconds timeout = Milliseconds(5000)) const;

private:
    void AcceptLoop();
    void Serve(int fd, int connection, std::vector<Reply> replies);
    // Reads one request head; false when the peer closed first or the server stops.
    bool ReadRequest(int fd, std::string& pending, std::string& head);
    // Sends bytes as the reply asks; false when stopped or the peer is gone.
    bool Send(int fd, const Reply& reply);
    // Waits for `events` on fd or the stop signal; false when stopping.
    bool WaitFor(int fd, short events, int timeoutMs = -1);
    void Finish(int fd, bool reset);

    int listenFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::vector<Reply>> scripts_;
    std::vector<std::thread> workers_;
    std::vector<Request> requests_;
    int accepted_ = 0;
    int closed_ = 0;
};
