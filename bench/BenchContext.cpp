// The shared part of the benchmark driver: its options, the nginx that
// serves the work folder, the job run as a child process with its checks,
// and the results table.

#include "BenchContext.h"

#include "TestCertificates.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace {

std::string MadeFolder(std::string path) {
    MakeFolder(path);
    return path;
}

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) throw std::runtime_error("cannot find this program");
    return std::string(buffer, static_cast<size_t>(n));
}

} // namespace

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error("missing value after " + a);
            return argv[++i];
        };
        if (a == "--work")
            o.work = value();
        else if (a == "--out")
            o.out = value();
        else if (a == "--reps")
            o.reps = std::stoi(value());
        else if (a == "--big-mib")
            o.bigSize = std::stoll(value()) * kMiB;
        else if (a == "--huge-mib")
            o.hugeSize = std::stoll(value()) * kMiB;
        else if (a == "--baseline")
            o.baseline = value();
        else if (a == "--before-sample")
            o.beforeSample = value();
        else if (a == "--before-retries")
            o.beforeRetries = value();
        else if (a == "--dev")
            o.dev = true;
        else if (a == "--only")
            o.only = value();
        else
            throw std::runtime_error("unknown option " + a);
    }
    if (o.work.empty()) throw std::runtime_error("--work <folder> is required");
    if (!o.dev && (o.reps < 5 || o.bigSize != 1024 * kMiB || o.hugeSize != 4097 * kMiB))
        throw std::runtime_error("reported figures need --reps >= 5 and the 1 GiB file; "
                                 "use --dev for trial runs");
    if (const char* wrap = std::getenv("QV_BENCH_WRAP")) o.wrap = wrap;
    if (!o.dev && (!o.only.empty() || !o.wrap.empty()))
        throw std::runtime_error("--only and QV_BENCH_WRAP need --dev");
    if (o.dev) {
        o.partsCount = 25;
        o.slowSeconds = 3;
    }
    return o;
}

void Progress(const std::string& text) {
    std::fprintf(stderr, "[bench] %s\n", text.c_str());
    std::fflush(stderr);
}

std::string YesNo(bool ok) {
    return ok ? "yes" : "**no**";
}

TestEntry EntryFor(const std::string& incomplete, int64_t size, const Ranges& holes,
                   const std::string& url) {
    TestEntry e;
    int64_t missing = 0;
    for (const auto& [begin, end] : holes)
        missing += end - begin;
    e.fileName = incomplete;
    e.fileSize = std::to_string(size);
    e.downloaded = std::to_string(size - missing);
    e.remains = std::to_string(missing);
    e.percent = "0%";
    e.url = url;
    for (const auto& [begin, end] : holes)
        e.ranges.push_back({begin, end});
    return e;
}

BenchContext::BenchContext(Options options)
    : o_(std::move(options)), self_(SelfPath()), www_(MadeFolder(o_.work + "/www")),
      nginx_(www_, NginxServer::Setup{QV_BENCH_DIR "/nginx.conf.in",
                                      o_.work + "/nginx",
                                      {{"@SLOW_RATE@", std::to_string(kSlowRate / 1024) + "k"}},
                                      "",
                                      ""}),
      tlsNginx_(www_, [&] {
          const TestCertificates::Pair pair =
              TestCertificates::Signed("localhost", "DNS:localhost,IP:127.0.0.1");
          return NginxServer::Setup{QV_BENCH_DIR "/nginx.conf.in",
                                    o_.work + "/nginx-tls",
                                    {{"@SLOW_RATE@", std::to_string(kSlowRate / 1024) + "k"}},
                                    pair.certificate,
                                    pair.key};
      }()) {
    Progress("nginx serves " + www_ + " on 127.0.0.1:" + std::to_string(nginx_.port()) +
             ", over https on 127.0.0.1:" + std::to_string(tlsNginx_.port()));
}

bool BenchContext::Wanted(const std::string& name) const {
    return o_.only.empty() || ("," + o_.only + ",").find("," + name + ",") != std::string::npos;
}

std::string BenchContext::Folder(const std::string& name) const {
    return MadeFolder(o_.work + "/" + name);
}

bool BenchContext::Complete(const Series& s) const {
    return static_cast<int>(s.values.size()) == o_.reps;
}

JobRun BenchContext::RunJob(const std::string& folder, const std::string& list,
                            const std::string& incomplete, const std::string& expectedHash,
                            int entriesAfter, bool before) {
    return RunJobOf(before ? o_.baseline : self_, folder, list, incomplete, expectedHash,
                    entriesAfter);
}

JobRun BenchContext::RunJobOf(const std::string& program, const std::string& folder,
                              const std::string& list, const std::string& incomplete,
                              const std::string& expectedHash, int entriesAfter) {
    return RunProbe({program, "jobrun", list}, folder, incomplete, expectedHash, entriesAfter);
}

JobRun BenchContext::RunNewDownload(const std::string& folder, const std::string& list,
                                    const std::string& url, const std::string& savedAs,
                                    const std::string& expectedHash) {
    return RunProbe({self_, "newdownload", list, url, folder}, folder, savedAs, expectedHash, 0);
}

JobRun BenchContext::RunChecksum(const std::string& folder, const std::string& list,
                                 const std::string& file, int64_t size,
                                 const std::string& expectedHash) {
    return RunProbe({self_, "checksum", list, std::to_string(size)}, folder, file, expectedHash, 0);
}

JobRun BenchContext::RunProbe(std::vector<std::string> argv, const std::string& folder,
                              const std::string& finished, const std::string& expectedHash,
                              int entriesAfter) {
    SyncFileSystem(folder);
    JobRun run;
    if (!o_.wrap.empty()) {
        // Trial runs under a profiler: QV_BENCH_WRAP="/usr/bin/perf record -g -o FILE".
        std::istringstream words(o_.wrap);
        std::vector<std::string> prefix;
        for (std::string w; words >> w;)
            prefix.push_back(w);
        argv.insert(argv.begin(), prefix.begin(), prefix.end());
    }
    run.child = RunChild(argv, folder + "/jobrun.txt");
    run.values = ParseKeyValues(run.child.output);
    const std::string done = "File " + finished + " downloaded successfully.";
    bool ok = run.child.exitStatus == 0 && run.values["last_log"] == done &&
              run.values["entries_after"] == std::to_string(entriesAfter);
    if (!ok) {
        Progress("job run failed its checks: " + run.child.output);
    } else {
        ok = Check(Sha256OfFile(finished) == expectedHash, "job run: " + finished);
    }
    run.ok = ok;
    if (ok) {
        run.wall = NumberOf(run.values, "run_wall");
        run.cpu = NumberOf(run.values, "run_user") + NumberOf(run.values, "run_sys");
        run.mainCpu = NumberOf(run.values, "run_main_cpu");
    }
    return run;
}

bool BenchContext::Check(bool ok, const std::string& what) {
    ++checks_;
    if (ok)
        ++checksPassed_;
    else
        Progress("SHA-256 differs: " + what);
    return ok;
}

size_t BenchContext::LoggedCount() const {
    return nginx_.loggedRequests().size();
}

int BenchContext::ConnectionsSince(size_t from, size_t expected) const {
    const std::vector<NginxServer::LoggedRequest> logged = nginx_.loggedRequests(from + expected);
    if (logged.size() < from + expected) return -1;
    std::set<long> distinct;
    for (size_t i = from; i < logged.size(); ++i)
        distinct.insert(logged[i].connection);
    return static_cast<int>(distinct.size());
}

size_t BenchContext::RequestsSince(size_t from, size_t expected) const {
    const size_t logged = nginx_.loggedRequests(from + expected).size();
    return logged > from ? logged - from : 0;
}

ManyFile BenchContext::PrepareManyFile() const {
    ManyFile many;
    many.path = www_ + "/many.bin";
    Progress("many ranges: writing 64 MiB with " + std::to_string(o_.manyRanges) + " holes");
    WriteRandomFile(many.path, 64 * kMiB, 2);
    many.hash = Sha256OfFile(many.path);
    for (int i = 0; i < o_.manyRanges; ++i) {
        const int64_t begin = i * 65536LL + 4096 * (i % 8) + 100;
        many.holes.push_back({begin, begin + 4096});
    }
    return many;
}

std::string BenchContext::Table() const {
    std::ostringstream out;
    out << "| Benchmark | Measure | Quilvane | curl / reference | Ratio (Quilvane ÷ reference) "
           "| "
           "Target | Met |\n";
    out << "|---|---|---|---|---|---|---|\n";
    // In the order of their numbers, whichever scenario ran first.
    std::vector<Row> rows = rows_;
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return std::atoi(a.benchmark.c_str()) < std::atoi(b.benchmark.c_str());
    });
    std::string previous;
    for (const Row& r : rows) {
        out << "| " << (r.benchmark == previous ? "" : r.benchmark) << " | " << r.measure << " | "
            << r.quilvane << " | " << r.reference << " | " << r.ratio << " | " << r.target << " | "
            << r.met << " |\n";
        previous = r.benchmark;
    }
    out << "| 9. Correctness | SHA-256 of every finished file equals the original's | "
        << checksPassed_ << " of " << checks_ << " | | | all | " << YesNo(checksPassed_ == checks_)
        << " |\n";
    return out.str();
}
