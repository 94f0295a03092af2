// The end of a download that has a checksum: the whole file hashed on a
// worker while the window waits, judged against the published digest.
#pragma once

#include "app/core/JobSeams.h"
#include "common/Checksum.h"

#include <cstdint>
#include <optional>
#include <string>

class ListEntry;

// The entry's Checksum attribute as written, none when it has none.
std::optional<std::string> ChecksumAttribute(const ListEntry& entry);
// The entry's checksum, none when it has none or one that does not read.
std::optional<Checksum> EntryChecksum(const ListEntry& entry);
// The log's text for a Checksum attribute that does not read (a list
// changed by hand): the file is not called finished unchecked.
std::string UnreadableChecksumText(const std::string& attribute);

// The log's texts of a verdict.
std::string ChecksumVerifiedText(const Checksum& expected);
std::string ChecksumMismatchText(const Checksum& expected, const std::string& found);

class DigestCheck {
public:
    enum class Verdict { Verified, Mismatch, Stopped, Failed };
    struct Result {
        Verdict verdict = Verdict::Failed;
        std::string message; // the log's text (none for Stopped)
    };

    // `stop` is read while the file is hashed: set (Pause, Exit), the work
    // is withdrawn.
    DigestCheck(JobLog& log, JobWindow& window, const bool& stop);

    // Hashes the file of `size` bytes at `path`, the status line showing how
    // far, and logs the verdict: verified (info), a mismatch or a file that
    // cannot be read (error); nothing when stopped.
    Result Verify(const std::string& path, std::int64_t size, const Checksum& expected);

private:
    JobLog& log_;
    JobWindow& window_;
    const bool& stop_;
};
