#pragma once

#include "net/Connection.h"

#include <memory>
#include <string>
#include <vector>

class TcpConnection;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// What every TLS connection of one client shares: TLS 1.2 or newer, and the
// server's certificate checked against the system's trust store, found
// through OpenSSL's default paths (so SSL_CERT_FILE and SSL_CERT_DIR work as
// for every other program). There is no way to accept a certificate that
// fails.
class TlsContext {
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    SSL_CTX* Get() const { return context_; }

private:
    SSL_CTX* context_ = nullptr;
};

// A TLS connection over a TCP connection it owns: the handshake names the
// host (SNI) and checks that the certificate is for it (its name, or its
// address when the URL gives one). Reads and writes wait as the TCP
// connection does: the abort signal and the time-out end them, a stalled
// handshake included. Bytes already decrypted count as readable, and a peer
// that closes without TLS's close message has cut the answer short: a read
// then fails instead of reporting the end.
class TlsConnection : public Connection {
public:
    // Throws HttpFailure: a socket error, or kind Tls with what went wrong in
    // plain words (an untrusted certificate, a certificate for another name,
    // a peer that does not speak TLS).
    TlsConnection(std::unique_ptr<TcpConnection> tcp, const TlsContext& context,
                  const std::string& host);
    ~TlsConnection() override;
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    void SetTimeout(std::chrono::milliseconds timeout) override;
    void SendAll(std::string_view bytes) override;
    std::size_t ReadSome(char* dst, std::size_t max) override;
    bool Unusable() override;

    // What the socket's BIO reads and writes through.
    struct SocketState {
        int fd = -1;
        bool eof = false; // the peer closed its side
    };

    // The names the server's certificate was found to be for, as the
    // handshake met them; for the message when they do not fit.
    std::vector<std::string>& CertificateNames() { return certificateNames_; }

private:
    // Waits as the last call's result asks; false when it asks for nothing
    // a wait can give (the error is then the caller's to report).
    bool WaitAsAsked(int result);
    [[noreturn]] void FailHandshake(int result);

    struct SslFree {
        void operator()(SSL* ssl) const;
    };

    std::unique_ptr<TcpConnection> tcp_;
    std::string host_;
    SocketState socket_;
    // Freed also when the handshake fails and the constructor throws.
    std::unique_ptr<SSL, SslFree> ssl_;
    std::vector<std::string> certificateNames_;
};
