#pragma once

#include <functional>
#include <string>

#include <netinet/in.h>

class AbortSignal;

// Looks a host name up: 0 and its IPv4 address, or a getaddrinfo() error
// code (EAI_NODATA for a name without an IPv4 address).
using ResolveFunction = std::function<int(const std::string& host, in_addr& address)>;

// The system's resolver, IPv4 only.
int SystemResolveIPv4(const std::string& host, in_addr& address);

// Whether the system would take `host` for an IPv4 address that is not
// written as four plain decimal numbers (010.0.0.1 is 8.0.0.1 to it, 10.1 is
// 10.0.0.1): the certificate check and the cookies read such a host as
// another address than the connection, or as a name.
bool IsAddressInAnotherForm(const std::string& host);

// The IPv4 address of a host: "localhost" (any case) is 127.0.0.1, a dotted
// address is taken as it is, anything else goes to `resolve` on the one
// lookup thread of the process (after the lookup before it has ended). The
// wait watches `abort`: an abort ends it at once with 10004 and leaves a
// lookup that stalls to finish by itself, so shut-down never waits on a name
// server. Throws HttpFailure (socket error).
in_addr ResolveIPv4(const std::string& host, const AbortSignal& abort,
                    const ResolveFunction& resolve);

// How many lookup threads the process has started so far.
int LookupThreadsStarted();
