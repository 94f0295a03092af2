#pragma once

#include "transfer/HttpFailure.h"
#include "transfer/Resolver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AbortSignal;
class BodySink;
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
    // GET: the body of an accepted answer goes to `body` as it arrives,
    // when the sink accepts it. Throws HttpFailure, or what the sink throws.
    void Fetch(const std::string& url, BodySink& body);

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
    // How host names are looked up; the system's resolver by default.
    void SetResolver(ResolveFunction resolve);

private:
    struct Credential {
        std::string userName;
        std::string password;
        std::string host; // the server that asked for it
        std::string port;
    };

    void Perform(bool get, const std::string& url, BodySink* body);

    std::unique_ptr<CookieStore> cookies_;
    std::unique_ptr<AbortSignal> abort_;
    std::unique_ptr<TcpConnection> connection_;
    bool keepConnection_ = false; // whether the latest answer allows reusing connection_
    int connectionsOpened_ = 0;
    std::string previousScheme_;
    std::string previousHost_;
    std::string previousPort_;
    std::unique_ptr<Credential> credential_; // none until a 401 answer is met
    ResolveFunction resolve_;
    std::string statusLine_;
    int statusCode_ = -1;
    std::vector<std::string> headerLines_;
    std::chrono::milliseconds readTimeout_{60000};
};
