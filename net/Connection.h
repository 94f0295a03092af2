#pragma once

#include "net/ByteSource.h"

#include <chrono>
#include <string_view>

// One connection of the client, plain TCP or TLS over TCP: the HTTP code
// above it reads, writes and asks whether it is still usable, and never
// knows which of the two it holds. Every wait also watches the client's
// abort signal and the time-out.
class Connection : public ByteSource {
public:
    // Time without progress after which a read or write fails with 10060.
    virtual void SetTimeout(std::chrono::milliseconds timeout) = 0;
    // Writes all bytes. Throws HttpFailure.
    virtual void SendAll(std::string_view bytes) = 0;
    // Without waiting: whether the peer has closed or reset the connection,
    // or sent bytes nobody asked for; either way it is no longer usable.
    virtual bool Unusable() = 0;
};
