#include "Scenarios.h"
#include "TestCertificates.h"

namespace {

struct Fetcher {
    std::string name; // the table's first column, before the sizes
    std::string url;
    std::vector<std::string> curlArgs; // besides those of every run
    bool tls;
};

// The job run and curl fetching the same range, taking turns.
void MeasureAgainstCurl(BenchContext& bench, const Fetcher& f, const std::string& big,
                        const std::string& bigHash, int64_t begin, int64_t end,
                        const std::string& rangeHash, const std::string& folder) {
    const Options& o = bench.Opt();
    const int64_t rangeBytes = end - begin + 1;
    const std::string incomplete = folder + "/big.bin.part";
    const std::string list = folder + "/List.xml";
    const std::string curlOut = folder + "/curl.out";
    const std::string listText = ListXml({EntryFor(incomplete, o.bigSize, {{begin, end}}, f.url)});
    Series qWall, qRate, qCpu, qRss, cWall, cRate, cCpu, cRss, cFlushRate, rateRatio, flushRatio;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress(f.name + ": run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        JobRun q;
        ChildRun c;
        bool cOk = false;
        double cFlush = 0;
        auto quilvane = [&] {
            WriteHoleyCopy(big, incomplete, {{begin, end}}, true);
            WriteText(list, listText);
            q = bench.RunJob(folder, list, incomplete, bigHash, 0);
            RemoveFile(incomplete);
        };
        auto curl = [&] {
            SyncFileSystem(folder);
            std::vector<std::string> args = {kCurl, "-q", "-s", "-S", "-0", "-H",
                                             "Connection: keep-alive"};
            args.insert(args.end(), f.curlArgs.begin(), f.curlArgs.end());
            args.insert(args.end(), {"-r", std::to_string(begin) + "-" + std::to_string(end), "-o",
                                     curlOut, f.url});
            c = RunChild(args, folder + "/curl.txt");
            if (c.exitStatus == 0) {
                cFlush = FlushFile(curlOut);
                cOk = bench.Check(Sha256OfFile(curlOut) == rangeHash, "curl: " + curlOut);
            }
            RemoveFile(curlOut);
        };
        // Alternate which goes first, so that neither always meets a
        // disk still busy with the other's writes.
        if (rep % 2 == 0) {
            quilvane();
            curl();
        } else {
            curl();
            quilvane();
        }
        const double mb = static_cast<double>(rangeBytes) / 1e6;
        if (q.ok) {
            qWall.Add(q.wall);
            qRate.Add(mb / q.wall);
            qCpu.Add(q.cpu);
            qRss.Add(static_cast<double>(q.child.peakRssKiB) / 1024);
        }
        if (cOk) {
            cWall.Add(c.wall);
            cRate.Add(mb / c.wall);
            cCpu.Add(c.user + c.system);
            cRss.Add(static_cast<double>(c.peakRssKiB) / 1024);
            cFlushRate.Add(mb / (c.wall + cFlush));
        }
        if (q.ok && cOk) {
            rateRatio.Add(c.wall / q.wall);
            flushRatio.Add((c.wall + cFlush) / q.wall);
            Progress(f.name + ": raw: Quilvane " + Fixed(q.wall, 3) + " s, curl " +
                     Fixed(c.wall, 3) + " s + fdatasync " + Fixed(cFlush, 3) + " s, peak RSS " +
                     std::to_string(q.child.peakRssKiB) + " KiB");
        }
    }

    const std::string name = f.name + " (" + Fixed(rangeBytes / 1e6, 1) + " MB of a " +
                             std::to_string(o.bigSize / kMiB) + " MiB file)";
    if (!bench.Complete(qWall) || !bench.Complete(cWall)) {
        bench.AddRow({name, "all figures", "not reported: a run failed its SHA-256 check", "", "",
                      "", "**no**"});
        return;
    }
    bench.AddRow(
        {name, "wall time (s)", Fixed(qWall.Median(), 2), Fixed(cWall.Median(), 2), "", "", ""});
    const double ratio = rateRatio.Median();
    bench.AddRow({name, "throughput (MB/s), vs curl", Fixed(qRate.Median(), 0),
                  Fixed(cRate.Median(), 0), Fixed(ratio, 2), f.tls ? "" : "≥ 0.90 × curl",
                  f.tls ? "" : YesNo(ratio >= 0.9)});
    // Over https the target is against curl and a flush of its file, which
    // is what the job run does before it counts a byte.
    const double flushed = flushRatio.Median();
    const double flushTarget = f.tls ? 0.9 : 1.2;
    bench.AddRow({name, "throughput (MB/s), vs curl + fdatasync of its file",
                  Fixed(qRate.Median(), 0), Fixed(cFlushRate.Median(), 0), Fixed(flushed, 2),
                  "≥ " + Fixed(flushTarget, 2) + " × (curl + fdatasync)",
                  YesNo(flushed >= flushTarget)});
    bench.AddRow(
        {name, "user+sys CPU (s)", Fixed(qCpu.Median(), 2), Fixed(cCpu.Median(), 2), "", "", ""});
    bench.AddRow({name, "peak RSS (MiB)", Fixed(qRss.Median(), 0), Fixed(cRss.Median(), 0), "",
                  "≤ 64 MiB", YesNo(qRss.Median() <= 64)});
}

} // namespace

// 1. One range of almost all of a 1 GiB file, against curl fetching the
// same range into a file.
void LargeRange(BenchContext& bench) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("large");
    const std::string big = bench.Www() + "/big.bin";
    Progress("large range: writing " + std::to_string(o.bigSize / kMiB) + " MiB");
    WriteRandomFile(big, o.bigSize, 1);
    const std::string bigHash = Sha256OfFile(big);
    const int64_t begin = 4096, end = o.bigSize - 4096;
    const std::string rangeHash = Sha256OfRange(big, begin, end - begin + 1);
    const std::string url = bench.Url("/big.bin");

    // The scenarios that fetch from the same file, before it is removed.
    auto others = [&] {
        if (bench.Wanted("zerocopy")) CopyOrSplice(bench, begin, end, rangeHash);
        if (bench.Wanted("records")) Records(bench, big, bigHash, begin, end);
        if (bench.Wanted("sample"))
            SampleCost(
                bench,
                {"1 GiB range, 4 KiB sample", big, bigHash, url, o.bigSize, {{begin, end}}, true});
        RemoveFile(big);
    };
    if (bench.Wanted("large"))
        MeasureAgainstCurl(bench, {"1. Large range", url, {}, false}, big, bigHash, begin, end,
                           rangeHash, folder);
    if (bench.Wanted("https"))
        MeasureAgainstCurl(bench,
                           {"1. Large range over https", bench.TlsUrl("/big.bin"),
                            {"--cacert", TestCertificates::AuthorityFile()}, true},
                           big, bigHash, begin, end, rangeHash, folder);
    others();
}
