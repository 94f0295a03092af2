#pragma once

#include "common/UniqueFd.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <QString>

class QLocalServer;
class QLocalSocket;

// One running program per List.xml. Each program saves its whole document,
// so two windows on one list would undo each other's changes, and the
// clearing of a dead save's leftovers must not meet a live one's file.
//
// The program that starts first on a list takes an exclusive lock on a
// hidden file beside it (".List.xml.quilvane-lock") and keeps it for its
// whole life. It listens on a local socket named after the list's path and
// the user, in a folder that only the user can write and open to the user
// alone; a later start on the same list asks it there to bring its window to
// the front, and ends. The lock is an flock(), which the kernel releases
// however its holder ends, so a killed program never blocks the next start.
// On a file system that cannot lock, the socket alone decides: a start that
// finds nobody listening holds the list. The list's path is the resolved one
// (ResolveListFile), so that two links to one list meet on one lock and one
// socket.
class ListGuard {
public:
    enum class Start {
        Holder,     // this program holds the list: it may open it now
        HandedOver, // the holder brought its window to the front
        NoAnswer,   // another program holds the list and did not answer
    };

    // answerLimit: how long a later start waits for the holder's answer.
    // Throws AppError when there is no folder for the socket that only this
    // user can write.
    explicit ListGuard(std::string listPath,
                       std::chrono::milliseconds answerLimit = std::chrono::seconds(5));
    ~ListGuard();
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;

    // Takes the lock and starts listening, or asks the holder to come to the
    // front, handing it `url` (none when empty; it holds no line break). Throws AppError naming the
    // list when the lock file cannot be opened or locking it fails for another reason than a file
    // system without locks. The holder answers in the event loop of the calling thread.
    Start Take(const std::string& url = {});

    // What the holder does for a later start, given the URL that start was
    // handed (empty: none), on the holder's thread, before it answers.
    void SetRaiseHandler(std::function<void(const std::string& url)> handler) {
        raise_ = std::move(handler);
    }

    // The message a later start shows when the holder does not answer.
    std::string NoAnswerMessage() const;

    const QString& SocketPath() const { return socketPath_; }

private:
    enum class Lock { Taken, Held, Unsupported };
    // Raised: the holder answered; Nobody listens on the socket; Silent: a
    // program listens but gave no answer in time.
    enum class Reply { Raised, Nobody, Silent };

    Lock TryLock();
    void Listen();
    void Serve(QLocalSocket& socket);
    Reply AskHolder(std::chrono::steady_clock::time_point deadline, const std::string& url) const;

    std::string listPath_;
    std::chrono::milliseconds answerLimit_;
    QString socketPath_;
    std::function<void(const std::string&)> raise_;
    UniqueFd lock_;
    // Declared after the lock: the socket goes away while the lock is held.
    std::unique_ptr<QLocalServer> server_;
};
