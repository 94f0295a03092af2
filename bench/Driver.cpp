// The benchmark driver: builds the served files in a work folder, starts
// nginx on a free loopback port, runs every scenario as child processes
// (Quilvane's job run, curl, and the probes), checks every finished file by
// SHA-256 and prints one Markdown table.

#include "Scenarios.h"
#include "TestCertificates.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

int DriverMain(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The job runs, started as children, trust the https server's authority.
    TestCertificates::TrustInThisProcess();
    BenchContext bench(std::move(options));
    if (bench.Wanted("large") || bench.Wanted("https") || bench.Wanted("zerocopy") ||
        bench.Wanted("records") || bench.Wanted("sample") || bench.Wanted("new") ||
        bench.Wanted("checksum"))
        LargeRange(bench);
    if (bench.Wanted("huge")) HugeRange(bench);
    const ManyFile many = bench.PrepareManyFile();
    if (bench.Wanted("many")) ManyRanges(bench, many);
    if (bench.Wanted("waiting")) Waiting(bench, many);
    if (bench.Wanted("list")) ListSize(bench, many);
    if (bench.Wanted("hostile")) HostileAnswers(bench);
    if (bench.Wanted("drops")) Drops(bench);
    if (bench.Wanted("connections")) SeveralConnections(bench);
    if (bench.Wanted("limit")) SpeedLimitHolds(bench);
    if (bench.Wanted("sample"))
        SampleCost(bench, {"1000 ranges of 4 KiB, 100-byte sample", many.path, many.hash,
                           bench.Url("/many.bin"), 64 * kMiB, many.holes, false});

    const std::string table = bench.Table();
    if (bench.Opt().out.empty())
        std::fputs(table.c_str(), stdout);
    else
        WriteText(bench.Opt().out, table);
    return 0;
}
