#include "app/core/ListGuard.h"

#include "app/core/ListLocation.h"
#include "app/core/WindowDrops.h"
#include "common/AppError.h"
#include "common/FileCalls.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A later start's request, "raise" with the URL it was given after a space
// (none without one), and the holder's answer; nothing else is read.
const QByteArray kRequest = QByteArrayLiteral("raise");
const QByteArray kAnswer = QByteArrayLiteral("raised\n");
// A request longer than this is no request of ours.
constexpr qint64 kRequestLimit = 64 * 1024;

QByteArray RequestFor(const std::string& url) {
    return kRequest + (url.empty() ? QByteArray() : " " + QByteArray::fromStdString(url)) + "\n";
}

std::string LockPathOf(const std::string& listPath) {
    const std::filesystem::path path(listPath);
    return (path.parent_path() / ("." + path.filename().string() + ".quilvane-lock")).string();
}

// In a folder that only this user can write (see HandOverFolder); the user
// id in the name and the peer check below keep other users out as well.
QString SocketPathOf(const std::string& listPath) {
    std::error_code error;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(listPath, error);
    if (error) canonical = listPath;
    const QByteArray hash = QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()),
                                                     QCryptographicHash::Sha256)
                                .toHex()
                                .left(16);
    // Looked up once: Qt warns each time it falls back to a folder of its own.
    static const QString folder = QString::fromStdString(HandOverFolder(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString(),
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toStdString()));
    return folder + QStringLiteral("/quilvane-%1-").arg(::geteuid()) + QString::fromLatin1(hash);
}

// Whether the program at the other end runs as this user: neither a holder
// nor a request of another user's program is ever trusted.
bool PeerIsThisUser(const QLocalSocket& socket) {
    struct ucred peer {};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                        &size) == 0 &&
           peer.uid == ::geteuid();
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void Drop(QLocalSocket* socket) {
    socket->abort();
    socket->deleteLater();
}

} // namespace

ListGuard::ListGuard(std::string listPath, std::chrono::milliseconds answerLimit)
    : listPath_(std::move(listPath)), answerLimit_(answerLimit),
      socketPath_(SocketPathOf(listPath_)) {}

ListGuard::~ListGuard() = default;

ListGuard::Start ListGuard::Take(const std::string& url) {
    const auto deadline = Clock::now() + answerLimit_;
    for (;;) {
        const Lock lock = TryLock();
        if (lock == Lock::Taken) {
            Listen();
            return Start::Holder;
        }
        const Reply reply = AskHolder(deadline, url);
        if (reply == Reply::Raised) return Start::HandedOver;
        // Without locks the socket alone tells: a program that holds the
        // list listens on it.
        if (lock == Lock::Unsupported && reply == Reply::Nobody) {
            Listen();
            return Start::Holder;
        }
        if (Clock::now() >= deadline) return Start::NoAnswer;
        // The holder may be starting (locked, not yet listening) or ending
        // (the lock is about to be free): look again shortly.
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(50),
                                             std::chrono::milliseconds(RemainingMs(deadline))));
    }
}

std::string ListGuard::NoAnswerMessage() const {
    return "Quilvane is already running with the download list " + listPath_ +
           ", but it does not answer. Close it and start Quilvane again.";
}

ListGuard::Lock ListGuard::TryLock() {
    if (!lock_) {
        const std::string path = LockPathOf(listPath_);
        // Open for writing: NFS grants an exclusive lock only on such a
        // file. A lock file the user may only read still serves for reading.
        constexpr int kFlags = O_CREAT | O_NOFOLLOW | O_CLOEXEC;
        lock_ = UniqueFd(::open(path.c_str(), O_RDWR | kFlags, 0600));
        if (!lock_ && (errno == EACCES || errno == EROFS))
            lock_ = UniqueFd(::open(path.c_str(), O_RDONLY | kFlags, 0600));
        if (!lock_)
            throw AppError("Cannot lock the download list " + listPath_ + ": " +
                           std::strerror(errno));
    }
    int result;
    do {
        result = ActiveFileCalls().lock(lock_.Get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return Lock::Taken;
    if (errno == EWOULDBLOCK) return Lock::Held;
    if (LockUnsupported(errno)) return Lock::Unsupported;
    throw AppError("Cannot lock the download list " + listPath_ + ": " + std::strerror(errno));
}

void ListGuard::Listen() {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left there belongs to a holder that was killed: the lock is
    // this program's now.
    QLocalServer::removeServer(socketPath_);
    if (!server_->listen(socketPath_)) {
        // The list is still this program's; a later start says that it
        // cannot reach it.
        qWarning("Cannot listen on %ls: %ls", qUtf16Printable(socketPath_),
                 qUtf16Printable(server_->errorString()));
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            if (!PeerIsThisUser(*socket)) {
                Drop(socket);
                continue;
            }
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket,
                             [this, socket] { Serve(*socket); });
            // A caller that never finishes its request does not stay forever.
            QTimer::singleShot(answerLimit_, socket, [socket] { Drop(socket); });
        }
    });
}

void ListGuard::Serve(QLocalSocket& socket) {
    if (!socket.canReadLine()) {
        if (socket.bytesAvailable() > kRequestLimit) Drop(&socket);
        return;
    }
    const QByteArray line = socket.readLine(kRequestLimit + 1);
    const bool plain = line == kRequest + "\n";
    const bool withUrl = line.startsWith(kRequest + " ") && line.endsWith('\n');
    if (!plain && !withUrl) {
        Drop(&socket);
        return;
    }
    // Only a web address goes on to the window; anything else still raises it.
    const QString handed = QString::fromUtf8(line.mid(kRequest.size() + 1).chopped(1));
    const std::string url = withUrl && IsWebAddress(handed) ? handed.toStdString() : std::string();
    // One request per connection, whatever follows it.
    QObject::disconnect(&socket, &QLocalSocket::readyRead, nullptr, nullptr);
    if (raise_) raise_(url);
    socket.write(kAnswer);
    socket.disconnectFromServer();
}

ListGuard::Reply ListGuard::AskHolder(Clock::time_point deadline, const std::string& url) const {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(RemainingMs(deadline))) {
        const auto error = socket.error();
        return error == QLocalSocket::ServerNotFoundError ||
                       error == QLocalSocket::ConnectionRefusedError
                   ? Reply::Nobody
                   : Reply::Silent;
    }
    if (!PeerIsThisUser(socket)) return Reply::Silent;
    socket.write(RequestFor(url));
    if (!socket.waitForBytesWritten(RemainingMs(deadline))) return Reply::Silent;
    QByteArray answer;
    while (answer.size() < kAnswer.size()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(RemainingMs(deadline)))
            return Reply::Silent;
        answer += socket.read(kAnswer.size() - answer.size());
    }
    return answer == kAnswer ? Reply::Raised : Reply::Silent;
}
