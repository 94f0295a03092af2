// The same-file sample on its own, timed as the job run takes it: the held
// bytes next to the first queued range, asked for through the worker over
// its kept connection, then read back from the incomplete file and
// compared. Beside it, one ranged GET of the same bytes by the client alone
// on one thread: the round trip the sample is measured against.

#include "BenchSupport.h"
#include "BodyCollect.h"

#include "app/core/HeldSample.h"
#include "common/IncompleteFile.h"
#include "http/HttpClient.h"
#include "transfer/DLThread_Unit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <cstdio>
#include <stdexcept>

int SampleMain(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr,
                     "usage: %s sample <url> <queue> <incomplete file> <file size> <count>\n",
                     argv[0]);
        return 2;
    }
    const std::string url = argv[2];
    const auto queue = ReadRanges(argv[3]);
    const std::string incomplete = argv[4];
    const int64_t fileSize = std::stoll(argv[5]);
    const int count = std::stoi(argv[6]);
    const auto sample = HeldSample(queue, fileSize);
    if (!sample) throw std::runtime_error("the file holds no byte outside the queue");
    const auto [first, last] = *sample;
    const std::string range = std::to_string(first) + "-" + std::to_string(last);
    const size_t size = static_cast<size_t>(last - first + 1);

    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    QObject receiver;
    tHTTPThread worker(
        [&receiver] { QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User)); });
    worker.URL = url;
    const IncompleteFile file(incomplete);
    HttpClient client;
    std::string body;
    double sampleSeconds = 0, directSeconds = 0;
    // The first round of each opens its connection, as the probe does
    // before a run's sample; it is not counted.
    for (int i = 0; i <= count; ++i) {
        worker.Client.ByteRange = range;
        worker.Target = {nullptr, first, last, fileSize};
        auto start = BenchClock::now();
        const uint64_t serial = worker.RequestSample();
        while (worker.SamplePending.load(std::memory_order_acquire))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const RequestResult result = worker.Result(serial);
        const std::string held = file.ReadAt(first, size);
        const bool equal = result.RangeTaken && result.SampleBytes == held;
        if (i > 0) sampleSeconds += SecondsSince(start);
        if (!equal) throw std::runtime_error("the sample differs: " + result.StatusText);

        client.ByteRange = range;
        body.clear();
        start = BenchClock::now();
        FetchInto(client, url, body);
        if (i > 0) directSeconds += SecondsSince(start);
        if (body != held) throw std::runtime_error("direct fetch failed: " + client.StatusLine());
    }
    std::printf("sample_bytes=%zu\n", size);
    std::printf("sample=%.9f\n", sampleSeconds / count);
    std::printf("direct=%.9f\n", directSeconds / count);
    std::printf("sample_connections=%d\n", worker.Client.ConnectionsOpened());
    return 0;
}
