#include "transfer/LimitedSink.h"

#include "net/AbortSignal.h"
#include "net/SocketError.h"
#include "transfer/SpeedLimit.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

bool LimitedSink::Limited() const {
    return limit_ && limit_->Rate() > 0;
}

std::size_t LimitedSink::PipeRoom() const {
    return Limited() ? 0 : sink_.PipeRoom();
}

void LimitedSink::Take(const char* data, std::size_t size) {
    while (size > 0) {
        if (!limit_) {
            sink_.Take(data, size);
            return;
        }
        const SpeedLimit::Grant grant = limit_->Ask(size);
        if (grant.bytes > 0) {
            sink_.Take(data, grant.bytes);
            data += grant.bytes;
            size -= grant.bytes;
            continue;
        }
        // Waits for the next grant, or for the request's abort.
        pollfd abort{abort_.Descriptor(), POLLIN, 0};
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(grant.wait);
        ::poll(&abort, 1, static_cast<int>(std::clamp<long long>(wait.count(), 1, 1000)));
        if (abort_.Raised()) throw SocketFailure(kWsaInterrupted);
    }
}
