#include "Scenarios.h"

#include <fcntl.h>
#include <map>
#include <unistd.h>

// 4. A thousand holes of 4 KiB in a 64 MiB file, against one curl over
// one kept connection; the parts of one range; the durability floor.
void ManyRanges(BenchContext& bench, const ManyFile& many) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("many");
    const std::string templ = folder + "/many.template";
    WriteHoleyCopy(many.path, templ, many.holes, false);
    const std::string incomplete = folder + "/many.bin.incomplete";
    const std::string list = folder + "/List.xml";
    const std::string url = bench.Url("/many.bin");
    const std::string listText = ListXml({EntryFor(incomplete, 64 * kMiB, many.holes, url)});
    // The parts probe writes List.xml as it stands halfway through the
    // run, so that its queue and size are the run's average.
    const Ranges secondHalf(many.holes.begin() + static_cast<long>(many.holes.size() / 2),
                            many.holes.end());
    const std::string partsListText = ListXml({EntryFor(incomplete, 64 * kMiB, secondHalf, url)});
    const std::string rangesFile = folder + "/ranges.txt";
    WriteRanges(rangesFile, many.holes);
    const std::string partsFolder = folder + "/curl";
    MakeFolder(partsFolder);
    const std::string config = folder + "/curl.cfg";
    {
        std::string text;
        for (size_t i = 0; i < many.holes.size(); ++i) {
            if (i > 0) text += "next\n";
            text += "url = \"" + url + "\"\nhttp1.0\nheader = \"Connection: keep-alive\"\n";
            text += "range = \"" + std::to_string(many.holes[i].first) + "-" +
                    std::to_string(many.holes[i].second) + "\"\n";
            text += "output = \"" + partsFolder + "/p" + std::to_string(i) + "\"\n";
        }
        WriteText(config, text);
    }
    const double n = static_cast<double>(many.holes.size());

    // The parts probe on a fresh copy of the file; its figures, or
    // nothing when it failed.
    auto runParts = [&]() -> std::map<std::string, double> {
        CopyFile(templ, incomplete);
        WriteText(list, partsListText);
        SyncFileSystem(folder);
        ChildRun p = RunChild({bench.Self(), "parts", url, rangesFile, many.path, incomplete, list,
                               std::to_string(o.partsCount)},
                              folder + "/parts.txt");
        RemoveFile(incomplete);
        std::map<std::string, double> figures;
        if (p.exitStatus != 0) {
            Progress("parts probe failed: " + p.output);
            return figures;
        }
        const auto v = ParseKeyValues(p.output);
        for (const char* key : {"worker_fetch", "direct_fetch", "write_flush", "list_writes",
                                "floor_sync", "floor_replace3", "floor_list_size"})
            figures[key] = NumberOf(v, key);
        return figures;
    };

    Series qRange, cRange, ratio, qConnections, cConnections, worker, direct, write, listWrites,
        floorSync, floorReplace, floorSize, bound, boundRatio, partsSum, bRange, beforeRatio;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("many ranges: run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        // The disk's flush latency drifts over minutes on a shared
        // machine: the parts probe runs just before and just after the
        // job run, and their mean goes with it.
        const auto partsBefore = runParts();

        // The program before the change, just before or just after.
        JobRun b;
        auto before = [&] {
            if (o.baseline.empty()) return;
            CopyFile(templ, incomplete);
            WriteText(list, listText);
            b = bench.RunJob(folder, list, incomplete, many.hash, 0, true);
            RemoveFile(incomplete);
        };
        if (rep % 2 == 1) before();
        CopyFile(templ, incomplete);
        WriteText(list, listText);
        size_t logged = bench.LoggedCount();
        JobRun q = bench.RunJob(folder, list, incomplete, many.hash, 0);
        const int qConn = bench.ConnectionsSince(logged, many.holes.size() + 1);
        RemoveFile(incomplete);
        if (rep % 2 == 0) before();

        const auto partsAfter = runParts();

        // curl, all ranges in one process.
        SyncFileSystem(folder);
        logged = bench.LoggedCount();
        ChildRun c = RunChild({kCurl, "-q", "-s", "-S", "-K", config}, folder + "/curl.txt");
        const int cConn = bench.ConnectionsSince(logged, many.holes.size());
        bool cOk = false;
        if (c.exitStatus == 0) {
            // Put curl's pieces into a copy of the holey file: it must
            // then equal the original.
            const std::string assembled = folder + "/curl.assembled";
            CopyFile(templ, assembled);
            const int fd = ::open(assembled.c_str(), O_WRONLY | O_CLOEXEC);
            bool sizesOk = fd >= 0;
            for (size_t i = 0; sizesOk && i < many.holes.size(); ++i) {
                const std::string piece = ReadText(partsFolder + "/p" + std::to_string(i));
                sizesOk = ::pwrite(fd, piece.data(), piece.size(), many.holes[i].first) ==
                          static_cast<ssize_t>(piece.size());
            }
            if (fd >= 0) ::close(fd);
            cOk = bench.Check(sizesOk && Sha256OfFile(assembled) == many.hash, "curl pieces");
            RemoveFile(assembled);
        }
        for (size_t i = 0; i < many.holes.size(); ++i)
            RemoveFile(partsFolder + "/p" + std::to_string(i));

        if (!q.ok || !cOk || partsBefore.empty() || partsAfter.empty()) continue;
        if (b.ok) {
            bRange.Add(b.wall / n);
            beforeRatio.Add(q.wall / b.wall);
            Progress("many ranges: ms per range now " + Fixed(q.wall / n * 1000, 2) + ", before " +
                     Fixed(b.wall / n * 1000, 2) + " (" +
                     (rep % 2 == 0 ? "now ran first" : "before ran first") + ")");
        }
        auto mean = [&](const char* key) { return (partsBefore.at(key) + partsAfter.at(key)) / 2; };
        const double perRange = q.wall / n, curlPerRange = c.wall / n;
        qRange.Add(perRange);
        cRange.Add(curlPerRange);
        qConnections.Add(qConn);
        cConnections.Add(cConn);
        ratio.Add(q.wall / c.wall);
        worker.Add(mean("worker_fetch"));
        direct.Add(mean("direct_fetch"));
        write.Add(mean("write_flush"));
        listWrites.Add(mean("list_writes"));
        floorSync.Add(mean("floor_sync"));
        floorReplace.Add(mean("floor_replace3"));
        floorSize.Add(mean("floor_list_size"));
        const double repBound = 2 * (curlPerRange + mean("floor_sync") + mean("floor_replace3"));
        bound.Add(repBound);
        boundRatio.Add(perRange / repBound);
        partsSum.Add(mean("worker_fetch") + mean("write_flush") + mean("list_writes"));
    }
    RemoveFile(templ);

    const std::string name =
        "4. Many ranges (" + std::to_string(many.holes.size()) + " × 4 KiB in 64 MiB)";
    if (!bench.Complete(qRange) || !bench.Complete(cRange) || !bench.Complete(worker)) {
        bench.AddRow(
            {name, "all figures", "not reported: a run failed its check", "", "", "", "**no**"});
        return;
    }
    const double ms = 1000;
    const double q = qRange.Median() * ms, cu = cRange.Median() * ms;
    const double floor = (floorSync.Median() + floorReplace.Median()) * ms;
    bench.AddRow({name, "time per range (ms), vs curl", Fixed(q, 2), Fixed(cu, 3),
                  Fixed(ratio.Median(), 1), "", ""});
    bench.AddRow({name, "time per range (ms), vs 2 × (curl + durability floor)", Fixed(q, 2),
                  Fixed(bound.Median() * ms, 2), Fixed(boundRatio.Median(), 2),
                  "≤ 2 × (curl + floor)", YesNo(boundRatio.Median() <= 1)});
    if (!o.baseline.empty()) {
        if (bench.Complete(bRange)) {
            const double r = beforeRatio.Median();
            bench.AddRow({name, "time per range (ms), vs the program before streaming", Fixed(q, 2),
                          Fixed(bRange.Median() * ms, 2), Fixed(r, 2), "≤ 1.10 × before (same run)",
                          YesNo(r <= 1.1)});
        } else {
            bench.AddRow({name, "time per range (ms), vs the program before streaming", Fixed(q, 2),
                          "a run before failed its check", "", "≤ 1.10 × before (same run)",
                          "**no**"});
        }
    }
    bench.AddRow({name, "time per range (ms), absolute", Fixed(q, 2), "", "",
                  "≤ 2.3 ms (before, when set)", YesNo(q <= 2.3)});
    bench.AddRow({name, "TCP connections used (nginx $connection)", Fixed(qConnections.Median(), 0),
                  Fixed(cConnections.Median(), 0), "", "curl: 1",
                  YesNo(cConnections.Median() == 1)});
    const double workerAdded = (worker.Median() - direct.Median()) * ms;
    bench.AddRow({name, "  part: network (client's Fetch on one thread, 4 KiB)",
                  Fixed(direct.Median() * ms, 3), "", "", "", ""});
    bench.AddRow({name, "  part: waiting for the worker (round trip − direct Fetch)",
                  Fixed(workerAdded, 3), "", "", "< 1 ms", YesNo(workerAdded < 1)});
    bench.AddRow({name, "  part: range write + fdatasync (IncompleteFile::WriteAt + Flush)",
                  Fixed(write.Median() * ms, 2), Fixed(floorSync.Median() * ms, 2), "", "", ""});
    bench.AddRow({name, "  part: List.xml write (queue and counters in one save)",
                  Fixed(listWrites.Median() * ms, 2), Fixed(floorReplace.Median() * ms, 2), "", "",
                  ""});
    bench.AddRow({name,
                  "  sum of the parts (measured by the probe just before and after "
                  "each run)",
                  Fixed(partsSum.Median() * ms, 2), "", "", "", ""});
    bench.AddRow({name,
                  "durability floor: fdatasync of 4 KiB + 3 atomic replacements of " +
                      Fixed(floorSize.Median() / 1024, 1) +
                      " KiB (List.xml halfway through the run)",
                  "", Fixed(floor, 2), "", "", ""});
}
