#include "http/HttpClient.h"

#include "common/AsciiText.h"
#include "http/AnswerParse.h"
#include "http/AnswerReader.h"
#include "http/BodySink.h"
#include "http/CookieStore.h"
#include "http/HttpDate.h"
#include "http/Redirect.h"
#include "http/RequestHead.h"
#include "http/ServerCredential.h"
#include "http/Url.h"
#include "net/AbortSignal.h"
#include "net/Resolver.h"
#include "net/SocketError.h"
#include "net/TcpConnection.h"
#include "net/TlsConnection.h"

#include <algorithm>
#include <optional>

namespace {

bool HasBasicChallenge(const std::vector<std::string>& headerLines) {
    for (const std::string& value : FindHeaderValues(headerLines, "WWW-Authenticate")) {
        const std::string_view v = value;
        if (EqualsIgnoreCase(v.substr(0, v.find(' ')), "Basic")) return true;
    }
    return false;
}

// Most interim 100 answers before the real one; a server that sends more
// is not answering.
constexpr int kMaxContinueAnswers = 20;

// Answers that never have a body whatever their headers say.
bool HasNoBody(int statusCode) {
    return (statusCode >= 100 && statusCode < 200) || statusCode == 204 || statusCode == 304;
}

// An address as a message shows it: a hostile server's may be endless.
std::string Shown(const std::string& url) {
    constexpr std::size_t kShown = 200;
    return url.size() <= kShown ? url : url.substr(0, kShown) + "...";
}

HttpFailure RedirectFailure(const std::string& message) {
    return HttpFailure(HttpFailureKind::Redirect, message);
}

// Where a connection for a request leads; a kept connection serves the
// next request only when it leads to the same place.
std::string ConnectionKey(const UrlParts& parts, const std::string& proxy, int proxyPort) {
    const std::string origin = ToLowerAscii(parts.host) + ":" + parts.port;
    const std::string via = ToLowerAscii(proxy) + ":" + std::to_string(proxyPort);
    if (IsHttps(parts)) return "tls " + origin + (proxy.empty() ? "" : " via " + via);
    return proxy.empty()
               ? "tcp " + ToLowerAscii(parts.host) + ":" + std::to_string(PortNumber(parts.port))
               : "tcp " + via;
}

} // namespace

// The user name and password a server asked for, and the origin that asked:
// they are sent ahead of a challenge to that origin alone.
struct HttpClient::Credential {
    std::string userName;
    std::string password;
    Origin origin;
};

HttpClient::HttpClient()
    : cookies_(std::make_shared<CookieStore>()), abort_(std::make_unique<AbortSignal>()),
      resolve_(SystemResolveIPv4) {}

HttpClient::~HttpClient() = default;

void HttpClient::JoinDownloadOf(const HttpClient& other) {
    UserName = other.UserName;
    Password = other.Password;
    ProxyServer = other.ProxyServer;
    ProxyPort = other.ProxyPort;
    ProxyUser = other.ProxyUser;
    ProxyPass = other.ProxyPass;
    CredentialUrl = other.CredentialUrl;
    MaxRedirects = other.MaxRedirects;
    MaxAuthAttempts = other.MaxAuthAttempts;
    readTimeout_ = other.readTimeout_;
    resolve_ = other.resolve_;
    credential_ = other.credential_ ? std::make_unique<Credential>(*other.credential_) : nullptr;
    cookies_ = other.cookies_;
}

std::string HttpClient::HeaderValue(const std::string& name) const {
    return FindHeaderValue(headerLines_, name);
}

void HttpClient::Abort() {
    abort_->Raise();
}

void HttpClient::ForgetCredential() {
    credential_.reset();
}

void HttpClient::ClearAbort() {
    abort_->Clear();
}

void HttpClient::Probe(const std::string& url) {
    Perform(false, url, nullptr);
}

void HttpClient::Fetch(const std::string& url, BodySink& body) {
    Perform(true, url, &body);
}

void HttpClient::SetResolver(ResolveFunction resolve) {
    resolve_ = std::move(resolve);
}

void HttpClient::Perform(bool get, const std::string& url, BodySink* body) {
    statusLine_.clear();
    statusCode_ = -1;
    headerLines_.clear();
    finalUrl_ = url;
    redirects_ = 0;

    UrlParts parts = SplitUrl(url);
    if (!parts.userName.empty()) {
        UserName = parts.userName;
        Password = parts.password;
    }
    parts = CompleteUrl(std::move(parts), {previousScheme_, previousHost_, previousPort_});
    previousScheme_ = parts.scheme;
    previousHost_ = parts.host;
    previousPort_ = parts.port;

    // The server the user's credential is for: the download's own.
    Origin home = OriginOf(parts);
    if (!CredentialUrl.empty()) {
        try {
            home = OriginOf(
                CompleteUrl(SplitUrl(CredentialUrl), {parts.scheme, parts.host, parts.port}));
        } catch (const HttpFailure&) {
            home = Origin{};
        }
    }

    std::vector<std::string> visited{UrlText(parts)};
    int challenges = 0;
    while (true) {
        const Step step = Exchange(get, parts, home, challenges, body);
        if (step == Step::Answered) return;
        if (step == Step::Challenged) {
            ++challenges;
            continue;
        }
        const std::string next = ResolveLocation(parts, HeaderValue("Location"));
        UrlParts nextParts = CompleteUrl(SplitUrl(next), {});
        if (IsHttps(parts) && !IsHttps(nextParts))
            throw RedirectFailure("The server redirected from https to unencrypted http (" +
                                  Shown(next) + "); the download does not leave https.");
        if (redirects_ == MaxRedirects)
            throw RedirectFailure("The server redirected more than " +
                                  std::to_string(MaxRedirects) +
                                  " times in a row (the last time to " + Shown(next) + ").");
        if (std::find(visited.begin(), visited.end(), next) != visited.end())
            throw RedirectFailure("The server's redirects go round in a loop (back to " +
                                  Shown(next) + ").");
        visited.push_back(next);
        ++redirects_;
        finalUrl_ = next;
        parts = std::move(nextParts);
        challenges = 0;
    }
}

Connection& HttpClient::Connect(const UrlParts& parts) {
    // Checked and connected to as the same address, through a proxy too.
    if (IsAddressInAnotherForm(parts.host))
        throw HttpFailure(HttpFailureKind::Address,
                          "The server address " + Shown(parts.host) +
                              " can be read in more than one way; write it as four decimal "
                              "numbers without leading zeros.");
    const bool viaProxy = !ProxyServer.empty();
    const std::string key = ConnectionKey(parts, ProxyServer, ProxyPort);
    if (connection_ && (!keepConnection_ || key != connectionKey_ || connection_->Unusable()))
        connection_.reset();
    keepConnection_ = false;

    if (abort_->Raised()) {
        connection_.reset();
        throw SocketFailure(kWsaInterrupted);
    }
    const std::string& host = viaProxy ? ProxyServer : parts.host;
    const int port = viaProxy ? ProxyPort : PortNumber(parts.port);
    if (port <= 0 || port > 65535 || (IsHttps(parts) && PortNumber(parts.port) == 0))
        throw SocketFailure(kWsaAddrNotAvail);
    if (connection_) return *connection_;

    const in_addr address = ResolveIPv4(host, *abort_, resolve_);
    auto tcp = std::make_unique<TcpConnection>(host, address, port, *abort_, readTimeout_);
    ++connectionsOpened_;
    if (IsHttps(parts)) {
        if (viaProxy) OpenTunnel(*tcp, parts);
        if (!tls_) tls_ = std::make_unique<TlsContext>();
        connection_ = std::make_unique<TlsConnection>(std::move(tcp), *tls_, parts.host);
    } else {
        connection_ = std::move(tcp);
    }
    connectionKey_ = key;
    return *connection_;
}

std::string HttpClient::ProxyAuthorization() const {
    return ProxyUser.empty() ? std::string() : BasicAuthorization(ProxyUser, ProxyPass);
}

void HttpClient::OpenTunnel(TcpConnection& tcp, const UrlParts& parts) {
    const std::string authority = parts.host + ":" + parts.port;
    tcp.SendAll(BuildConnectHead(authority, ProxyAuthorization()));
    AnswerReader reader(tcp);
    const AnswerHead answer = reader.ReadHead();
    if (answer.statusCode < 200 || answer.statusCode > 299)
        throw HttpFailure(HttpFailureKind::Status, answer.statusLine, answer.statusCode);
    // What the proxy says after its answer would be lost under TLS.
    if (reader.HasBufferedBytes())
        throw HttpFailure(HttpFailureKind::Protocol,
                          "The proxy sent bytes of its own into the tunnel to " + authority + ".");
}

bool HttpClient::ReadUnwantedBody(AnswerReader& reader, const std::vector<std::string>& headerLines,
                                  std::string* into) {
    std::string dropped;
    MemoryBodySink sink(into ? *into : dropped, kMaxUnwrittenBody);
    try {
        reader.ReadBody(headerLines, sink);
        return true;
    } catch (const HttpFailure& failure) {
        // A body cut short, or too long to read, still leaves the answer to
        // judge; the connection is not kept.
        if (failure.Kind() != HttpFailureKind::ClosedConnection &&
            failure.Kind() != HttpFailureKind::BodyTooLong)
            throw;
        return false;
    }
}

HttpClient::Step HttpClient::Exchange(bool get, const UrlParts& parts, const Origin& home,
                                      int challenges, BodySink* body) {
    statusLine_.clear();
    statusCode_ = -1;
    headerLines_.clear();
    const bool tls = IsHttps(parts);
    const bool absoluteForm = !ProxyServer.empty() && !tls; // a tunnel takes origin form
    cookies_->RemoveExpired(UnixTimeNow());
    // The user's password goes only where the download's own URL leads, and
    // ahead of a challenge only to the origin that asked for it.
    const Origin origin = OriginOf(parts);
    const bool mayGetCredential = CredentialMayGoTo(home, origin);
    const bool credentialSent = mayGetCredential && credential_ && credential_->origin == origin;

    RequestHeadFields fields;
    fields.method = get ? "GET" : "HEAD";
    fields.viaProxy = absoluteForm;
    fields.requestTarget =
        absoluteForm ? parts.scheme + "://" + HostValue(parts) + parts.target : parts.target;
    fields.host = HostValue(parts);
    fields.byteRange = ByteRange;
    if (credentialSent)
        fields.authorization = BasicAuthorization(credential_->userName, credential_->password);
    if (absoluteForm) fields.proxyAuthorization = ProxyAuthorization();
    fields.cookie = cookies_->CookieList(parts.host, parts.directory, tls);
    const std::string head = BuildRequestHead(fields);

    std::optional<HttpFailure> statusError;
    Step step = Step::Answered;
    try {
        Connection& connection = Connect(parts);
        connection.SetTimeout(readTimeout_);
        connection.SendAll(head);

        AnswerReader reader(connection);
        AnswerHead answer;
        for (int interim = 0;; ++interim) {
            answer = reader.ReadHead();
            cookies_->TakeHeaders(answer.headerLines, parts.host, tls, UnixTimeNow());
            if (answer.statusCode != 100) break;
            if (interim == kMaxContinueAnswers)
                throw HttpFailure(HttpFailureKind::Protocol,
                                  "The server sent more than " +
                                      std::to_string(kMaxContinueAnswers) +
                                      " interim answers and no real one.");
        }
        statusLine_ = std::move(answer.statusLine);
        statusCode_ = answer.statusCode;
        headerLines_ = std::move(answer.headerLines);

        const int code = statusCode_;
        const bool hasLocation = !HeaderValue("Location").empty();
        // A server that asks for the password is answered at once, when the
        // download's own URL leads there and attempts are left.
        const bool mayAnswerChallenge = code == 401 && mayGetCredential && !UserName.empty() &&
                                        !TrimBlanks(Password).empty() &&
                                        (credentialSent || HasBasicChallenge(headerLines_));
        bool accepted = false;
        if (IsFollowedRedirect(code) && hasLocation && MaxRedirects > 0) {
            step = Step::Redirected;
        } else if ((code >= 300 && code <= 399 && code != 304) || hasLocation) {
            accepted = false; // a redirect that is not followed
        } else if (code >= 200 && code <= 299) {
            accepted = true;
        } else if (mayAnswerChallenge && challenges + 1 < MaxAuthAttempts) {
            credential_ = std::make_unique<Credential>(Credential{UserName, Password, origin});
            step = Step::Challenged;
        }

        bool bodyLeftUnread = false;
        if (step != Step::Answered) {
            if (get && !HasNoBody(code)) bodyLeftUnread = !ReadUnwantedBody(reader, headerLines_);
        } else if (accepted) {
            if (get && !HasNoBody(code)) {
                const AnswerHead head{statusLine_, statusCode_, headerLines_};
                if (body->Accept(head)) {
                    reader.ReadBody(headerLines_, *body);
                } else {
                    // Not the caller's: read a little so that a kept
                    // connection stays usable, and fail beyond that.
                    std::string dropped;
                    MemoryBodySink discard(dropped, kMaxUnwrittenBody);
                    reader.ReadBody(headerLines_, discard);
                }
            }
        } else {
            std::string errorBody;
            if (get && !HasNoBody(code))
                bodyLeftUnread = !ReadUnwantedBody(reader, headerLines_, &errorBody);
            if (code == 401 && credentialSent) {
                // The password was sent and refused every time.
                credential_.reset();
                statusError.emplace(HttpFailureKind::Status,
                                    "The server refused the user name and password (" +
                                        statusLine_ + ").",
                                    code, std::move(errorBody));
            } else {
                statusError.emplace(HttpFailureKind::Status, statusLine_, code,
                                    std::move(errorBody));
            }
        }
        keepConnection_ = !bodyLeftUnread && AllowsKeepAlive(headerLines_) &&
                          !reader.SourceClosed() && !reader.HasBufferedBytes();
    } catch (...) {
        connection_.reset();
        throw;
    }
    if (!keepConnection_) connection_.reset();
    if (statusError) throw *statusError;
    return step;
}
