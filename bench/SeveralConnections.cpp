#include "Scenarios.h"

#include <algorithm>
#include <optional>

namespace {

constexpr const char* kAria2 = "/usr/bin/aria2c";

// aria2c fetching the whole of `url` (a file as long as the bytes the
// program fetches) over up to `connections` connections; its wall time, or
// nothing when it failed or the file is not the served one.
std::optional<double> Aria2(BenchContext& bench, const std::string& folder, const std::string& url,
                            int connections, const std::string& hash) {
    const std::string out = folder + "/aria2.bin";
    RemoveFile(out);
    RemoveFile(out + ".aria2");
    const std::string n = std::to_string(connections);
    const ChildRun run = RunChild(
        {kAria2, "-x" + n, "-s" + n, "-k1M", "--file-allocation=none", "--allow-overwrite=true",
         "--auto-file-renaming=false", "--console-log-level=warn", "--summary-interval=0",
         "--check-certificate=false", "-d", folder, "-o", "aria2.bin", url},
        folder + "/aria2.txt", 600);
    const bool ok = run.exitStatus == 0 && bench.Check(Sha256OfFile(out) == hash, "aria2c: " + url);
    RemoveFile(out);
    if (!ok) return std::nullopt;
    return run.wall;
}

struct Case {
    std::string label;
    std::string location; // "/capped/" or "/capped2/"
    int64_t size;         // of the served file
    Ranges holes;         // what the incomplete copy misses
    int connections;      // aria2c's
};

int64_t BytesOf(const Ranges& holes) {
    int64_t bytes = 0;
    for (const auto& [begin, end] : holes)
        bytes += end - begin + 1;
    return bytes;
}

void RunCase(BenchContext& bench, const Case& c, int caseNumber) {
    const Options& o = bench.Opt();
    const std::string name = "12. Several connections: " + c.label;
    const std::string folder = bench.Folder("connections");
    const std::string served = bench.Www() + "/many-" + std::to_string(caseNumber) + ".bin";
    const std::string same = bench.Www() + "/same-" + std::to_string(caseNumber) + ".bin";
    WriteRandomFile(served, c.size, 120 + static_cast<uint64_t>(caseNumber));
    // A file of exactly the bytes the program fetches, for aria2c.
    const int64_t fetched = BytesOf(c.holes);
    WriteRandomFile(same, fetched, 130 + static_cast<uint64_t>(caseNumber));
    const std::string hash = Sha256OfFile(served), sameHash = Sha256OfFile(same);
    const std::string incomplete = folder + "/f.bin";
    const std::string list = folder + "/List.xml";
    const std::string url = bench.Url(c.location + "many-" + std::to_string(caseNumber) + ".bin");
    Series quilvane, aria2, rss, errors;
    std::string rows;
    // Each run takes tens of seconds: half the usual repetitions.
    const int reps = std::max(1, o.reps / 2);
    for (int rep = 0; rep < reps; ++rep) {
        Progress("connections: " + c.label + ", run " + std::to_string(rep + 1) + " of " +
                 std::to_string(reps));
        Ranges holes;
        for (const auto& [begin, end] : c.holes)
            holes.push_back({begin, end + 1});
        WriteHoleyCopy(served, incomplete, holes, false);
        WriteText(list, ListXml({EntryFor(incomplete, c.size, c.holes, url)}));
        const JobRun run = bench.RunJobOf(bench.Self(), folder, list, incomplete, hash, 0);
        RemoveFile(incomplete);
        const std::optional<double> reference = Aria2(
            bench, folder, bench.Url(c.location + "same-" + std::to_string(caseNumber) + ".bin"),
            c.connections, sameHash);
        if (!run.ok || !reference) continue;
        quilvane.Add(run.wall);
        aria2.Add(*reference);
        rss.Add(NumberOf(run.values, "vm_hwm_kib") / 1024.0);
        errors.Add(NumberOf(run.values, "error_rows"));
        rows.clear();
        const int count = static_cast<int>(NumberOf(run.values, "connection_rows"));
        for (int i = 1; i <= count; ++i)
            rows += (i > 1 ? " / " : "") + run.values.at("connection_row_" + std::to_string(i));
        Progress("connections: raw: " + Fixed(run.wall, 2) + " s against aria2c " +
                 Fixed(*reference, 2) + " s; " + rows);
    }
    RemoveFile(served);
    RemoveFile(same);
    if (static_cast<int>(quilvane.values.size()) < reps) {
        bench.AddRow(
            {name, "all figures", "not reported: a run failed its check", "", "", "", "**no**"});
        return;
    }
    const double ratio = aria2.Median() / quilvane.Median();
    bench.AddRow({name,
                  "wall time (s), vs aria2c -x" + std::to_string(c.connections) + " -s" +
                      std::to_string(c.connections) + " -k1M fetching " +
                      Fixed(static_cast<double>(fetched) / kMiB, 0) + " MiB",
                  Fixed(quilvane.Median(), 2), Fixed(aria2.Median(), 2), Fixed(ratio, 2) + " ×",
                  "≥ 0.9 ×", YesNo(ratio >= 0.9)});
    bench.AddRow({name, "error rows; the connection rows of the last run",
                  Fixed(errors.Median(), 0), "", "", "none",
                  YesNo(errors.Median() == 0) + " — " + rows});
    bench.AddRow({name, "peak RSS of the run (MiB)", Fixed(rss.Median(), 1), "", "", "≤ 64 MiB",
                  YesNo(rss.Median() <= 64)});
}

} // namespace

// 12. nginx capping each connection at 4 MiB/s: four holes of 36 MiB and one
// hole of 160 MiB (aria2c with four connections), and the same server
// allowing two connections per address, 128 MiB in two holes (aria2c with
// two).
void SeveralConnections(BenchContext& bench) {
    const int64_t hole = 36 * kMiB;
    RunCase(bench,
            {"capped at 4 MiB/s per connection, four holes of 36 MiB",
             "/capped/",
             200 * kMiB,
             {{1 * kMiB, 1 * kMiB + hole - 1},
              {50 * kMiB, 50 * kMiB + hole - 1},
              {100 * kMiB, 100 * kMiB + hole - 1},
              {150 * kMiB, 150 * kMiB + hole - 1}},
             4},
            1);
    RunCase(bench,
            {"capped at 4 MiB/s per connection, one hole of 160 MiB",
             "/capped/",
             170 * kMiB,
             {{5 * kMiB, 165 * kMiB - 1}},
             4},
            2);
    RunCase(bench,
            {"capped at 4 MiB/s, two connections per address, two holes of 64 MiB",
             "/capped2/",
             140 * kMiB,
             {{2 * kMiB, 66 * kMiB - 1}, {70 * kMiB, 134 * kMiB - 1}},
             2},
            3);
}
