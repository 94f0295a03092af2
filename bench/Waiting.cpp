#include "Scenarios.h"

// 5. A run that waits on a slow server must not use the processor.
void Waiting(BenchContext& bench, const ManyFile& many) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("waiting");
    const int64_t length = static_cast<int64_t>(kSlowRate * o.slowSeconds);
    const int64_t begin = 3 * kMiB + 123, end = begin + length - 1;
    const std::string incomplete = folder + "/slow.bin.incomplete";
    const std::string templ = folder + "/slow.template";
    WriteHoleyCopy(many.path, templ, {{begin, end}}, false);
    const std::string list = folder + "/List.xml";
    const std::string listText =
        ListXml({EntryFor(incomplete, 64 * kMiB, {{begin, end}}, bench.Url("/slow/many.bin"))});
    Series wall, cpuShare, mainShare, bWall, bShare, bMainShare;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("waiting: run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        // The program before the change takes turns with the program now.
        for (int k = 0; k < (o.baseline.empty() ? 1 : 2); ++k) {
            const bool before = (k + rep) % 2 == 1;
            CopyFile(templ, incomplete);
            WriteText(list, listText);
            JobRun q = bench.RunJob(folder, list, incomplete, many.hash, 0, before);
            RemoveFile(incomplete);
            if (!q.ok) continue;
            (before ? bWall : wall).Add(q.wall);
            (before ? bShare : cpuShare).Add(100 * q.cpu / q.wall);
            (before ? bMainShare : mainShare).Add(100 * q.mainCpu / q.wall);
        }
    }
    RemoveFile(templ);
    const std::string name = "5. Waiting (" + Fixed(length / 1e6, 2) + " MB at " +
                             std::to_string(kSlowRate / 1024) + " KiB/s)";
    if (!bench.Complete(wall)) {
        bench.AddRow(
            {name, "all figures", "not reported: a run failed its check", "", "", "", "**no**"});
        return;
    }
    const bool withBefore = !o.baseline.empty() && bench.Complete(bWall);
    auto before = [&](const Series& b, int decimals) {
        return withBefore ? Fixed(b.Median(), decimals) : std::string();
    };
    auto ratio = [&](const Series& now, const Series& b) {
        return withBefore && b.Median() > 0 ? Fixed(now.Median() / b.Median(), 2) : std::string();
    };
    bench.AddRow({name, "wall time of the run (s); reference: the program before streaming",
                  Fixed(wall.Median(), 2), before(bWall, 2), "", "", ""});
    const double share = cpuShare.Median();
    bench.AddRow({name, "CPU time / wall time, whole program (%), vs before", Fixed(share, 3),
                  before(bShare, 3), ratio(cpuShare, bShare), "≤ 0.06 % (before, when set)",
                  YesNo(share <= 0.06)});
    bench.AddRow({name, "CPU time / wall time, window thread (%), vs before",
                  Fixed(mainShare.Median(), 3), before(bMainShare, 3), ratio(mainShare, bMainShare),
                  "", ""});
}
