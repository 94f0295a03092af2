#include "xml/AttributeGuard.h"

#include <cerrno>
#include <unistd.h>

bool AttributeCounter::Scan(std::string_view text) {
    for (const char c : text) {
        if (c == '\n') {
            ++line_;
        } else if (c == '<') {
            inTag_ = true;
            equals_ = 0;
            tagLine_ = line_;
        } else if (c == '=' && inTag_ && ++equals_ > kMaxAttributes) {
            crowded_ = true;
            return false;
        }
    }
    return true;
}

bool CrowdedText(std::string_view text) {
    AttributeCounter counter;
    return !counter.Scan(text);
}

std::string CrowdedReason() {
    return "Too many attributes in one element (more than " + std::to_string(kMaxAttributes) + ")";
}

CountingInput::CountingInput(int fd) : fd_(fd) {
    const std::string encoding = StreamEncoding(ReadHead(fd));
    if (KeepsAsciiBytes(encoding)) return;
    decoder_.emplace(encoding);
    // Undecodable text is counted as it is.
    if (!decoder_->Valid()) decoder_.reset();
}

int CountingInput::Read(void* self, char* buffer, int length) {
    return static_cast<CountingInput*>(self)->ReadSome(buffer, length);
}

int CountingInput::ReadSome(char* buffer, int length) {
    ssize_t got;
    do {
        got = pread(fd_, buffer, static_cast<std::size_t>(length), offset_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return static_cast<int>(got);
    if (!Count(std::string_view(buffer, static_cast<std::size_t>(got)))) return -1;
    offset_ += got;
    return static_cast<int>(got);
}

bool CountingInput::Count(std::string_view bytes) {
    if (!decoder_) return counter_.Scan(bytes);
    return decoder_->Feed(bytes, [this](std::string_view text) { return counter_.Scan(text); });
}
