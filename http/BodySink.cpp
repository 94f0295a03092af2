#include "http/BodySink.h"

#include "common/HttpFailure.h"

void MemoryBodySink::Take(const char* data, std::size_t size) {
    const std::size_t room = limit_ - std::min(limit_, bytes_.size());
    bytes_.append(data, std::min(size, room));
    if (size > room)
        throw HttpFailure(HttpFailureKind::BodyTooLong, "The answer's body is longer than " +
                                                            std::to_string(limit_) +
                                                            " bytes and was not read to its end.");
}
