#include "HostileServer.h"
#include "Scenarios.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

// 7. Answers meant to make the program hold what it is sent. Each is
// played by a loopback server to the real job run in a child process,
// for one download of 1 MiB; the child's peak RSS is the kernel's
// high-water mark, from wait4.
void HostileAnswers(BenchContext& bench) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("hostile");
    const int64_t size = kMiB;
    const std::string original = folder + "/orig.bin";
    WriteRandomFile(original, size, 4);
    const std::string content = ReadText(original);
    const std::string contentHash = Sha256OfFile(original);

    using Answer = HostileServer::Answer;
    const std::string keep = "Connection: keep-alive\r\n";
    auto probe = [&](const std::string& extra) {
        return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(size) +
               "\r\nContent-Range: bytes 0-" + std::to_string(size - 1) + "/" +
               std::to_string(size) + "\r\n" + keep + extra + "\r\n";
    };
    // The range a GET asks for, from its Range header.
    auto askedRange = [](const std::string& head) -> std::pair<int64_t, int64_t> {
        const size_t at = head.find("Range: bytes=");
        if (at == std::string::npos) return {0, -1};
        int64_t b = 0, e = -1;
        std::sscanf(head.c_str() + at + 13, "%lld-%lld", reinterpret_cast<long long*>(&b),
                    reinterpret_cast<long long*>(&e));
        return {b, e};
    };
    auto rangeAnswer = [&](const std::string& head, const std::string& extra) {
        auto [b, e] = askedRange(head);
        e = std::min(e, size - 1);
        return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(e - b + 1) +
               "\r\nContent-Range: bytes " + std::to_string(b) + "-" + std::to_string(e) + "/" +
               std::to_string(size) + "\r\n" + keep + extra + "\r\n" +
               content.substr(static_cast<size_t>(b), static_cast<size_t>(e - b + 1));
    };
    auto repeated = [](const std::string& piece, size_t atLeast) {
        std::string unit;
        while (unit.size() < atLeast)
            unit += piece;
        return unit;
    };
    const std::string pattern = content.substr(0, 65536);
    std::string chunk = "8000\r\n" + content.substr(0, 32768) + "\r\n";
    const std::string chunks = repeated(chunk, 65536);
    // Set-Cookie lines of 4000-byte values, each name new: 60 fill most
    // of the 256 KiB that one answer head may hold.
    auto cookies = std::make_shared<int>(0);
    auto cookieLines = [cookies](int count) {
        std::string lines;
        for (int k = 0; k < count; ++k)
            lines += "Set-Cookie: c" + std::to_string(++*cookies) + "=" + std::string(4000, 'v') +
                     "; Path=/\r\n";
        return lines;
    };
    // Before each real answer, ten interim answers, each full of cookies.
    auto cookieInterims = [cookieLines] {
        std::string interims;
        for (int k = 0; k < 10; ++k)
            interims += "HTTP/1.1 100 Continue\r\n" + cookieLines(60) + "\r\n";
        return interims;
    };
    const std::string huge = "Content-Length: 1099511627776\r\n";

    struct Case {
        std::string name;
        std::function<Answer(const std::string&)> fetch; // the answer to a GET
        std::function<std::string()> probeExtra;         // headers added to the probe's
        int ranges = 1;
        bool completes = false; // the download is answered rightly in the end
        bool credentials = false;
    };
    const std::vector<Case> cases = {
        {"a fetch answered 200 with an endless body (no length)",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 200 OK\r\n" + keep + "\r\n", pattern};
         },
         {}},
        {"a fetch answered 200 with an endless chunked body",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + keep + "\r\n",
                           chunks};
         },
         {}},
        {"206 with the right head and an endless body (until close)",
         [&](const std::string& head) {
             auto [b, e] = askedRange(head);
             return Answer{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                               std::to_string(b) + "-" + std::to_string(e) + "/" +
                               std::to_string(size) + "\r\n\r\n",
                           pattern};
         },
         {}},
        {"206 with the right head and an endless chunked body",
         [&](const std::string& head) {
             auto [b, e] = askedRange(head);
             return Answer{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " +
                               std::to_string(b) + "-" + std::to_string(e) + "/" +
                               std::to_string(size) + "\r\nTransfer-Encoding: chunked\r\n" + keep +
                               "\r\n",
                           chunks};
         },
         {}},
        {"an endless run of 100 Continue answers",
         [&](const std::string&) {
             return Answer{"", repeated("HTTP/1.1 100 Continue\r\n\r\n", 65536)};
         },
         {}},
        {"a header block that never ends (endless short lines)",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 206 Partial Content\r\n",
                           repeated("X-Filler: 0123456789abcdef0123456789abcdef\r\n", 65536)};
         },
         {}},
        {"a header line that never ends",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 206 Partial Content\r\nX-Long: ", std::string(65536, 'a')};
         },
         {}},
        {"thousands of cookies: 660 new ones of 4 KB with each of 50 fetches",
         [&](const std::string& head) {
             return Answer{cookieInterims() + rangeAnswer(head, cookieLines(60)), ""};
         },
         [&] { return cookieLines(60); }, 50, true},
        {"a 401 with a huge body (no credentials in the entry)",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                           "realm=\"bench\"\r\n" +
                               huge + keep + "\r\n",
                           pattern};
         },
         {}},
        {"a 401 with a huge body (credentials in the entry)",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                           "realm=\"bench\"\r\n" +
                               huge + keep + "\r\n",
                           pattern};
         },
         {},
         1,
         false,
         true},
        {"a redirect with a huge body",
         [&](const std::string&) {
             return Answer{"HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\n" +
                               huge + keep + "\r\n",
                           pattern};
         },
         {}},
        {"(for comparison) the same download answered rightly",
         [&](const std::string& head) {
             return Answer{rangeAnswer(head, ""), ""};
         },
         {},
         1,
         true},
    };

    const std::string name = "7. Hostile answers (the real job run in a child process, "
                             "a download of 1 MiB; peak RSS is the child's VmHWM)";
    const int reps = std::max(1, std::min(o.reps, 3));
    for (const Case& c : cases) {
        Ranges holes;
        for (int i = 0; i < c.ranges; ++i)
            holes.push_back({4096 + i * 16384LL, 4096 + i * 16384LL + 8191});
        const std::string incomplete = folder + "/f.bin.incomplete";
        double peak = 0, slowest = 0;
        int ended = 0, asExpected = 0;
        int64_t endless = 0;
        for (int rep = 0; rep < reps; ++rep) {
            Progress("hostile: " + c.name + ", run " + std::to_string(rep + 1));
            HostileServer server([&](const std::string& head) {
                if (head.rfind("HEAD ", 0) == 0)
                    return Answer{probe(c.probeExtra ? c.probeExtra() : ""), ""};
                return c.fetch(head);
            });
            WriteHoleyCopy(original, incomplete, holes, false);
            TestEntry entry = EntryFor(incomplete, size, holes, server.Url("/f.bin"));
            if (c.credentials) {
                entry.authName = "bench";
                entry.authPass = "secret";
            }
            const std::string list = folder + "/List.xml";
            const std::string listText = ListXml({entry});
            WriteText(list, listText);
            ChildRun run = RunChild({bench.Self(), "jobrun", list}, folder + "/jobrun.txt", 60);
            auto v = ParseKeyValues(run.output);
            peak = std::max(peak, static_cast<double>(run.peakRssKiB) / 1024);
            slowest = std::max(slowest, run.wall);
            if (!run.timedOut) ++ended;
            // Nothing is taken from a hostile answer; the rightly answered
            // download completes with the original's bytes.
            bool expected;
            if (c.completes)
                expected =
                    v["entries_after"] == "0" &&
                    bench.Check(Sha256OfFile(incomplete) == contentHash, "hostile case: " + c.name);
            else
                expected = !run.timedOut && v["entries_after"] == "1" && ReadText(list) == listText;
            // The probe and at least one fetch reached the server.
            expected = expected && server.Requests() >= 1 + c.ranges;
            if (expected) ++asExpected;
            RemoveFile(incomplete);
            endless = std::max(endless, server.EndlessBytesSent());
        }
        const bool comparison = c.name.rfind("(for comparison)", 0) == 0;
        std::string what = c.name + ": peak RSS (MiB); ";
        what += c.completes ? "completes" : "nothing taken";
        what += " " + std::to_string(asExpected) + " of " + std::to_string(reps) +
                "; slowest run " + Fixed(slowest, 2) + " s";
        if (!c.completes) what += "; server sent " + Fixed(endless / 1e6, 1) + " MB";
        const bool ok = peak < 96 && ended == reps && asExpected == reps;
        bench.AddRow({name, what, Fixed(peak, 0), "", "", comparison ? "" : "< 96 MiB",
                      comparison ? "" : YesNo(ok)});
    }
    RemoveFile(original);
}
