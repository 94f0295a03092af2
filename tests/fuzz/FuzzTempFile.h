#pragma once

// A scratch folder for fuzz targets whose code under test reads files: the
// input is written to a file in it before each run. The folder is made once
// per process and removed when the process ends.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

class FuzzScratchFolder {
public:
    FuzzScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qv-fuzz-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~FuzzScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    FuzzScratchFolder(const FuzzScratchFolder&) = delete;
    FuzzScratchFolder& operator=(const FuzzScratchFolder&) = delete;

    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Replaces the file's contents with the bytes.
    static void Write(const std::string& path, const std::uint8_t* data, std::size_t size) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            std::perror("open");
            std::abort();
        }
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n <= 0) {
                std::perror("write");
                std::abort();
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        ::close(fd);
    }

private:
    std::string path_;
};

// Fails loudly where a fuzzer notices, naming the broken invariant.
#ifndef FUZZ_CHECK
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "broken invariant: %s (line %d)\n", #condition, __LINE__);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
#endif
