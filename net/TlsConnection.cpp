#include "net/TlsConnection.h"

#include "common/AsciiText.h"
#include "common/HttpFailure.h"
#include "net/SocketError.h"
#include "net/TcpConnection.h"

#include <cerrno>
#include <cstdio>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// The socket's bytes go through a BIO of our own so that a write to a peer
// that has gone never raises SIGPIPE, as OpenSSL's socket BIO would.
using SocketBio = TlsConnection::SocketState;

int BioWrite(BIO* bio, const char* data, size_t size, size_t* written) {
    auto* socket = static_cast<SocketBio*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::send(socket->fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) {
        *written = static_cast<size_t>(n);
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) BIO_set_retry_write(bio);
    return 0;
}

int BioRead(BIO* bio, char* data, size_t size, size_t* read) {
    auto* socket = static_cast<SocketBio*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(socket->fd, data, size, 0);
    if (n > 0) {
        *read = static_cast<size_t>(n);
        return 1;
    }
    if (n == 0) {
        socket->eof = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        BIO_set_retry_read(bio);
    }
    return 0;
}

long BioControl(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return static_cast<SocketBio*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
        return 0;
    }
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket");
        BIO_meth_set_write_ex(m, BioWrite);
        BIO_meth_set_read_ex(m, BioRead);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

// A name out of a certificate, fit to be shown: printable ASCII only, and
// not endless.
std::string Printable(const unsigned char* data, int length) {
    std::string text;
    for (int i = 0; i < length && text.size() < 100; ++i)
        text += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : '?';
    return text;
}

std::string AddressText(const ASN1_OCTET_STRING* address) {
    const unsigned char* bytes = ASN1_STRING_get0_data(address);
    const int length = ASN1_STRING_length(address);
    char text[64] = "";
    if (length == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    } else if (length == 16) {
        int at = 0;
        for (int i = 0; i < 16; i += 2)
            at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), "%s%x",
                                i ? ":" : "", bytes[i] << 8 | bytes[i + 1]);
    }
    return text;
}

// The DNS names and addresses a certificate is for; its common name when it
// names none.
std::vector<std::string> NamesOf(X509* certificate) {
    std::vector<std::string> names;
    auto* alternatives = static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; alternatives && i < sk_GENERAL_NAME_num(alternatives); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(alternatives, i);
        if (name->type == GEN_DNS)
            names.push_back(Printable(ASN1_STRING_get0_data(name->d.dNSName),
                                      ASN1_STRING_length(name->d.dNSName)));
        else if (name->type == GEN_IPADD)
            names.push_back(AddressText(name->d.iPAddress));
    }
    GENERAL_NAMES_free(alternatives);
    if (names.empty()) {
        char common[256] = "";
        if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, common,
                                      sizeof common) > 0)
            names.push_back(Printable(reinterpret_cast<unsigned char*>(common),
                                      static_cast<int>(std::char_traits<char>::length(common))));
    }
    return names;
}

// Keeps the server certificate's names for the message when they do not
// fit; the verdict itself is OpenSSL's.
int RememberNames(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* connection = static_cast<TlsConnection*>(SSL_get_app_data(ssl));
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (connection && certificate && X509_STORE_CTX_get_error_depth(store) == 0)
        connection->CertificateNames() = NamesOf(certificate);
    return ok;
}

std::string NamesText(const std::vector<std::string>& names) {
    if (names.empty()) return "another name";
    std::string text;
    const size_t shown = std::min<size_t>(names.size(), 3);
    for (size_t i = 0; i < shown; ++i)
        text += (i == 0 ? "" : i + 1 == shown && shown == names.size() ? " and " : ", ") + names[i];
    if (shown < names.size()) text += " and " + std::to_string(names.size() - shown) + " more";
    return text;
}

HttpFailure TlsFailure(const std::string& message) {
    return HttpFailure(HttpFailureKind::Tls, message);
}

} // namespace

TlsContext::TlsContext() : context_(SSL_CTX_new(TLS_client_method())) {
    if (!context_) throw TlsFailure("TLS cannot be set up on this system.");
    SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, RememberNames);
    // Without a trust store no certificate passes: the handshake then says
    // which one is not trusted.
    SSL_CTX_set_default_verify_paths(context_);
}

TlsContext::~TlsContext() {
    SSL_CTX_free(context_);
}

TlsConnection::TlsConnection(std::unique_ptr<TcpConnection> tcp, const TlsContext& context,
                             const std::string& host)
    : tcp_(std::move(tcp)), host_(host), ssl_(SSL_new(context.Get())) {
    if (!ssl_.get()) throw TlsFailure("TLS cannot be set up on this system.");
    SSL_set_app_data(ssl_.get(), this);
    socket_.fd = tcp_->Descriptor();
    BIO* bio = BIO_new(SocketBioMethod());
    BIO_set_data(bio, &socket_);
    SSL_set_bio(ssl_.get(), bio, bio);

    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_.get());
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    bool nameChecked;
    if (IsDottedIPv4(host)) {
        nameChecked = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    } else {
        SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
        nameChecked = X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
    }
    // Without its name check any trusted certificate would pass.
    if (!nameChecked)
        throw TlsFailure("The certificate cannot be checked against the name " +
                         Printable(reinterpret_cast<const unsigned char*>(host.data()),
                                   static_cast<int>(std::min<size_t>(host.size(), 100))) +
                         ".");
    while (true) {
        ERR_clear_error();
        const int result = SSL_connect(ssl_.get());
        if (result == 1) break;
        if (!WaitAsAsked(result)) FailHandshake(result);
    }
}

TlsConnection::~TlsConnection() = default;

void TlsConnection::SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

void TlsConnection::SetTimeout(std::chrono::milliseconds timeout) {
    tcp_->SetTimeout(timeout);
}

bool TlsConnection::WaitAsAsked(int result) {
    switch (SSL_get_error(ssl_.get(), result)) {
    case SSL_ERROR_WANT_READ:
        tcp_->WaitOrFail(POLLIN);
        return true;
    case SSL_ERROR_WANT_WRITE:
        tcp_->WaitOrFail(POLLOUT);
        return true;
    default:
        return false;
    }
}

void TlsConnection::FailHandshake(int result) {
    const int error = SSL_get_error(ssl_.get(), result);
    const int savedErrno = errno;
    const long verify = SSL_get_verify_result(ssl_.get());
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
        throw TlsFailure("The certificate is for " + NamesText(certificateNames_) + ", not for " +
                         host_ + ".");
    if (verify != X509_V_OK)
        throw TlsFailure("The certificate of " + host_ + " is not trusted (" +
                         X509_verify_cert_error_string(verify) + ").");
    const unsigned long queued = ERR_peek_error();
    if (error == SSL_ERROR_SYSCALL && queued == 0 && savedErrno != 0 && !socket_.eof)
        throw SocketFailure(SocketCodeFromErrno(savedErrno));
    // A close in the handshake is a dropped connection, tried again like a
    // reset.
    if (socket_.eof || queued == 0)
        throw HttpFailure(HttpFailureKind::ClosedConnection,
                          "The server " + host_ +
                              " closed the connection during the TLS handshake.");
    const char* reason = ERR_reason_error_string(queued);
    throw TlsFailure("The secure connection to " + host_ + " failed (" +
                     (reason ? reason : "no reason given") + ").");
}

void TlsConnection::SendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        ERR_clear_error();
        size_t written = 0;
        const int result = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written);
        if (result == 1) {
            bytes.remove_prefix(written);
            continue;
        }
        if (WaitAsAsked(result)) continue;
        if (errno != 0 && ERR_peek_error() == 0 && !socket_.eof)
            throw SocketFailure(SocketCodeFromErrno(errno));
        throw SocketFailure(kWsaConnReset);
    }
}

std::size_t TlsConnection::ReadSome(char* dst, std::size_t max) {
    while (true) {
        ERR_clear_error();
        size_t read = 0;
        const int result = SSL_read_ex(ssl_.get(), dst, max, &read);
        if (result == 1) return read;
        const int error = SSL_get_error(ssl_.get(), result);
        if (error == SSL_ERROR_ZERO_RETURN) return 0; // the close message
        if (WaitAsAsked(result)) continue;
        if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && !socket_.eof && errno != 0)
            throw SocketFailure(SocketCodeFromErrno(errno));
        if (socket_.eof)
            throw HttpFailure(HttpFailureKind::ClosedConnection,
                              "The secure connection ended without its close message: the "
                              "answer may be cut short.");
        const char* reason = ERR_reason_error_string(ERR_peek_error());
        throw TlsFailure("The secure connection to " + host_ + " broke (" +
                         (reason ? reason : "no reason given") + ").");
    }
}

bool TlsConnection::Unusable() {
    if (SSL_pending(ssl_.get()) > 0) return true; // decrypted bytes nobody asked for
    const TcpConnection::Peek socket = tcp_->PeekWithoutWaiting();
    if (socket != TcpConnection::Peek::Bytes) return socket != TcpConnection::Peek::Idle;
    // Records arrived: tickets and other handshake messages keep the
    // connection usable; application bytes or a close do not.
    ERR_clear_error();
    char probe;
    size_t peeked = 0;
    const int result = SSL_peek_ex(ssl_.get(), &probe, 1, &peeked);
    return result == 1 || SSL_get_error(ssl_.get(), result) != SSL_ERROR_WANT_READ;
}
