#pragma once

#include "common/AppError.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// How a request failed.
enum class HttpFailureKind {
    Socket,            // "Socket Error # <code>\r\n<description>"
    ClosedConnection,  // "Connection Closed Gracefully."
    Status,            // the status line; Body() holds the answer's body
    LineTooLong,       // "Max line length exceeded."
    UnsupportedScheme, // "IOHandler value is not valid"
    UnknownScheme,     // "Unknown Protocol"
    OutOfMemory,       // "Out of memory while expanding memory stream"
};

class HttpFailure : public AppError {
public:
    HttpFailure(HttpFailureKind kind, const std::string& message, int code = 0,
                std::string body = {})
        : AppError(message), kind_(kind), code_(code), body_(std::move(body)) {}
    HttpFailureKind Kind() const { return kind_; }
    // The socket error number for Socket, the status code for Status, else 0.
    int Code() const { return code_; }
    const std::string& Body() const { return body_; }

private:
    HttpFailureKind kind_;
    int code_;
    std::string body_;
};

class AbortSignal;
class CookieStore;
class TcpConnection;

// The program's HTTP/1.0 client: one request at a time over at most one
// kept connection, with its cookie store and remembered server credential.
// Used on one thread; only Abort() may be called from another.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Inputs, kept from one request to the next.
    std::string ByteRange; // "0-" or "<begin>-<end>"; empty sends no Range
    std::string UserName;  // server credentials offered at a 401 answer
    std::string Password;
    std::string ProxyServer; // empty: requests go straight to the server
    int ProxyPort = 0;
    std::string ProxyUser;
    std::string ProxyPass;

    // HEAD: status line and headers, no body. Throws HttpFailure.
    void Probe(const std::string& url);
    // GET: the body is appended to `body`. Throws HttpFailure.
    void Fetch(const std::string& url, std::string& body);

    // The last answer.
    const std::string& StatusLine() const { return statusLine_; }
    int StatusCode() const { return statusCode_; }
    const std::vector<std::string>& HeaderLines() const { return headerLines_; }
    // First header of that name (letter case ignored), continuation lines
    // joined, blanks trimmed; empty when absent.
    std::string HeaderValue(const std::string& name) const;

    // Time without a byte arriving after which a read fails with 10060.
    void SetReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }

    // From any thread: makes the request in progress, and any request begun
    // before ClearAbort(), fail promptly with a socket error.
    void Abort();
    void ClearAbort();

    CookieStore& Cookies() { return *cookies_; }

    // How many TCP connections the client has opened in its life; a reused
    // connection does not count again.
    int ConnectionsOpened() const { return connectionsOpened_; }
    // The largest size a body buffer (the caller's, or the body of a status
    // error) may grow to; a larger body fails with OutOfMemory, as when the
    // system has no memory left. No limit by default.
    void SetBodyLimit(std::size_t bytes) { bodyLimit_ = bytes; }

private:
    struct Credential {
        std::string userName;
        std::string password;
        std::string host; // the server that asked for it
        std::string port;
    };

    void Perform(bool get, const std::string& url, std::string* body);

    std::unique_ptr<CookieStore> cookies_;
    std::unique_ptr<AbortSignal> abort_;
    std::unique_ptr<TcpConnection> connection_;
    bool keepConnection_ = false; // whether the latest answer allows reusing connection_
    int connectionsOpened_ = 0;
    std::string previousScheme_;
    std::string previousHost_;
    std::string previousPort_;
    std::unique_ptr<Credential> credential_; // none until a 401 answer is met
    std::size_t bodyLimit_ = static_cast<std::size_t>(-1);
    std::string statusLine_;
    int statusCode_ = -1;
    std::vector<std::string> headerLines_;
    std::chrono::milliseconds readTimeout_{60000};
};
