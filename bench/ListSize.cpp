#include "Scenarios.h"

#include <algorithm>
#include <vector>

namespace {

// An entry of somebody else's download, never run: 50 ranges.
TestEntry OtherEntry(const std::string& folder, int k, int port) {
    TestEntry e;
    e.fileName = folder + "/other" + std::to_string(k) + ".bin";
    e.fileSize = "1000000000";
    e.downloaded = std::to_string(1000000000 - 50 * 4096);
    e.remains = std::to_string(50 * 4096);
    e.percent = "99.98%";
    e.url = "http://127.0.0.1:" + std::to_string(port) + "/other" + std::to_string(k) + ".bin";
    for (int j = 0; j < 50; ++j)
        e.ranges.push_back({j * 1000000LL, j * 1000000LL + 4096});
    return e;
}

} // namespace

// 6. The cost of a range as List.xml holds more entries.
void ListSize(BenchContext& bench, const ManyFile& many) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("listsize");
    const Ranges holes(many.holes.begin(),
                       many.holes.begin() + std::min<size_t>(many.holes.size(), o.listRanges));
    const std::string templ = folder + "/list.template";
    WriteHoleyCopy(many.path, templ, holes, false);
    const std::string incomplete = folder + "/many.bin.incomplete";
    const std::string list = folder + "/List.xml";
    const std::vector<int> others = {1, 100, 500, 1000};
    std::vector<std::string> texts;
    for (int count : others) {
        std::vector<TestEntry> entries = {
            EntryFor(incomplete, 64 * kMiB, holes, bench.Url("/many.bin"))};
        for (int k = 1; k <= count; ++k)
            entries.push_back(OtherEntry(folder, k, bench.Port()));
        texts.push_back(ListXml(entries));
    }
    std::vector<Series> perRange(others.size()), bPerRange(others.size()), ratio(others.size());
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("list size: run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        for (size_t s = 0; s < others.size(); ++s) {
            // The program now and, taking turns with it, the program
            // before the change.
            double now = 0, then = 0;
            for (int k = 0; k < (o.baseline.empty() ? 1 : 2); ++k) {
                const bool before = (k + rep) % 2 == 1;
                CopyFile(templ, incomplete);
                WriteText(list, texts[s]);
                JobRun q = bench.RunJob(folder, list, incomplete, many.hash, others[s], before);
                RemoveFile(incomplete);
                if (!q.ok) continue;
                const double perOne = q.wall / static_cast<double>(holes.size());
                (before ? bPerRange : perRange)[s].Add(perOne);
                (before ? then : now) = perOne;
            }
            if (now > 0 && then > 0) ratio[s].Add(now / then);
        }
    }
    RemoveFile(templ);
    const std::string name = "6. List size (" + std::to_string(holes.size()) +
                             " ranges of 4 KiB; other entries of 50 ranges)";
    for (const Series& s : perRange)
        if (!bench.Complete(s)) {
            bench.AddRow({name, "all figures", "not reported: a run failed its check", "", "", "",
                          "**no**"});
            return;
        }
    bool withBefore = !o.baseline.empty();
    for (const Series& s : bPerRange)
        withBefore = withBefore && bench.Complete(s);
    std::vector<double> ms, kib, bMs;
    for (size_t s = 0; s < others.size(); ++s) {
        ms.push_back(perRange[s].Median() * 1000);
        bMs.push_back(bPerRange[s].Median() * 1000);
        kib.push_back(static_cast<double>(texts[s].size()) / 1024);
        const bool last = s + 1 == others.size();
        bench.AddRow({name,
                      "time per range (ms), " + std::to_string(others[s]) +
                          " other entries, List.xml " + Fixed(kib[s], 0) +
                          " KiB; reference: the program before streaming",
                      Fixed(ms[s], 2), withBefore ? Fixed(bMs[s], 2) : "",
                      withBefore ? Fixed(ratio[s].Median(), 2) : "",
                      last && withBefore ? "≤ 1.10 × before (same run)" : "",
                      last && withBefore ? YesNo(ratio[s].Median() <= 1.1) : ""});
    }
    // The cost that each MiB of List.xml adds to a range, between
    // neighbouring sizes. Linear growth keeps it the same; growth with
    // the square of the size would make it 2.5 times larger from 500 to
    // 1000 entries than from 100 to 500.
    auto slopeOf = [&](const std::vector<double>& t, size_t a, size_t b) {
        return (t[b] - t[a]) / (kib[b] - kib[a]) * 1024;
    };
    auto slope = [&](size_t a, size_t b) { return slopeOf(ms, a, b); };
    const double low = slope(1, 2), high = slope(2, 3);
    bench.AddRow({name, "added ms per range per MiB of List.xml: 1→100 / 100→500 / 500→1000",
                  Fixed(slope(0, 1), 1) + " / " + Fixed(low, 1) + " / " + Fixed(high, 1),
                  withBefore ? Fixed(slopeOf(bMs, 0, 1), 1) + " / " + Fixed(slopeOf(bMs, 1, 2), 1) +
                                   " / " + Fixed(slopeOf(bMs, 2, 3), 1)
                             : "",
                  "", "linear: 500→1000 ≤ 1.5 × 100→500 (here " + Fixed(high / low, 2) + " ×)",
                  YesNo(low > 0 && high <= 1.5 * low)});
}
