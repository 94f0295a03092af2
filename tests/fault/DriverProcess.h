#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// The fault driver (tests/fault/driver), or another helper program of the fault
// suite, running as a child process: its stdout is read line by line, its
// stderr goes to a file. Limits are set in the child before it starts the
// program; SIGXFSZ is ignored there, so a write beyond the file-size limit
// fails with EFBIG instead of killing it. The child is killed and reaped when
// the object goes away.
class DriverProcess {
public:
    using Milliseconds = std::chrono::milliseconds;

    struct Limits {
        rlim_t fileSize = RLIM_INFINITY;     // RLIMIT_FSIZE, soft limit only
        rlim_t addressSpace = RLIM_INFINITY; // RLIMIT_AS
    };

    struct Exit {
        bool timedOut = false; // still running at the deadline (then killed)
        bool exited = false;   // ended by exit(); otherwise by a signal
        int code = -1;         // exit status, or the signal's number
        long maxRssKiB = 0;    // peak resident memory
    };

    // args: the program's arguments (without the program itself).
    DriverProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::string& stderrPath, Limits limits);
    // The fault driver.
    DriverProcess(const std::vector<std::string>& args, const std::string& stderrPath,
                  Limits limits)
        : DriverProcess(QV_FAULT_DRIVER, args, stderrPath, limits) {}
    DriverProcess(const std::vector<std::string>& args, const std::string& stderrPath)
        : DriverProcess(args, stderrPath, Limits{}) {}
    ~DriverProcess();
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // The next line of output, or nothing at the end of output or time-out.
    std::optional<std::string> NextLine(Milliseconds timeout);
    // Reads until a line that starts with prefix and returns it; nothing at
    // the end of output or time-out.
    std::optional<std::string> WaitForLine(const std::string& prefix, Milliseconds timeout);
    // All lines read so far.
    const std::vector<std::string>& Lines() const { return lines_; }
    // Lines read so far that start with prefix.
    std::vector<std::string> LinesStartingWith(const std::string& prefix) const;

    void Signal(int number);
    // Whether the child has ended (it is reaped then); never waits.
    bool Ended();
    // Waits for the child to end, reading the rest of its output; kills it at
    // the deadline.
    Exit Wait(Milliseconds timeout);
    // SIGKILL and reap.
    Exit Kill();

    // Everything the test should see when a check fails: output and stderr.
    std::string Transcript() const;

private:
    // Reads what is available into the buffer; false when nothing came
    // (time-out or the end of output).
    bool Fill(Milliseconds timeout);
    Exit Reap(bool block);

    pid_t pid_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string pending_;
    std::vector<std::string> lines_;
    std::string name_; // the program's file name, for the transcript
    std::string stderrPath_;
    std::optional<Exit> exit_;
};

// Turns the driver's \\, \r and \n back into the characters.
std::string Unescaped(const std::string& text);
