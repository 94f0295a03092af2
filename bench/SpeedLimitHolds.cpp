#include "Scenarios.h"

#include <cmath>
#include <cstdlib>

// 13. 20 MiB at a limit of 1024 KiB/s (20 s) from nginx without a cap:
// the average within 5 % of the limit and no whole second above 1.5 × it,
// with one connection allowed and with four.
void SpeedLimitHolds(BenchContext& bench) {
    const std::string folder = bench.Folder("limit");
    const int64_t size = 20 * kMiB;
    const std::string served = bench.Www() + "/limited.bin";
    WriteRandomFile(served, size, 13);
    const std::string hash = Sha256OfFile(served);
    const std::string incomplete = folder + "/f.bin";
    const std::string list = folder + "/List.xml";
    const double limit = 1024.0 * 1024;
    for (const int connections : {1, 4}) {
        const std::string name = "13. Speed limit 1024 KiB/s, 20 MiB from nginx without a cap, " +
                                 std::to_string(connections) +
                                 (connections == 1 ? " connection" : " connections") + " allowed";
        Progress("limit: " + std::to_string(connections) + " connections");
        WriteHoleyCopy(served, incomplete, {{0, size - 1}}, true);
        WriteText(list, ListXml({EntryFor(incomplete, size, {{0, size - 1}},
                                          bench.Url("/limited.bin"))}));
        setenv("QV_BENCH_LIMIT_KIB", "1024", 1);
        setenv("QV_BENCH_CONNECTIONS", std::to_string(connections).c_str(), 1);
        const JobRun run = bench.RunJobOf(bench.Self(), folder, list, incomplete, hash, 0);
        unsetenv("QV_BENCH_LIMIT_KIB");
        unsetenv("QV_BENCH_CONNECTIONS");
        RemoveFile(incomplete);
        if (!run.ok) {
            bench.AddRow({name, "all figures", "not reported: the run failed its check", "", "", "",
                          "**no**"});
            continue;
        }
        const double average = static_cast<double>(size) / run.wall;
        const double most = NumberOf(run.values, "most_bytes_in_a_second");
        Progress("limit: raw: " + Fixed(run.wall, 2) + " s, most in a second " + Fixed(most, 0));
        bench.AddRow({name, "average rate (KiB/s), vs the limit", Fixed(average / 1024, 0), "1024",
                      Fixed(average / limit, 3), "within 5 %",
                      YesNo(std::abs(average / limit - 1) <= 0.05)});
        bench.AddRow({name, "most bytes written in one whole second (KiB), vs the limit",
                      Fixed(most / 1024, 0), "1024", Fixed(most / limit, 2), "≤ 1.5 ×",
                      YesNo(most <= 1.5 * limit)});
    }
    RemoveFile(served);
}
