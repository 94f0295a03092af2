#include "AgainstCurl.h"
#include "Scenarios.h"
#include "TestCertificates.h"

namespace {

// The job run and curl fetching the same range of `big`, taking turns.
// `curlArgs` say how curl reaches `url`; over https the target is against
// curl and a flush of its file, which is what the job run does before it
// counts a byte.
void MeasureRange(BenchContext& bench, const std::string& name, const std::string& url,
                  std::vector<std::string> curlArgs, bool tls, const std::string& big,
                  const std::string& bigHash, int64_t begin, int64_t end,
                  const std::string& rangeHash, const std::string& folder) {
    const Options& o = bench.Opt();
    const int64_t rangeBytes = end - begin + 1;
    const std::string incomplete = folder + "/big.bin.incomplete";
    const std::string list = folder + "/List.xml";
    const std::string listText = ListXml({EntryFor(incomplete, o.bigSize, {{begin, end}}, url)});
    curlArgs.insert(curlArgs.begin(), {"-0", "-H", "Connection: keep-alive"});
    curlArgs.insert(curlArgs.end(), {"-r", std::to_string(begin) + "-" + std::to_string(end)});
    CurlComparison c;
    c.name = name;
    c.caption = name + " (" + Fixed(rangeBytes / 1e6, 1) + " MB of a " +
                std::to_string(o.bigSize / kMiB) + " MiB file)";
    c.bytes = rangeBytes;
    c.quilvane = [&] {
        WriteHoleyCopy(big, incomplete, {{begin, end}}, true);
        WriteText(list, listText);
        JobRun q = bench.RunJob(folder, list, incomplete, bigHash, 0);
        RemoveFile(incomplete);
        return q;
    };
    c.curlArgs = std::move(curlArgs);
    c.url = url;
    c.curlHash = rangeHash;
    if (!tls) c.curlTarget = 0.9;
    c.flushTarget = tls ? 0.9 : 1.2;
    MeasureAgainstCurl(bench, c, folder);
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
        if (bench.Wanted("new")) NewDownloadBesideCurl(bench, bigHash);
        if (bench.Wanted("checksum")) ChecksumBesideSha256sum(bench, big, bigHash);
        RemoveFile(big);
    };
    if (bench.Wanted("large"))
        MeasureRange(bench, "1. Large range", url, {}, false, big, bigHash, begin, end, rangeHash,
                     folder);
    if (bench.Wanted("https"))
        MeasureRange(bench, "1. Large range over https", bench.TlsUrl("/big.bin"),
                     {"--cacert", TestCertificates::AuthorityFile()}, true, big, bigHash, begin,
                     end, rangeHash, folder);
    others();
}
