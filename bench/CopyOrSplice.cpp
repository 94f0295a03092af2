#include "Scenarios.h"

#include <vector>

// 2. The same range fetched by the zero-copy probe, four ways: recv + pwrite
// (the worker's way) or splice through a pipe, each with the worker's
// writeback of 8 MiB pieces or none before the final fdatasync. The four
// take turns in every round, each round starting with another one.
void CopyOrSplice(BenchContext& bench, int64_t begin, int64_t end, const std::string& rangeHash) {
    const Options& o = bench.Opt();
    if (!bench.Wanted("zerocopy")) return;
    const std::string folder = bench.Folder("zerocopy");
    const std::string out = folder + "/range.out";
    const int64_t rangeBytes = end - begin + 1;
    struct Way {
        Way(const char* m, const char* w, const char* l) : method(m), writeback(w), label(l) {}
        const char* method;
        const char* writeback;
        const char* label;
        Series rate, flush, cpu, ratio;
    };
    std::vector<Way> ways = {
        {"copy", "pieces",
         "recv 32 KiB + pwrite, writeback every 8 MiB (the program's way for chunked bodies)"},
        {"copy", "none", "recv 32 KiB + pwrite, no writeback before fdatasync"},
        {"splice", "pieces", "splice socket → pipe of 1 MiB → file, writeback every 8 MiB"},
        {"splice", "none",
         "splice socket → pipe of 1 MiB → file, no writeback (the program's way)"},
    };
    int failures = 0;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("copy or splice: round " + std::to_string(rep + 1) + " of " +
                 std::to_string(o.reps));
        std::vector<double> wall(ways.size(), 0);
        for (size_t k = 0; k < ways.size(); ++k) {
            Way& w = ways[(k + static_cast<size_t>(rep)) % ways.size()];
            SyncFileSystem(folder);
            ChildRun c =
                RunChild({bench.Self(), "zerocopy", std::to_string(bench.Port()), "/big.bin",
                          std::to_string(begin), std::to_string(end), out, w.method, w.writeback},
                         folder + "/probe.txt", 120);
            const auto v = ParseKeyValues(c.output);
            const bool ok = c.exitStatus == 0 && bench.Check(Sha256OfFile(out) == rangeHash,
                                                             std::string("zero-copy probe, ") +
                                                                 w.method + " " + w.writeback);
            RemoveFile(out);
            if (!ok) {
                ++failures;
                continue;
            }
            const double seconds = NumberOf(v, "wall");
            w.rate.Add(static_cast<double>(rangeBytes) / 1e6 / seconds);
            w.flush.Add(NumberOf(v, "flush"));
            w.cpu.Add(NumberOf(v, "cpu"));
            wall[static_cast<size_t>(&w - ways.data())] = seconds;
        }
        if (wall[0] > 0)
            for (size_t k = 0; k < ways.size(); ++k)
                if (wall[k] > 0) ways[k].ratio.Add(wall[0] / wall[k]);
    }
    const std::string name = "2. Copy or splice (the same " + Fixed(rangeBytes / 1e6, 1) +
                             " MB range from nginx, then fdatasync; a bench-only probe)";
    if (failures > 0) {
        bench.AddRow({name, "all figures",
                      "not reported: " + std::to_string(failures) + " runs failed", "", "", "",
                      "**no**"});
        return;
    }
    for (const Way& w : ways) {
        bench.AddRow(
            {name, std::string(w.label) + ": throughput (MB/s); final fdatasync (s); CPU (s)",
             Fixed(w.rate.Median(), 0) + "; " + Fixed(w.flush.Median(), 2) + "; " +
                 Fixed(w.cpu.Median(), 2),
             Fixed(ways[0].rate.Median(), 0), Fixed(w.ratio.Median(), 2), "(for the choice)", ""});
    }
}
