#pragma once

#include "common/UniqueFd.h"

#include <cstdint>
#include <string>

// The incomplete file of a download, held open for writing while the import
// checks and cuts it or a job run writes its ranges. Opens an existing
// regular file only, never through a symbolic link, locked against a second
// writer (readers may still open it) where the file system can lock; closes
// in every case.
class IncompleteFile {
public:
    // Throws AppError saying why the file cannot be opened for writing.
    explicit IncompleteFile(const std::string& path);
    ~IncompleteFile();
    IncompleteFile(const IncompleteFile&) = delete;
    IncompleteFile& operator=(const IncompleteFile&) = delete;

    // The file's length now. Throws AppError.
    int64_t Length() const;
    // False when the file is shorter than size (nothing is changed);
    // otherwise cuts every byte beyond size. Nothing is read from the file.
    bool CutToSize(int64_t size);
    // Up to `size` bytes from offset; fewer only at the end of the file.
    // Throws AppError when the file cannot be read.
    std::string ReadAt(int64_t offset, size_t size) const;
    // Writes all bytes at offset. Throws AppError when any byte cannot be
    // written.
    void WriteAt(int64_t offset, const char* data, size_t size);
    // Moves up to `size` bytes from a pipe into the file at offset without
    // copying them through memory; returns how many, 0 when this file cannot
    // take bytes that way (the pipe is then untouched). Throws AppError when
    // the file refuses them.
    size_t MoveFromPipe(int pipeRead, int64_t offset, size_t size);
    // Starts writing the given bytes back to the disk without waiting, so
    // that a later Flush() waits only for what came after. A file system
    // that does not offer this (said by the first call) goes without it.
    // Throws AppError when the disk reports an error.
    void StartWriteback(int64_t offset, int64_t size);
    // Waits until the given bytes, whose writeback was started, are on disk.
    // Throws AppError when they could not be written: every error counts,
    // since the file system reports it here once and never again.
    void WaitWriteback(int64_t offset, int64_t size);
    // Makes every byte written so far durable. Throws AppError.
    void Flush();
    // Extends the file to `size` bytes with its blocks allocated, so that a
    // disk too small says so now and not when the bytes arrive; a file system
    // that cannot allocate ahead gets the length alone. When the disk is
    // full, the file gets its old length back before the AppError.
    void Allocate(int64_t size);
    // Cuts or extends the file to exactly size bytes.
    void SetSize(int64_t size);
    void Close();

private:
    static bool WritebackUnsupported(int error);
    [[noreturn]] void Fail(const std::string& what, int error) const;
    [[noreturn]] void Refuse(const std::string& reason);

    std::string path_;
    UniqueFd fd_;
    bool writebackAsked_ = false; // the first start call was made
    bool writebackOff_ = false;   // the file system does not offer it
};
