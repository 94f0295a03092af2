#include "Scenarios.h"

#include <cstdlib>

// 10. What keeping a range's progress costs: the 1 GiB range by the program
// now (records every 10 s, retries) and by the program before them, taking
// turns; and by the program now recording every second, so that records
// happen even when the range arrives in a few seconds.
void Records(BenchContext& bench, const std::string& big, const std::string& bigHash, int64_t begin,
             int64_t end) {
    const Options& o = bench.Opt();
    const std::string name = "10. Progress kept inside a range (1 GiB range, vs the program "
                             "before records and retries)";
    if (o.beforeRetries.empty()) {
        bench.AddRow({name, "all figures", "not run: no program before records and retries", "", "",
                      "", "**no**"});
        return;
    }
    const std::string folder = bench.Folder("records");
    const std::string incomplete = folder + "/big.bin.incomplete";
    const std::string list = folder + "/List.xml";
    const std::string listText =
        ListXml({EntryFor(incomplete, o.bigSize, {{begin, end}}, bench.Url("/big.bin"))});

    enum Who { Now, Before, EverySecond };
    Series wall[3], ratio, everyRatio;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("records: run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        JobRun runs[3];
        for (int k = 0; k < 3; ++k) {
            const Who who = static_cast<Who>((k + rep) % 3);
            WriteHoleyCopy(big, incomplete, {{begin, end}}, true);
            WriteText(list, listText);
            if (who == EverySecond) setenv("QV_BENCH_RECORD_MS", "1000", 1);
            runs[who] = bench.RunJobOf(who == Before ? o.beforeRetries : bench.Self(), folder, list,
                                       incomplete, bigHash, 0);
            unsetenv("QV_BENCH_RECORD_MS");
            RemoveFile(incomplete);
        }
        if (!runs[Now].ok || !runs[Before].ok || !runs[EverySecond].ok) continue;
        for (int who = 0; who < 3; ++who)
            wall[who].Add(runs[who].wall);
        ratio.Add(runs[Now].wall / runs[Before].wall);
        everyRatio.Add(runs[EverySecond].wall / runs[Before].wall);
        Progress("records: raw: now " + Fixed(runs[Now].wall, 3) + " s, before " +
                 Fixed(runs[Before].wall, 3) + " s, a record every second " +
                 Fixed(runs[EverySecond].wall, 3) + " s");
    }
    if (!bench.Complete(ratio)) {
        bench.AddRow(
            {name, "all figures", "not reported: a run failed its check", "", "", "", "**no**"});
        return;
    }
    bench.AddRow({name, "wall time (s): records every 10 s, vs before",
                  Fixed(wall[Now].Median(), 2), Fixed(wall[Before].Median(), 2),
                  Fixed(ratio.Median(), 3), "≤ 1.03 × before", YesNo(ratio.Median() <= 1.03)});
    bench.AddRow({name, "wall time (s): a record every second, vs before",
                  Fixed(wall[EverySecond].Median(), 2), Fixed(wall[Before].Median(), 2),
                  Fixed(everyRatio.Median(), 3), "", ""});
}
