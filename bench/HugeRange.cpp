#include "Scenarios.h"

#include <fcntl.h>
#include <stdexcept>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

int64_t FreeBytes(const std::string& path) {
    struct statvfs fs {};
    if (::statvfs(path.c_str(), &fs) != 0) return 0;
    return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

} // namespace

// 3. One range of more than 4 GiB from a sparse file (mostly a hole, with
// random blocks at the start, either side of 2 GiB and 4 GiB, and the
// end), so that any offset or length kept in 32 bits shows in the hash.
void HugeRange(BenchContext& bench) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("huge");
    const std::string name = "3. Range of more than 4 GiB (" + Fixed(o.hugeSize / 1e9, 2) +
                             " GB sparse file served by nginx)";
    const int64_t freeBytes = FreeBytes(folder);
    if (freeBytes < o.hugeSize + 2 * 1024 * kMiB) {
        bench.AddRow({name, "all figures",
                      "not run: " + Fixed(freeBytes / 1e9, 1) + " GB free, needs " +
                          Fixed(o.hugeSize / 1e9 + 2.1, 1),
                      "", "", "", "**no**"});
        return;
    }
    const std::string huge = bench.Www() + "/huge.bin";
    Progress("huge range: writing a sparse file of " + Fixed(o.hugeSize / 1e9, 2) + " GB");
    {
        WriteText(huge, "");
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::ftruncate(fd, o.hugeSize) != 0)
            throw std::runtime_error("cannot size " + huge);
        ::close(fd);
        const std::string block = folder + "/block";
        WriteRandomFile(block, kMiB, 3);
        const std::string random = ReadText(block);
        RemoveFile(block);
        const int64_t places[] = {0, (int64_t{1} << 31) - kMiB / 2, (int64_t{1} << 32) - kMiB / 2,
                                  o.hugeSize - kMiB};
        const int out = ::open(huge.c_str(), O_WRONLY | O_CLOEXEC);
        for (const int64_t at : places)
            if (at >= 0 && at + kMiB <= o.hugeSize &&
                ::pwrite(out, random.data(), random.size(), at) !=
                    static_cast<ssize_t>(random.size()))
                throw std::runtime_error("cannot write " + huge);
        ::close(out);
    }
    const std::string hugeHash = Sha256OfFile(huge);
    const int64_t begin = 4096, end = o.hugeSize - 4096;
    const int64_t rangeBytes = end - begin + 1;
    const std::string incomplete = folder + "/huge.bin.incomplete";
    const std::string list = folder + "/List.xml";
    WriteHoleyCopy(huge, incomplete, {{begin, end}}, true);
    WriteText(list,
              ListXml({EntryFor(incomplete, o.hugeSize, {{begin, end}}, bench.Url("/huge.bin"))}));
    Progress("huge range: the job run");
    JobRun q = bench.RunJob(folder, list, incomplete, hugeHash, 0);
    RemoveFile(incomplete);
    // curl once into a file, for the speed of the same bytes.
    Progress("huge range: curl");
    const std::string curlOut = folder + "/curl.out";
    SyncFileSystem(folder);
    ChildRun c = RunChild({kCurl, "-q", "-s", "-S", "-0", "-H", "Connection: keep-alive", "-r",
                           std::to_string(begin) + "-" + std::to_string(end), "-o", curlOut,
                           bench.Url("/huge.bin")},
                          folder + "/curl.txt");
    const bool cOk = c.exitStatus == 0 && FileSize(curlOut) == rangeBytes;
    const double cFlush = cOk ? FlushFile(curlOut) : 0;
    RemoveFile(curlOut);
    RemoveFile(huge);
    if (!q.ok) {
        bench.AddRow({name, "completes, SHA-256 of the finished file", "**no**", "", "",
                      "completes", "**no**"});
        return;
    }
    const double mb = static_cast<double>(rangeBytes) / 1e6;
    bench.AddRow({name, "completes, SHA-256 of the finished file equals the original's", "yes", "",
                  "", "completes", "yes"});
    bench.AddRow({name, "wall time (s), one run", Fixed(q.wall, 2),
                  cOk ? Fixed(c.wall, 2) : "curl failed", "", "", ""});
    bench.AddRow({name, "throughput (MB/s), vs curl", Fixed(mb / q.wall, 0),
                  cOk ? Fixed(mb / c.wall, 0) : "", cOk ? Fixed(c.wall / q.wall, 2) : "",
                  "(stated)", ""});
    bench.AddRow({name, "throughput (MB/s), vs curl + fdatasync of its file", Fixed(mb / q.wall, 0),
                  cOk ? Fixed(mb / (c.wall + cFlush), 0) : "",
                  cOk ? Fixed((c.wall + cFlush) / q.wall, 2) : "", "(stated)", ""});
    const double rss = static_cast<double>(q.child.peakRssKiB) / 1024;
    bench.AddRow({name, "peak RSS (MiB)", Fixed(rss, 0), cOk ? Fixed(c.peakRssKiB / 1024.0, 0) : "",
                  "", "≤ 64 MiB", YesNo(rss <= 64)});
}
