#pragma once

#include "common/AppError.h"

#include <string>
#include <utility>

// How a request failed.
enum class HttpFailureKind {
    Socket,            // "Socket Error # <code>\r\n<description>"
    ClosedConnection,  // "Connection Closed Gracefully."
    Status,            // the status line; Body() holds the answer's body
    LineTooLong,       // "Max line length exceeded."
    UnsupportedScheme, // "IOHandler value is not valid"
    UnknownScheme,     // "Unknown Protocol"
    BodyTooLong,       // a body went past what its sink takes
    Protocol,          // an answer no client can follow (endless 100 answers, say)
    Tls,               // the secure connection failed: its certificate, or the handshake
    Redirect,          // a redirect that is not followed: a loop, too many, to plain http
    Address,           // a server address that is read in more than one way
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
