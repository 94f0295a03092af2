#include "AgainstCurl.h"
#include "Scenarios.h"

// 14. The served 1 GiB file as a user adds it: Downloads > New..., its URL
// typed in, the Save as the dialog proposes in the downloads folder, Ok.
// Timed from Ok (the server's question, the file allocated at full length,
// the list saved, the whole run) to the end of the run, against `curl -o
// FILE URL` of the same file.
void NewDownloadBesideCurl(BenchContext& bench, const std::string& bigHash) {
    const Options& o = bench.Opt();
    const std::string folder = bench.Folder("new");
    const std::string list = folder + "/List.xml";
    const std::string savedAs = folder + "/big.bin";
    const std::string url = bench.Url("/big.bin");
    CurlComparison c;
    c.name = "14. New download";
    c.caption = "14. New download of " + std::to_string(o.bigSize / kMiB) +
                " MiB from nginx beside curl (" + Fixed(o.bigSize / 1e6, 1) +
                " MB; from Ok to the end of the run)";
    c.bytes = o.bigSize;
    c.quilvane = [&] {
        // A new download each time: no file at the Save as, an empty list.
        RemoveFile(savedAs);
        WriteText(list, ListXml({}));
        JobRun q = bench.RunNewDownload(folder, list, url, savedAs, bigHash);
        RemoveFile(savedAs);
        return q;
    };
    c.url = url;
    c.curlHash = bigHash;
    c.curlTarget = 0.9;
    c.runFigures = {{"from Ok until the dialog closes (s): the server's question, the file "
                     "allocated and made durable, the entry appended",
                     "ok_to_close"}};
    MeasureAgainstCurl(bench, c, folder);
}
