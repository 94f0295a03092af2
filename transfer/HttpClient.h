#pragma once

#include "common/AppError.h"

#include <atomic>
#include <chrono>
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
    HttpFailure(HttpFailureKind kind, const std::string& message, int code = 0, std::string body = {})
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

class CookieStore;

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
    std::string ByteRange;  // "0-" or "<begin>-<end>"; empty sends no Range
    std::string UserName;   // server credentials offered at a 401 answer
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

private:
    // ... implementation details belong to the implementation.
    std::unique_ptr<CookieStore> cookies_;
    std::string statusLine_;
    int statusCode_ = -1;
    std::vector<std::string> headerLines_;
    std::chrono::milliseconds readTimeout_{60000};
    std::atomic<bool> aborted_{false};
    std::mutex socketMutex_; // guards socket_ against Abort() from another thread
    int socket_ = -1;
};
