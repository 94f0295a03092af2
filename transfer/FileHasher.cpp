#include "transfer/FileHasher.h"

#include "common/UniqueFd.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Large enough that the system calls cost nothing beside the hashing, small
// enough to stay in the processor's cache.
constexpr std::size_t kBlock = 1 << 20;

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

FileHasher::FileHasher(std::string path, std::string algorithm, std::function<void()> onDone)
    : path_(std::move(path)), algorithm_(std::move(algorithm)), onDone_(std::move(onDone)) {
    thread_ = std::thread([this] { Run(); });
}

FileHasher::~FileHasher() {
    Withdraw();
    thread_.join();
}

void FileHasher::Run() {
    const std::string why = [this]() -> std::string {
        const EVP_MD* md = EVP_get_digestbyname(algorithm_.c_str());
        const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
        if (!md || !context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
            return "the digest " + algorithm_ + " is not available";
        const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) return std::strerror(errno);
        ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        std::vector<unsigned char> block(kBlock);
        for (;;) {
            if (Withdrawn()) return {};
            const ssize_t n = ::read(fd.Get(), block.data(), block.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::strerror(errno);
            if (n == 0) break;
            if (EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(n)) != 1)
                return "the digest could not be computed";
            hashed_.fetch_add(n, std::memory_order_relaxed);
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
            return "the digest could not be computed";
        static const char kHex[] = "0123456789abcdef";
        for (unsigned int i = 0; i < length; ++i) {
            digest_ += kHex[digest[i] >> 4];
            digest_ += kHex[digest[i] & 15];
        }
        return {};
    }();
    if (!why.empty()) error_ = "The file " + path_ + " cannot be read for its checksum: " + why;
    done_.store(true, std::memory_order_release);
    if (onDone_) onDone_();
}
