#pragma once

#include "common/HttpFailure.h"

#include <string>

// Socket failures are reported with the Windows Sockets error numbers and
// their descriptions, which users and the activity log know; POSIX errno
// values and resolver results are mapped onto them here.

// Windows Sockets numbers the client produces itself.
inline constexpr int kWsaInterrupted = 10004;  // aborted request
inline constexpr int kWsaAddrNotAvail = 10049; // unusable port number
inline constexpr int kWsaTimedOut = 10060;     // read or connect time-out
inline constexpr int kWsaConnRefused = 10061;
inline constexpr int kWsaConnReset = 10054;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// The Windows Sockets number for an errno value; an errno without a
// counterpart keeps its own number (which has no description).
int SocketCodeFromErrno(int err);
// The Windows Sockets number for a getaddrinfo() result other than 0.
int SocketCodeFromResolver(int gaiResult);
// The description of a code, empty for a code without one.
std::string SocketErrorDescription(int code);
// "Socket Error # <code>" CR LF <description>.
std::string SocketErrorMessage(int code);
HttpFailure SocketFailure(int code);
