#pragma once

#include <cstdint>
#include <string>

// The incomplete file of a download, open for writing while a job run fetches
// its ranges. Opens existing files only; closes in every case.
class IncompleteFile {
public:
    // Throws AppError naming the file and the system's reason.
    explicit IncompleteFile(const std::string& path);
    ~IncompleteFile();
    IncompleteFile(const IncompleteFile&) = delete;
    IncompleteFile& operator=(const IncompleteFile&) = delete;

    // Writes all bytes at offset and makes them durable before returning.
    // Throws AppError when any byte cannot be written.
    void WriteAt(int64_t offset, const char* data, size_t size);
    // Cuts or extends the file to exactly size bytes.
    void SetSize(int64_t size);
    void Close();

private:
    std::string path_;
    int fd_ = -1;
};
