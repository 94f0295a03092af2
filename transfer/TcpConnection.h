#pragma once

#include "transfer/AnswerReader.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <netinet/in.h>

class AbortSignal;

// One TCP connection of the client. Every wait (connect, send, receive)
// polls the abort signal too, so an abort ends it at once with 10004; a
// receive or send that makes no progress for the time-out fails with 10060.
// Writes never raise SIGPIPE.
class TcpConnection : public ByteSource {
public:
    // Connects to `address`, which `host` resolved to. Throws HttpFailure
    // (socket error).
    TcpConnection(const std::string& host, in_addr address, int port, const AbortSignal& abort);
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // Writes all bytes. Throws HttpFailure (socket error).
    void SendAll(std::string_view bytes);
    std::size_t ReadSome(char* dst, std::size_t max) override;
    bool MovesToPipe() const override { return true; }
    std::size_t MoveToPipe(int pipeWrite, std::size_t max) override;
    // Without waiting: whether the peer has closed or reset the connection,
    // or sent bytes nobody asked for; either way it is no longer usable.
    bool Unusable() const;

private:
    enum class Wait { Ready, TimedOut };
    // Waits for `events` on the socket; throws 10004 when aborted.
    Wait WaitFor(short events, bool withTimeout);

    int fd_ = -1;
    std::string host_;
    int port_ = 0;
    const AbortSignal& abort_;
    std::chrono::milliseconds timeout_{60000};
};
