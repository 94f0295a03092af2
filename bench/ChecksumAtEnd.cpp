#include "Scenarios.h"

#include <functional>
#include <optional>
#include <unistd.h>

namespace {

constexpr const char* kSha256sum = "/usr/bin/sha256sum";
constexpr const char* kOpenssl = "/usr/bin/openssl";
constexpr const char* kVerified = "SHA-256 checksum verified.";

// One way of hashing the file, once.
struct Turn {
    double wall = 0, cpu = 0, peakRssMiB = 0;
    // The job run's parts: from Resume to the hashing's last read, from
    // there to the verdict's log row, and from there to the end.
    double hashing = 0, noticed = 0, finishing = 0;
};

// A way of hashing the file and its turns, one per repetition (none when
// that turn failed its check).
struct Way {
    std::string name; // in the progress lines
    std::function<std::optional<Turn>()> run;
    std::vector<std::optional<Turn>> turns;

    bool Complete(int reps) const {
        int passed = 0;
        for (const auto& t : turns)
            passed += t ? 1 : 0;
        return passed == reps;
    }
    double Median(double Turn::*figure) const {
        Series s;
        for (const auto& t : turns)
            if (t) s.Add((*t).*figure);
        return s.Median();
    }
    // The median of this way's wall time over `other`'s, turn by turn:
    // `other`'s throughput over this one's.
    double RateOver(const Way& other) const {
        Series s;
        for (size_t i = 0; i < turns.size(); ++i)
            if (turns[i] && other.turns[i]) s.Add(other.turns[i]->wall / turns[i]->wall);
        return s.Median();
    }
};

// Resume of the one entry of `list`, a download of `file` whose checksum
// alone is left; a turn when the run logged the verdict before its success
// row.
Way JobRunWay(BenchContext& bench, const std::string& folder, const std::string& file, int64_t size,
              const std::string& hash, const std::string& url) {
    const std::string list = folder + "/List.xml";
    TestEntry entry = EntryFor(file, size, {}, url);
    entry.percent = "100%";
    entry.checksum = "sha256:" + hash;
    const std::string listText = ListXml({entry});
    return {"Quilvane",
            [&bench, folder, file, size, hash, list, listText]() -> std::optional<Turn> {
                WriteText(list, listText);
                JobRun q = bench.RunChecksum(folder, list, file, size, hash);
                if (!q.ok || q.values["before_last_log"] != kVerified ||
                    !q.values.count("hash_read_end") || !q.values.count("verdict_logged")) {
                    Progress("checksum: the run did not log \"" + std::string(kVerified) +
                             "\" after reading the file: " + q.child.output);
                    return std::nullopt;
                }
                const double readEnd = NumberOf(q.values, "hash_read_end");
                const double verdict = NumberOf(q.values, "verdict_logged");
                return Turn{.wall = q.wall,
                            .cpu = q.cpu,
                            .peakRssMiB = q.child.peakRssKiB / 1024.0,
                            .hashing = readEnd,
                            .noticed = verdict - readEnd,
                            .finishing = q.wall - verdict};
            },
            {}};
}

// A child that prints the file's digest first (sha256sum, openssl dgst -r),
// or the hasher probe, which prints it on its "digest" line and its own
// time on "hash_wall"; a turn when the digest is `hash`.
Way ChildWay(const std::string& name, const std::vector<std::string>& argv,
             const std::string& folder, const std::string& hash) {
    return {name,
            [argv, folder, hash]() -> std::optional<Turn> {
                const ChildRun run = RunChild(argv, folder + "/hash.txt");
                const std::map<std::string, std::string> values = ParseKeyValues(run.output);
                const auto probe = values.find("digest");
                const std::string digest =
                    probe != values.end() ? probe->second : run.output.substr(0, hash.size());
                if (run.exitStatus != 0 || digest != hash) {
                    Progress("checksum: " + argv[0] + " " + argv[1] + " failed: " + run.output);
                    return std::nullopt;
                }
                const double wall =
                    probe != values.end() ? NumberOf(values, "hash_wall") : run.wall;
                return Turn{.wall = wall,
                            .cpu = run.user + run.system,
                            .peakRssMiB = run.peakRssKiB / 1024.0};
            },
            {}};
}

// `reps` turns of every way, in an order that alternates so that no way
// always follows the same one; with `evict`, that file's pages are dropped
// from the page cache before each turn.
void TakeTurns(std::vector<Way*> ways, int reps, const std::string& evict) {
    for (Way* way : ways)
        way->turns.clear();
    for (int rep = 0; rep < reps; ++rep) {
        for (size_t k = 0; k < ways.size(); ++k) {
            Way& way = *ways[rep % 2 == 0 ? k : ways.size() - 1 - k];
            if (!evict.empty()) EvictFromCache(evict);
            way.turns.push_back(way.run());
        }
        auto wall = [&](const Way* w) {
            return w->name + " " +
                   (w->turns.back() ? Fixed(w->turns.back()->wall, 3) + " s" : std::string("-"));
        };
        const std::optional<Turn>& q = ways[0]->turns.back();
        std::string raw = "checksum: raw: " + wall(ways[0]);
        if (q)
            raw += " (hashing " + Fixed(q->hashing, 3) + ", noticed " + Fixed(q->noticed, 3) +
                   ", finishing " + Fixed(q->finishing, 3) + ")";
        for (size_t k = 1; k < ways.size(); ++k)
            raw += ", " + wall(ways[k]);
        Progress(raw);
    }
}

std::string PartsText(const Way& run, double scale, int decimals) {
    return Fixed(run.Median(&Turn::hashing) * scale, decimals) + "; " +
           Fixed(run.Median(&Turn::noticed) * scale, decimals) + "; " +
           Fixed(run.Median(&Turn::finishing) * scale, decimals);
}

const char* const kParts = "the run's parts: from Resume to the hashing's last read; from there "
                           "to the verdict's log row (the window looks every 100 ms); from there "
                           "to the end (success row, entry removed, List.xml saved)";

} // namespace

// 15. The 1 GiB file as a download whose bytes are all in (counters
// complete, no range queued) but whose checksum was not yet verified, as a
// Pause during the check leaves it: Resume only hashes it. Timed from Resume
// to the end of the run against `sha256sum FILE`, taking turns, with the
// page cache warm (each way run once before) and with the file's pages
// dropped before each run; FileHasher alone and `openssl dgst -sha256` show
// what the window adds and what OpenSSL does by itself. A 4 KiB file shows
// what a check costs when the hashing itself costs nothing.
void ChecksumBesideSha256sum(BenchContext& bench, const std::string& big,
                             const std::string& bigHash) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("checksum");
    const std::string file = folder + "/big.bin";
    // The served file itself under a name of the folder's own, not a copy,
    // so that the page cache holds one 1 GiB file.
    RemoveFile(file);
    if (::link(big.c_str(), file.c_str()) != 0) CopyFile(big, file);

    Way quilvane = JobRunWay(bench, folder, file, o.bigSize, bigHash, bench.Url("/big.bin"));
    Way sha256sum = ChildWay("sha256sum", {kSha256sum, file}, folder, bigHash);
    Way hasher =
        ChildWay("FileHasher alone", {bench.Self(), "hasher", file, "sha256"}, folder, bigHash);
    Way openssl =
        ChildWay("openssl dgst", {kOpenssl, "dgst", "-sha256", "-r", file}, folder, bigHash);
    const std::vector<Way*> ways = {&quilvane, &sha256sum, &hasher, &openssl};

    const std::string name = "15. Checksum of a finished " + std::to_string(o.bigSize / kMiB) +
                             " MiB file beside sha256sum (" + Fixed(o.bigSize / 1e6, 1) +
                             " MB, SHA-256; Quilvane from Resume to the end of the run)";
    const double mb = static_cast<double>(o.bigSize) / 1e6;
    auto rate = [mb](const Way& way) { return Fixed(mb / way.Median(&Turn::wall), 0); };
    for (const bool dropped : {false, true}) {
        const std::string state =
            dropped ? "the file's pages dropped before each run" : "page cache warm";
        Progress("checksum: " + state);
        if (!dropped) {
            for (Way* way : ways)
                way->run(); // reads the file into the page cache
        }
        TakeTurns(ways, o.reps, dropped ? file : "");
        bool complete = true;
        for (const Way* way : ways)
            complete = complete && way->Complete(o.reps);
        if (!complete) {
            bench.AddRow({name, state + ": all figures", "not reported: a run failed its check", "",
                          "", "", "**no**"});
            continue;
        }
        const double ratio = quilvane.RateOver(sha256sum);
        bench.AddRow({name, state + ": wall time (s)", Fixed(quilvane.Median(&Turn::wall), 2),
                      Fixed(sha256sum.Median(&Turn::wall), 2), "", "", ""});
        bench.AddRow({name, state + ": throughput (MB/s), vs sha256sum", rate(quilvane),
                      rate(sha256sum), Fixed(ratio, 2), "≥ 0.90 × sha256sum", YesNo(ratio >= 0.9)});
        bench.AddRow({name,
                      state + ": FileHasher alone, no window (bench-only probe): throughput "
                              "(MB/s), vs sha256sum",
                      rate(hasher), rate(sha256sum), Fixed(hasher.RateOver(sha256sum), 2), "", ""});
        bench.AddRow({name, state + ": throughput (MB/s), vs openssl dgst -sha256", rate(quilvane),
                      rate(openssl), Fixed(quilvane.RateOver(openssl), 2), "", ""});
        bench.AddRow(
            {name, state + ": " + kParts + " (s)", PartsText(quilvane, 1, 3), "", "", "", ""});
        bench.AddRow({name, state + ": user+sys CPU (s)", Fixed(quilvane.Median(&Turn::cpu), 2),
                      Fixed(sha256sum.Median(&Turn::cpu), 2), "", "", ""});
        if (!dropped)
            bench.AddRow({name, "peak RSS (MiB)", Fixed(quilvane.Median(&Turn::peakRssMiB), 0),
                          Fixed(sha256sum.Median(&Turn::peakRssMiB), 0), "", "", ""});
    }
    RemoveFile(file);

    // The same check of a 4 KiB file, page cache warm.
    const std::string small = folder + "/small.bin";
    WriteRandomFile(small, 4096, 15);
    const std::string smallHash = Sha256OfFile(small);
    Way smallRun = JobRunWay(bench, folder, small, 4096, smallHash, bench.Url("/small.bin"));
    Way smallSum = ChildWay("sha256sum", {kSha256sum, small}, folder, smallHash);
    Progress("checksum: a 4 KiB file");
    TakeTurns({&smallRun, &smallSum}, o.reps, "");
    if (smallRun.Complete(o.reps) && smallSum.Complete(o.reps)) {
        bench.AddRow({name, "a 4 KiB file, page cache warm: wall time (ms), vs sha256sum",
                      Fixed(smallRun.Median(&Turn::wall) * 1000, 1),
                      Fixed(smallSum.Median(&Turn::wall) * 1000, 1), "", "", ""});
        bench.AddRow({name, std::string("a 4 KiB file, page cache warm: ") + kParts + " (ms)",
                      PartsText(smallRun, 1000, 1), "", "", "", ""});
    } else {
        bench.AddRow({name, "a 4 KiB file: all figures", "not reported: a run failed its check", "",
                      "", "", "**no**"});
    }
    RemoveFile(small);
}
