#pragma once

#include "BenchSupport.h"
#include "ListFixtures.h"
#include "NginxServer.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// What every benchmark scenario of the driver shares: the options, the
// served folder and the nginx that serves it, the job run as a child
// process, the SHA-256 tally and the rows of the results table.

using Ranges = std::vector<std::pair<int64_t, int64_t>>;

constexpr int64_t kMiB = 1024 * 1024;
constexpr const char* kCurl = "/usr/bin/curl";
// nginx's rate for the slow location, in bytes per second ("200k").
constexpr int64_t kSlowRate = 200 * 1024;

struct Options {
    std::string work;
    std::string out;
    int reps = 5;
    int64_t bigSize = 1024 * kMiB;
    int64_t hugeSize = 4096 * kMiB + kMiB; // a range past 4 GiB
    std::string baseline;      // quilvane_bench built from the program before the change
    std::string beforeSample;  // quilvane_bench built from the program before the same-file sample
    std::string beforeRetries; // quilvane_bench built from the program before retries and records
    int manyRanges = 1000;
    int partsCount = 100; // per parts probe; two probes per run
    int listRanges = 100;
    double slowSeconds = 10;
    bool dev = false;
    std::string only; // trial runs: the benchmarks to run, e.g. "large,many"
    std::string wrap; // trial runs: a command that each job run is started under
};

// The driver's arguments after "driver"; throws on an unknown or missing one.
Options ParseOptions(int argc, char** argv);

void Progress(const std::string& text);

// One row of the results table.
struct Row {
    std::string benchmark, measure, quilvane, reference, ratio, target, met;
};

std::string YesNo(bool ok);

// The figures of one measured thing over the repetitions whose checks passed.
struct Series {
    std::vector<double> values;
    void Add(double v) { values.push_back(v); }
    double Median() const { return ::Median(values); }
};

// A List.xml entry for `incomplete`, a file of `size` bytes missing `holes`.
TestEntry EntryFor(const std::string& incomplete, int64_t size, const Ranges& holes,
                   const std::string& url);

// A job run (one Resume of row 0 of a List.xml); `ok` only when it passed
// its checks, and the figures are set only then.
struct JobRun {
    bool ok = false;
    ChildRun child;
    std::map<std::string, std::string> values;
    double wall = 0, cpu = 0, mainCpu = 0;
};

// The 64 MiB served file whose thousand holes of 4 KiB the small-range
// scenarios fetch.
struct ManyFile {
    std::string path, hash;
    Ranges holes;
};

class BenchContext {
public:
    // Starts nginx on the work folder's www/, with its own files in nginx/.
    explicit BenchContext(Options options);

    const Options& Opt() const { return o_; }
    // This program, which the driver starts again for its probes.
    const std::string& Self() const { return self_; }
    // The folder nginx serves.
    const std::string& Www() const { return www_; }
    std::string Url(const std::string& path) const { return nginx_.url(path); }
    int Port() const { return nginx_.port(); }
    // The same folder over https, with a certificate of the test authority,
    // which every child of the driver trusts.
    std::string TlsUrl(const std::string& path) const { return tlsNginx_.url(path); }

    // Whether a scenario is to run (all of them unless --only names some).
    bool Wanted(const std::string& name) const;
    // work/<name>, created.
    std::string Folder(const std::string& name) const;
    // True when the series has a figure from every repetition.
    bool Complete(const Series& s) const;

    // The job run on `list` by this program or, with `before`, by the
    // program before the change; checked by its last log line, the entries
    // left and the SHA-256 of the finished file.
    JobRun RunJob(const std::string& folder, const std::string& list, const std::string& incomplete,
                  const std::string& expectedHash, int entriesAfter, bool before = false);
    // The same, by the quilvane_bench at `program`.
    JobRun RunJobOf(const std::string& program, const std::string& folder, const std::string& list,
                    const std::string& incomplete, const std::string& expectedHash,
                    int entriesAfter);
    // Downloads > New... of `url` with the downloads folder at `folder`, Ok
    // pressed; checked as a job run is, on `savedAs`, the file the dialog
    // is to propose there.
    JobRun RunNewDownload(const std::string& folder, const std::string& list,
                          const std::string& url, const std::string& savedAs,
                          const std::string& expectedHash);
    // Resume of row 0 of `list`, a download that awaits only its checksum:
    // the run hashes `file` of `size` bytes and finishes the download;
    // checked as a job run is.
    JobRun RunChecksum(const std::string& folder, const std::string& list, const std::string& file,
                       int64_t size, const std::string& expectedHash);
    // Counts a SHA-256 comparison for the correctness row.
    bool Check(bool ok, const std::string& what);

    // How many requests nginx has logged so far.
    size_t LoggedCount() const;
    // How many connections the requests logged after the first `from` came
    // over, waiting until `expected` of them are logged (nginx logs just
    // after answering). -1 when fewer arrive.
    int ConnectionsSince(size_t from, size_t expected) const;
    // How many requests were logged after the first `from`, waiting as above.
    size_t RequestsSince(size_t from, size_t expected) const;

    // Writes the many-ranges file into the served folder.
    ManyFile PrepareManyFile() const;

    void AddRow(Row row) { rows_.push_back(std::move(row)); }
    // The Markdown table of every row added, ending with the correctness row.
    std::string Table() const;

private:
    // A probe (`argv`: the program and its arguments) as a child, under
    // QV_BENCH_WRAP's command when set; checked by its last log line, the
    // entries left and the SHA-256 of the `finished` file.
    JobRun RunProbe(std::vector<std::string> argv, const std::string& folder,
                    const std::string& finished, const std::string& expectedHash, int entriesAfter);

    Options o_;
    std::string self_;
    std::string www_;
    NginxServer nginx_;
    NginxServer tlsNginx_;
    std::vector<Row> rows_;
    int checks_ = 0, checksPassed_ = 0;
};
