#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Helpers shared by the benchmark driver and its probes.

using BenchClock = std::chrono::steady_clock;

inline double SecondsSince(BenchClock::time_point start) {
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// CPU seconds (user, system) of this process, or of the calling thread.
struct CpuTimes {
    double user = 0;
    double system = 0;
    double Total() const { return user + system; }
};
CpuTimes ProcessCpu();
CpuTimes ThreadCpu();
// VmHWM of this process from /proc/self/status, in KiB (0 when unknown).
long PeakRssKiBOfSelf();

// What a finished child process used, from wait4().
struct ChildRun {
    int exitStatus = -1; // the exit code, or -1 when it died of a signal
    double wall = 0;
    double user = 0;
    double system = 0;
    long peakRssKiB = 0;   // the kernel's high-water mark of its resident set (VmHWM)
    bool timedOut = false; // it was killed after the time it was given
    std::string output;    // its standard output
};

// Runs argv[0] (a full path) with its standard output captured in
// `outputFile` and standard error passed through. With a time limit, a child
// still running after `timeoutSeconds` is killed (SIGKILL).
ChildRun RunChild(const std::vector<std::string>& argv, const std::string& outputFile,
                  double timeoutSeconds = 0);

// "key=value" lines of a probe's output.
std::map<std::string, std::string> ParseKeyValues(const std::string& text);
double NumberOf(const std::map<std::string, std::string>& values, const std::string& key);

double Median(std::vector<double> values);

// SHA-256 (lowercase hex) of a whole file, or of `length` bytes from
// `offset`, computed by the system's tools.
std::string Sha256OfFile(const std::string& path);
std::string Sha256OfRange(const std::string& path, int64_t offset, int64_t length);

// Pseudo-random file contents, the same for the same seed.
void WriteRandomFile(const std::string& path, int64_t size, uint64_t seed);
// A copy of `source` whose bytes in each [begin, end) are zeros. With
// `sparse`, only the bytes outside the holes are written (one hole spanning
// most of a large file stays unallocated, as a fresh download's would be).
void WriteHoleyCopy(const std::string& source, const std::string& target,
                    const std::vector<std::pair<int64_t, int64_t>>& holes, bool sparse);
void CopyFile(const std::string& source, const std::string& target);
int64_t FileSize(const std::string& path);
// Flushes everything written to the file system that holds `path`, so that a
// measurement does not pay for the writes of the one before it.
void SyncFileSystem(const std::string& path);
// Drops the file's pages from the page cache (written back first), so that
// the next reader reads it from the disk; the cache of other files is kept.
void EvictFromCache(const std::string& path);
// fdatasync of a whole file; returns the seconds it took.
double FlushFile(const std::string& path);
void RemoveFile(const std::string& path);
void MakeFolder(const std::string& path);

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// A file of ranges, one "first last" pair per line, as the probes read them.
void WriteRanges(const std::string& path, const std::vector<std::pair<int64_t, int64_t>>& ranges);
std::vector<std::pair<int64_t, int64_t>> ReadRanges(const std::string& path);

// Formats a number with `decimals` places.
std::string Fixed(double value, int decimals);
