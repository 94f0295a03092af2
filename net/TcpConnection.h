#pragma once

#include "net/Connection.h"

#include <chrono>
#include <string>

#include <netinet/in.h>

class AbortSignal;

// One TCP connection of the client. Every wait (connect, send, receive)
// polls the abort signal too, so an abort ends it at once with 10004; a
// connect, receive or send that makes no progress for the time-out fails
// with 10060. Writes never raise SIGPIPE.
class TcpConnection : public Connection {
public:
    // Connects to `address`, which `host` resolved to, within `timeout`.
    // Throws HttpFailure (socket error).
    TcpConnection(const std::string& host, in_addr address, int port, const AbortSignal& abort,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    void SetTimeout(std::chrono::milliseconds timeout) override { timeout_ = timeout; }

    void SendAll(std::string_view bytes) override;
    std::size_t ReadSome(char* dst, std::size_t max) override;
    bool MovesToPipe() const override { return true; }
    std::size_t MoveToPipe(int pipeWrite, std::size_t max) override;
    bool Unusable() override;

    // For a layer above the socket (TLS): the descriptor, and a wait for
    // `events` that fails with 10060 after the time-out and 10004 on abort.
    int Descriptor() const { return fd_; }
    void WaitOrFail(short events);
    // What a look at the socket finds without waiting or taking a byte.
    enum class Peek { Idle, Closed, Bytes, Failed };
    Peek PeekWithoutWaiting() const;

private:
    enum class Wait { Ready, TimedOut };
    // Waits for `events` on the socket; throws 10004 when aborted.
    Wait WaitFor(short events);

    int fd_ = -1;
    std::string host_;
    int port_ = 0;
    const AbortSignal& abort_;
    std::chrono::milliseconds timeout_;
};
