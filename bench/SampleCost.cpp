#include "Scenarios.h"

// 8. What the same-file check costs. Before its first range a run fetches a
// sample of bytes the file already holds and compares it; the program just
// before that check takes turns with the program now on the same download,
// and nginx's log says how many requests and connections each run used.
void SampleCost(BenchContext& bench, const SampleCase& c) {
    const Options& o = bench.Opt();
    const std::string name = "8. Same-file sample (the program now, vs the program before it)";
    if (o.beforeSample.empty()) {
        bench.AddRow({name, c.label + ": all figures", "not run: no program before the sample", "",
                      "", "", "**no**"});
        return;
    }
    const std::string folder = bench.Folder("sample");
    const std::string incomplete = folder + "/sample.incomplete";
    const std::string list = folder + "/List.xml";
    const std::string listText = ListXml({EntryFor(incomplete, c.size, c.holes, c.url)});
    const double fetches = static_cast<double>(c.holes.size());

    Series wall, bWall, added, requests, bRequests, connections, bConnections;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("sample, " + c.label + ": run " + std::to_string(rep + 1) + " of " +
                 std::to_string(o.reps));
        JobRun runs[2];
        double used[2] = {0, 0}, over[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            const bool before = (k + rep) % 2 == 1;
            WriteHoleyCopy(c.served, incomplete, c.holes, c.sparse);
            WriteText(list, listText);
            const size_t logged = bench.LoggedCount();
            JobRun& r = runs[before ? 1 : 0];
            r = bench.RunJobOf(before ? o.beforeSample : bench.Self(), folder, list, incomplete,
                               c.hash, 0);
            // The probe and one fetch per range; now also the sample.
            const size_t expected = c.holes.size() + (before ? 1 : 2);
            used[before ? 1 : 0] = static_cast<double>(bench.RequestsSince(logged, expected));
            over[before ? 1 : 0] = bench.ConnectionsSince(logged, expected);
            RemoveFile(incomplete);
        }
        if (!runs[0].ok || !runs[1].ok) continue;
        wall.Add(runs[0].wall);
        bWall.Add(runs[1].wall);
        added.Add(runs[0].wall - runs[1].wall);
        requests.Add(used[0]);
        bRequests.Add(used[1]);
        connections.Add(over[0]);
        bConnections.Add(over[1]);
    }

    // The sample on its own, many times over one kept connection, against
    // one GET of the same bytes by the client alone.
    const std::string queueFile = folder + "/queue.txt";
    WriteRanges(queueFile, c.holes);
    WriteHoleyCopy(c.served, incomplete, c.holes, c.sparse);
    const ChildRun probe = RunChild({bench.Self(), "sample", c.url, queueFile, incomplete,
                                     std::to_string(c.size), std::to_string(o.dev ? 50 : 500)},
                                    folder + "/sample.txt");
    RemoveFile(incomplete);

    if (!bench.Complete(wall)) {
        bench.AddRow({name, c.label + ": all figures", "not reported: a run failed its check", "",
                      "", "", "**no**"});
        return;
    }
    const double ms = 1000;
    bench.AddRow({name, c.label + ": wall time of the run (s), vs before", Fixed(wall.Median(), 3),
                  Fixed(bWall.Median(), 3), Fixed(wall.Median() / bWall.Median(), 3), "", ""});
    bench.AddRow({name,
                  c.label + ": time the sample adds per run (ms), median of the paired differences",
                  Fixed(added.Median() * ms, 2), "", "", "", ""});
    if (probe.exitStatus == 0) {
        const auto v = ParseKeyValues(probe.output);
        const double alone = NumberOf(v, "sample"), direct = NumberOf(v, "direct");
        bench.AddRow({name,
                      c.label + ": the sample alone (ms): asked through the worker, read back " +
                          "and compared; vs one ranged GET of the same " + v.at("sample_bytes") +
                          " bytes by the client alone",
                      Fixed(alone * ms, 3), Fixed(direct * ms, 3), Fixed(alone / direct, 2),
                      "≤ one GET + 1 ms", YesNo(alone - direct < 0.001)});
    } else {
        Progress("sample probe failed: " + probe.output);
        bench.AddRow({name, c.label + ": the sample alone", "the probe failed", "", "",
                      "≤ one GET + 1 ms", "**no**"});
    }
    const double extra = requests.Median() - bRequests.Median();
    bench.AddRow({name,
                  c.label + ": requests per run (probe, sample, " + Fixed(fetches, 0) +
                      " fetches), vs before",
                  Fixed(requests.Median(), 0), Fixed(bRequests.Median(), 0), "",
                  "at most one round trip more", YesNo(extra <= 1)});
    bench.AddRow({name, c.label + ": TCP connections per run (nginx $connection), vs before",
                  Fixed(connections.Median(), 0), Fixed(bConnections.Median(), 0), "",
                  "no more than before", YesNo(connections.Median() <= bConnections.Median())});
}
