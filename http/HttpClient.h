#pragma once

#include "common/HttpFailure.h"
#include "net/Resolver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AbortSignal;
class AnswerReader;
class BodySink;
class Connection;
class CookieStore;
class TcpConnection;
class TlsContext;
struct Origin;
struct UrlParts;

// The program's HTTP/1.0 client: one request at a time over at most one
// kept connection (plain TCP, or TLS for https, through a proxy's CONNECT
// tunnel when a proxy is set), with its cookie store and remembered server
// credential. It follows redirects and answers a server's Basic challenge
// by repeating the request with the credential. Used on one thread; only
// Abort() may be called from another.
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
    // The URL whose server the user name and password belong to (the
    // download's own): a challenge is answered only from that host, on its
    // port, or on https's after a redirect there from http. Empty: the URL
    // that each request starts from.
    std::string CredentialUrl;
    // Redirects followed in a row before a request fails; 401 answers a
    // request may meet before it fails.
    int MaxRedirects = 15;
    int MaxAuthAttempts = 3;

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
    // The URL the last request ended at, after its redirects (the URL it was
    // given when it followed none), and how many it followed.
    const std::string& FinalUrl() const { return finalUrl_; }
    int RedirectsFollowed() const { return redirects_; }

    // Time without a byte arriving after which a read fails with 10060.
    void SetReadTimeout(std::chrono::milliseconds timeout) { readTimeout_ = timeout; }

    // From any thread: makes the request in progress, and any request begun
    // before ClearAbort(), fail promptly with a socket error.
    void Abort();
    void ClearAbort();
    // The flag Abort() raises, for a wait of the caller's own.
    const AbortSignal& AbortFlag() const { return *abort_; }

    CookieStore& Cookies() { return *cookies_; }
    // Makes this client a further connection of the download `other` works
    // for: its inputs (but ByteRange), time-out and resolver, the credential
    // a server asked it for (still sent ahead to that origin alone), and from
    // now on one cookie store. `other` is between requests.
    void JoinDownloadOf(const HttpClient& other);
    // Drops the credential a server asked for, so that nothing of one
    // download's password goes out for the next.
    void ForgetCredential();

    // How many connections the client has opened in its life; a reused
    // connection does not count again.
    int ConnectionsOpened() const { return connectionsOpened_; }
    // How host names are looked up; the system's resolver by default.
    void SetResolver(ResolveFunction resolve);

private:
    struct Credential;
    // How one exchange of a request ended, when it did not fail.
    enum class Step { Answered, Redirected, Challenged };

    void Perform(bool get, const std::string& url, BodySink* body);
    // One request and its answer, up to the point where the answer is judged.
    Step Exchange(bool get, const UrlParts& parts, const Origin& home, int challenges,
                  BodySink* body);
    // The open connection for a request to `parts`, made when there is none
    // or the kept one leads elsewhere.
    Connection& Connect(const UrlParts& parts);
    // Asks the proxy on `tcp` for a tunnel to the server of `parts`.
    void OpenTunnel(TcpConnection& tcp, const UrlParts& parts);
    // The Proxy-Authorization value for the proxy's user, empty without one.
    std::string ProxyAuthorization() const;
    // The body of an answer that is not the caller's, read so that a kept
    // connection stays usable; false when it was cut short or too long
    // (the connection is then not kept).
    static bool ReadUnwantedBody(AnswerReader& reader, const std::vector<std::string>& headerLines,
                                 std::string* into = nullptr);

    std::shared_ptr<CookieStore> cookies_;
    std::unique_ptr<AbortSignal> abort_;
    std::unique_ptr<TlsContext> tls_; // made at the first https request
    std::unique_ptr<Connection> connection_;
    std::string connectionKey_;   // where connection_ leads
    bool keepConnection_ = false; // whether the latest answer allows reusing connection_
    int connectionsOpened_ = 0;
    std::string previousScheme_;
    std::string previousHost_;
    std::string previousPort_;
    std::unique_ptr<Credential> credential_; // none until a server asks for it
    std::string finalUrl_;
    int redirects_ = 0;
    ResolveFunction resolve_;
    std::string statusLine_;
    int statusCode_ = -1;
    std::vector<std::string> headerLines_;
    std::chrono::milliseconds readTimeout_{60000};
};
