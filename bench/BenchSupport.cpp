#include "BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

CpuTimes Usage(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return {Seconds(usage.ru_utime), Seconds(usage.ru_stime)};
}

// A file descriptor closed when it goes away.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Fd OpenOrFail(const std::string& path, int flags, mode_t mode = 0644) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) Fail("cannot open " + path);
    return Fd(fd);
}

void WriteAllAt(int fd, const char* data, size_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("write failed");
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

void CopyRange(int from, int to, int64_t offset, int64_t length) {
    loff_t in = offset, out = offset;
    while (length > 0) {
        const ssize_t n = ::copy_file_range(from, &in, to, &out, static_cast<size_t>(length), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("copy failed");
        length -= n;
    }
}

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The first word that a shell pipeline prints.
std::string FirstWordOf(const std::string& command) {
    struct Closer {
        void operator()(FILE* f) const { pclose(f); }
    };
    std::unique_ptr<FILE, Closer> pipe(popen(command.c_str(), "r"));
    if (!pipe) Fail("cannot run " + command);
    std::string text;
    char buffer[256];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe.get()))
        text.append(buffer, n);
    std::istringstream words(text);
    std::string word;
    words >> word;
    if (word.size() != 64) throw std::runtime_error("no hash from: " + command);
    return word;
}

std::string HashCommand() {
    // OpenSSL uses the processor's SHA instructions; sha256sum is the fallback.
    return ::access("/usr/bin/openssl", X_OK) == 0 ? "/usr/bin/openssl dgst -sha256 -r"
                                                   : "sha256sum";
}

} // namespace

CpuTimes ProcessCpu() {
    return Usage(RUSAGE_SELF);
}
CpuTimes ThreadCpu() {
    return Usage(RUSAGE_THREAD);
}

long PeakRssKiBOfSelf() {
    std::istringstream lines(ReadText("/proc/self/status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

ChildRun RunChild(const std::vector<std::string>& argv, const std::string& outputFile,
                  double timeoutSeconds) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    ChildRun run;
    const auto start = BenchClock::now();
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        Fail("cannot start " + argv[0]);
    }
    int status = 0;
    rusage usage{};
    if (timeoutSeconds > 0) {
        // Poll every 10 ms; past the limit the child is killed and reaped below.
        while (true) {
            const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
            if (done == pid) break;
            if (done < 0 && errno != EINTR) Fail("wait4");
            if (SecondsSince(start) > timeoutSeconds) {
                ::kill(pid, SIGKILL);
                run.timedOut = true;
                while (::wait4(pid, &status, 0, &usage) < 0) {
                    if (errno != EINTR) Fail("wait4");
                }
                break;
            }
            ::usleep(10000);
        }
    } else {
        while (::wait4(pid, &status, 0, &usage) < 0) {
            if (errno != EINTR) Fail("wait4");
        }
    }
    run.wall = SecondsSince(start);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.user = Seconds(usage.ru_utime);
    run.system = Seconds(usage.ru_stime);
    run.peakRssKiB = usage.ru_maxrss;
    run.output = ReadText(outputFile);
    return run;
}

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

double NumberOf(const std::map<std::string, std::string>& values, const std::string& key) {
    const auto found = values.find(key);
    if (found == values.end()) throw std::runtime_error("the probe did not report " + key);
    return std::stod(found->second);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Sha256OfFile(const std::string& path) {
    return FirstWordOf(HashCommand() + " " + ShellQuoted(path));
}

std::string Sha256OfRange(const std::string& path, int64_t offset, int64_t length) {
    return FirstWordOf("tail -c +" + std::to_string(offset + 1) + " " + ShellQuoted(path) +
                       " | head -c " + std::to_string(length) + " | " + HashCommand());
}

void WriteRandomFile(const std::string& path, int64_t size, uint64_t seed) {
    Fd fd = OpenOrFail(path, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<uint64_t> block(1 << 17); // 1 MiB
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (int64_t at = 0; at < size;) {
        for (uint64_t& word : block) {
            // xorshift64*
            state ^= state >> 12;
            state ^= state << 25;
            state ^= state >> 27;
            word = state * 0x2545F4914F6CDD1Dull;
        }
        const int64_t n = std::min<int64_t>(size - at, static_cast<int64_t>(block.size() * 8));
        WriteAllAt(fd.get(), reinterpret_cast<const char*>(block.data()), static_cast<size_t>(n),
                   at);
        at += n;
    }
}

void WriteHoleyCopy(const std::string& source, const std::string& target,
                    const std::vector<std::pair<int64_t, int64_t>>& holes, bool sparse) {
    const int64_t size = FileSize(source);
    Fd from = OpenOrFail(source, O_RDONLY);
    Fd to = OpenOrFail(target, O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::pair<int64_t, int64_t>> sorted = holes;
    std::sort(sorted.begin(), sorted.end());
    if (sparse) {
        if (::ftruncate(to.get(), size) != 0) Fail("cannot size " + target);
        int64_t at = 0;
        for (const auto& [begin, end] : sorted) {
            if (begin > at) CopyRange(from.get(), to.get(), at, begin - at);
            at = std::max(at, end);
        }
        if (at < size) CopyRange(from.get(), to.get(), at, size - at);
        return;
    }
    CopyRange(from.get(), to.get(), 0, size);
    std::vector<char> zeros;
    for (const auto& [begin, end] : sorted) {
        zeros.assign(static_cast<size_t>(end - begin), '\0');
        WriteAllAt(to.get(), zeros.data(), zeros.size(), begin);
    }
}

void CopyFile(const std::string& source, const std::string& target) {
    Fd from = OpenOrFail(source, O_RDONLY);
    Fd to = OpenOrFail(target, O_WRONLY | O_CREAT | O_TRUNC);
    CopyRange(from.get(), to.get(), 0, FileSize(source));
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) Fail("cannot stat " + path);
    return st.st_size;
}

void SyncFileSystem(const std::string& path) {
    Fd fd = OpenOrFail(path, O_RDONLY);
    ::syncfs(fd.get());
}

void EvictFromCache(const std::string& path) {
    Fd fd = OpenOrFail(path, O_RDONLY);
    if (::fdatasync(fd.get()) != 0) Fail("fdatasync " + path);
    const int rc = ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    if (rc != 0) {
        errno = rc;
        Fail("cannot drop the cached pages of " + path);
    }
}

double FlushFile(const std::string& path) {
    Fd fd = OpenOrFail(path, O_WRONLY);
    const auto start = BenchClock::now();
    if (::fdatasync(fd.get()) != 0) Fail("fdatasync " + path);
    return SecondsSince(start);
}

void RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

void MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot create " + path);
}

std::string ReadText(const std::string& path) {
    Fd fd = OpenOrFail(path, O_RDONLY);
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail("cannot read " + path);
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

void WriteText(const std::string& path, const std::string& text) {
    Fd fd = OpenOrFail(path, O_WRONLY | O_CREAT | O_TRUNC);
    WriteAllAt(fd.get(), text.data(), text.size(), 0);
}

void WriteRanges(const std::string& path, const std::vector<std::pair<int64_t, int64_t>>& ranges) {
    std::string text;
    for (const auto& [first, last] : ranges)
        text += std::to_string(first) + " " + std::to_string(last) + "\n";
    WriteText(path, text);
}

std::vector<std::pair<int64_t, int64_t>> ReadRanges(const std::string& path) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    std::istringstream in(ReadText(path));
    for (int64_t first, last; in >> first >> last;)
        ranges.push_back({first, last});
    return ranges;
}

std::string Fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}
