#include "AgainstCurl.h"

namespace {

// The target and met cells of a ratio row.
std::pair<std::string, std::string> TargetCells(const std::optional<double>& target,
                                                const std::string& of, double ratio) {
    if (!target) return {"", ""};
    return {"≥ " + Fixed(*target, 2) + " × " + of, YesNo(ratio >= *target)};
}

} // namespace

void MeasureAgainstCurl(BenchContext& bench, const CurlComparison& c, const std::string& folder) {
    const Options& o = bench.Opt();
    const std::string curlOut = folder + "/curl.out";
    Series qWall, qRate, qCpu, qRss, cWall, cRate, cCpu, cRss, cFlushRate, rateRatio, flushRatio;
    std::vector<Series> figures(c.runFigures.size());
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress(c.name + ": run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        JobRun q;
        ChildRun curl;
        bool cOk = false;
        double cFlush = 0;
        auto quilvane = [&] { q = c.quilvane(); };
        auto reference = [&] {
            SyncFileSystem(folder);
            std::vector<std::string> args = {kCurl, "-q", "-s", "-S"};
            args.insert(args.end(), c.curlArgs.begin(), c.curlArgs.end());
            args.insert(args.end(), {"-o", curlOut, c.url});
            curl = RunChild(args, folder + "/curl.txt");
            if (curl.exitStatus == 0) {
                cFlush = FlushFile(curlOut);
                cOk = bench.Check(Sha256OfFile(curlOut) == c.curlHash, "curl: " + curlOut);
            }
            RemoveFile(curlOut);
        };
        // Alternate which goes first, so that neither always meets a
        // disk still busy with the other's writes.
        if (rep % 2 == 0) {
            quilvane();
            reference();
        } else {
            reference();
            quilvane();
        }
        const double mb = static_cast<double>(c.bytes) / 1e6;
        if (q.ok) {
            qWall.Add(q.wall);
            qRate.Add(mb / q.wall);
            qCpu.Add(q.cpu);
            qRss.Add(static_cast<double>(q.child.peakRssKiB) / 1024);
            for (size_t i = 0; i < figures.size(); ++i)
                figures[i].Add(NumberOf(q.values, c.runFigures[i].second));
        }
        if (cOk) {
            cWall.Add(curl.wall);
            cRate.Add(mb / curl.wall);
            cCpu.Add(curl.user + curl.system);
            cRss.Add(static_cast<double>(curl.peakRssKiB) / 1024);
            cFlushRate.Add(mb / (curl.wall + cFlush));
        }
        if (q.ok && cOk) {
            rateRatio.Add(curl.wall / q.wall);
            flushRatio.Add((curl.wall + cFlush) / q.wall);
            Progress(c.name + ": raw: Quilvane " + Fixed(q.wall, 3) + " s, curl " +
                     Fixed(curl.wall, 3) + " s + fdatasync " + Fixed(cFlush, 3) + " s, peak RSS " +
                     std::to_string(q.child.peakRssKiB) + " KiB");
        }
    }

    const std::string& name = c.caption;
    if (!bench.Complete(qWall) || !bench.Complete(cWall)) {
        bench.AddRow({name, "all figures", "not reported: a run failed its SHA-256 check", "", "",
                      "", "**no**"});
        return;
    }
    bench.AddRow(
        {name, "wall time (s)", Fixed(qWall.Median(), 2), Fixed(cWall.Median(), 2), "", "", ""});
    const double ratio = rateRatio.Median();
    const auto [curlTarget, curlMet] = TargetCells(c.curlTarget, "curl", ratio);
    bench.AddRow({name, "throughput (MB/s), vs curl", Fixed(qRate.Median(), 0),
                  Fixed(cRate.Median(), 0), Fixed(ratio, 2), curlTarget, curlMet});
    const double flushed = flushRatio.Median();
    const auto [flushTarget, flushMet] = TargetCells(c.flushTarget, "(curl + fdatasync)", flushed);
    bench.AddRow({name, "throughput (MB/s), vs curl + fdatasync of its file",
                  Fixed(qRate.Median(), 0), Fixed(cFlushRate.Median(), 0), Fixed(flushed, 2),
                  flushTarget, flushMet});
    bench.AddRow(
        {name, "user+sys CPU (s)", Fixed(qCpu.Median(), 2), Fixed(cCpu.Median(), 2), "", "", ""});
    bench.AddRow({name, "peak RSS (MiB)", Fixed(qRss.Median(), 0), Fixed(cRss.Median(), 0), "",
                  "≤ 64 MiB", YesNo(qRss.Median() <= 64)});
    for (size_t i = 0; i < figures.size(); ++i)
        bench.AddRow({name, c.runFigures[i].first, Fixed(figures[i].Median(), 3), "", "", "", ""});
}
