#include "DriverProcess.h"

#include "TempDir.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

} // namespace

DriverProcess::DriverProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::string& stderrPath, Limits limits)
    : name_(program.substr(program.rfind('/') + 1)), stderrPath_(stderrPath) {
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are made.
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const int errFd = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (errFd < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        throw std::runtime_error("cannot open " + stderrPath);
    }
    const struct rlimit fileSize = {limits.fileSize, RLIM_INFINITY};
    const struct rlimit addressSpace = {limits.addressSpace, limits.addressSpace};

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        if (limits.fileSize != RLIM_INFINITY) ::setrlimit(RLIMIT_FSIZE, &fileSize);
        if (limits.addressSpace != RLIM_INFINITY) ::setrlimit(RLIMIT_AS, &addressSpace);
        ::signal(SIGXFSZ, SIG_IGN);
        // A test killed at its time-out takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    ::close(errFd);
    if (pid_ < 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("fork failed");
    }
    out_ = pipeFds[0];
}

DriverProcess::~DriverProcess() {
    if (!exit_) Kill();
    if (out_ >= 0) ::close(out_);
}

bool DriverProcess::Fill(Milliseconds timeout) {
    if (eof_) return false;
    pollfd fd = {out_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&fd, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return false;
    char buffer[65536];
    ssize_t n;
    do {
        n = ::read(out_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> DriverProcess::NextLine(Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            lines_.push_back(line);
            return line;
        }
        // At least one look at the pipe, even with no time left.
        if (!Fill(Milliseconds(RemainingMs(deadline))) && (eof_ || Clock::now() >= deadline))
            return std::nullopt;
    }
}

std::optional<std::string> DriverProcess::WaitForLine(const std::string& prefix,
                                                      Milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::optional<std::string> line = NextLine(Milliseconds(RemainingMs(deadline)));
        if (!line) return std::nullopt;
        if (line->rfind(prefix, 0) == 0) return line;
    }
}

std::vector<std::string> DriverProcess::LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines_)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

void DriverProcess::Signal(int number) {
    if (!exit_) ::kill(pid_, number);
}

bool DriverProcess::Ended() {
    return exit_ || !Reap(false).timedOut;
}

DriverProcess::Exit DriverProcess::Reap(bool block) {
    int status = 0;
    struct rusage usage {};
    pid_t got;
    do {
        got = ::wait4(pid_, &status, block ? 0 : WNOHANG, &usage);
    } while (got < 0 && errno == EINTR);
    Exit result;
    if (got != pid_) {
        result.timedOut = true;
        return result;
    }
    result.exited = WIFEXITED(status);
    result.code = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    result.maxRssKiB = usage.ru_maxrss;
    exit_ = result;
    return result;
}

DriverProcess::Exit DriverProcess::Wait(Milliseconds timeout) {
    if (exit_) return *exit_;
    const auto deadline = Clock::now() + timeout;
    while (NextLine(Milliseconds(RemainingMs(deadline)))) {
    }
    // The output has ended; the process follows a moment later.
    while (Clock::now() < deadline) {
        Exit result = Reap(false);
        if (!result.timedOut) return result;
        ::usleep(2000);
    }
    Kill();
    Exit result = *exit_;
    result.timedOut = true;
    exit_ = result;
    return result;
}

DriverProcess::Exit DriverProcess::Kill() {
    if (exit_) return *exit_;
    ::kill(pid_, SIGKILL);
    Exit result = Reap(true);
    // Whatever it printed before it died is still worth reading.
    while (NextLine(Milliseconds(0))) {
    }
    return result;
}

std::string DriverProcess::Transcript() const {
    std::string text = "--- " + name_ + " output ---\n";
    for (const std::string& line : lines_)
        text += line + "\n";
    if (!pending_.empty()) text += "--- read, not yet taken as lines ---\n" + pending_ + "\n";
    text += "--- " + name_ + " stderr ---\n";
    if (FileExists(stderrPath_)) text += ReadWholeFile(stderrPath_);
    return text;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}
