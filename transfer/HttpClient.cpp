#include "transfer/HttpClient.h"

#include "transfer/AbortSignal.h"
#include "transfer/AnswerParse.h"
#include "transfer/AnswerReader.h"
#include "transfer/Base64.h"
#include "transfer/BodySink.h"
#include "transfer/CookieStore.h"
#include "transfer/HttpText.h"
#include "transfer/RequestHead.h"
#include "transfer/Resolver.h"
#include "transfer/SocketError.h"
#include "transfer/TcpConnection.h"
#include "transfer/Url.h"

#include <optional>

namespace {

// A port text as a number; 0 when it is not a usable port.
int PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

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

} // namespace

HttpClient::HttpClient()
    : cookies_(std::make_unique<CookieStore>()), abort_(std::make_unique<AbortSignal>()),
      resolve_(SystemResolveIPv4) {}

HttpClient::~HttpClient() = default;

std::string HttpClient::HeaderValue(const std::string& name) const {
    return FindHeaderValue(headerLines_, name);
}

void HttpClient::Abort() {
    abort_->Raise();
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

    UrlParts parts = SplitUrl(url);
    if (!parts.userName.empty()) {
        UserName = parts.userName;
        Password = parts.password;
    }
    parts = CompleteUrl(std::move(parts), {previousScheme_, previousHost_, previousPort_});
    const bool viaProxy = !ProxyServer.empty();
    if (EqualsIgnoreCase(parts.scheme, "https") && !viaProxy)
        throw HttpFailure(HttpFailureKind::UnsupportedScheme, "IOHandler value is not valid");
    previousScheme_ = parts.scheme;
    previousHost_ = parts.host;
    previousPort_ = parts.port;

    const std::string& destinationHost = viaProxy ? ProxyServer : parts.host;
    const int destinationPort = viaProxy ? ProxyPort : PortNumber(parts.port);

    if (connection_ &&
        (!keepConnection_ || !EqualsIgnoreCase(connection_->Host(), destinationHost) ||
         connection_->Port() != destinationPort || connection_->Unusable()))
        connection_.reset();
    keepConnection_ = false;

    if (abort_->Raised()) {
        connection_.reset();
        throw SocketFailure(kWsaInterrupted);
    }
    if (destinationPort <= 0 || destinationPort > 65535) throw SocketFailure(kWsaAddrNotAvail);

    cookies_->RemoveExpired(UnixTimeNow());
    const bool credentialFits = credential_ && EqualsIgnoreCase(credential_->host, parts.host) &&
                                credential_->port == parts.port;

    RequestHeadFields fields;
    fields.method = get ? "GET" : "HEAD";
    fields.viaProxy = viaProxy;
    fields.requestTarget =
        viaProxy ? parts.scheme + "://" + HostValue(parts) + parts.target : parts.target;
    fields.host = HostValue(parts);
    fields.byteRange = ByteRange;
    if (credentialFits)
        fields.authorization =
            "Basic " + Base64Encode(credential_->userName + ":" + credential_->password);
    if (viaProxy && !ProxyUser.empty())
        fields.proxyAuthorization = "Basic " + Base64Encode(ProxyUser + ":" + ProxyPass);
    fields.cookie = cookies_->CookieList(parts.host, parts.directory);
    const std::string head = BuildRequestHead(fields);

    std::optional<HttpFailure> statusError;
    try {
        if (!connection_) {
            const in_addr address = ResolveIPv4(destinationHost, *abort_, resolve_);
            connection_ =
                std::make_unique<TcpConnection>(destinationHost, address, destinationPort, *abort_);
            ++connectionsOpened_;
        }
        connection_->SetTimeout(readTimeout_);
        connection_->SendAll(head);

        AnswerReader reader(*connection_);
        AnswerHead answer;
        for (int interim = 0;; ++interim) {
            answer = reader.ReadHead();
            cookies_->TakeHeaders(answer.headerLines, parts.host, UnixTimeNow());
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
        bool accepted = false;
        if ((code >= 300 && code <= 399 && code != 304) || !HeaderValue("Location").empty()) {
            accepted = false; // redirects are not followed
        } else if (code >= 200 && code <= 299) {
            accepted = true;
        } else if (code == 401) {
            if (!credentialFits && !HasBasicChallenge(headerLines_)) {
                accepted = false;
            } else if (TrimBlanks(Password).empty()) {
                accepted = false;
            } else {
                credential_ = std::make_unique<Credential>(
                    Credential{UserName, Password, parts.host, parts.port});
                accepted = true;
            }
        }

        bool bodyLeftUnread = false;
        if (accepted) {
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
            if (get && !HasNoBody(code)) {
                MemoryBodySink sink(errorBody, kMaxUnwrittenBody);
                try {
                    reader.ReadBody(headerLines_, sink);
                } catch (const HttpFailure& failure) {
                    // A body cut short, or too long to read, still leaves the
                    // status to report; the connection is not kept.
                    if (failure.Kind() != HttpFailureKind::ClosedConnection &&
                        failure.Kind() != HttpFailureKind::BodyTooLong)
                        throw;
                    bodyLeftUnread = true;
                }
            }
            statusError.emplace(HttpFailureKind::Status, statusLine_, code, std::move(errorBody));
        }
        keepConnection_ = !bodyLeftUnread && AllowsKeepAlive(headerLines_) &&
                          !reader.SourceClosed() && !reader.HasBufferedBytes();
    } catch (...) {
        connection_.reset();
        throw;
    }
    if (!keepConnection_) connection_.reset();
    if (statusError) throw *statusError;
}
