// The pieces that one taken range costs, each timed on its own over the same
// ranges that the job run fetches: the worker's round trip against the
// client called directly, the write of the range with its flush, and the
// one write of List.xml that takes the range off the queue and sets the
// counters. Beside them the bare floor of the durability the
// program promises: one fdatasync of a 4 KiB write and three atomic
// replacements of a file the size of List.xml, written with plain system
// calls.

#include "BenchSupport.h"
#include "BodyCollect.h"

#if __has_include("common/IncompleteFile.h")
#include "common/IncompleteFile.h"
#else
#include "app/core/IncompleteFile.h"
#endif
#include "http/HttpClient.h"
#include "list/ListDocument.h"
#include "transfer/DLThread_Unit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;

std::string RangeText(const std::pair<int64_t, int64_t>& range) {
    return std::to_string(range.first) + "-" + std::to_string(range.second);
}

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

void Must(bool ok, const char* call) {
    if (!ok) throw std::runtime_error(std::string(call) + ": " + std::strerror(errno));
}

void WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        Must(n > 0, "write");
        done += static_cast<size_t>(n);
    }
}

// One atomic replacement as a careful program writes it: a new file, its
// data flushed, renamed over the old one, and the folder flushed.
void ReplaceAtomically(const std::string& folder, const std::string& name,
                       const std::string& data) {
    const std::string path = folder + "/" + name;
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Must(fd >= 0, "open");
    WriteAll(fd, data);
    Must(::fsync(fd) == 0, "fsync");
    Must(::close(fd) == 0, "close");
    Must(::rename(temp.c_str(), path.c_str()) == 0, "rename");
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Must(dir >= 0, "open folder");
    Must(::fsync(dir) == 0, "fsync folder");
    ::close(dir);
}

std::string ReadAt(int fd, int64_t offset, size_t size) {
    std::string data(size, '\0');
    Must(::pread(fd, data.data(), size, offset) == static_cast<ssize_t>(size), "pread");
    return data;
}

} // namespace

int PartsMain(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: %s parts <url> <ranges> <original> <incomplete copy> <List.xml> "
                     "<count>\n",
                     argv[0]);
        return 2;
    }
    const std::string url = argv[2];
    const Ranges ranges = ReadRanges(argv[3]);
    const std::string original = argv[4];
    const std::string incomplete = argv[5];
    const std::string listPath = argv[6];
    const size_t count = std::min<size_t>(std::stoul(argv[7]), ranges.size());
    const std::string folder = listPath.substr(0, listPath.rfind('/'));
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);

    // The worker's round trip against the client on one thread, alternately,
    // each over its own kept connection (one request first to open it).
    double workerSeconds = 0, directSeconds = 0;
    int workerConnections = 0, directConnections = 0;
    const int source = ::open(original.c_str(), O_RDONLY | O_CLOEXEC);
    Must(source >= 0, "open original");
    {
        QObject receiver;
        tHTTPThread worker(
            [&receiver] { QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User)); });
        worker.URL = url;
        IncompleteFile target(incomplete);
        const int check = ::open(incomplete.c_str(), O_RDONLY | O_CLOEXEC);
        Must(check >= 0, "open incomplete");
        HttpClient client;
        std::string body;
        for (size_t i = 0; i <= count; ++i) {
            const auto& range = ranges[i == 0 ? 0 : i - 1];
            const std::string expected =
                ReadAt(source, range.first, static_cast<size_t>(range.second - range.first + 1));

            worker.Client.ByteRange = RangeText(range);
            worker.Target = {&target, range.first, range.second, FileSize(original)};
            auto start = BenchClock::now();
            const uint64_t serial = worker.RequestFetch();
            while (worker.FetchPending.load(std::memory_order_acquire))
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            if (i > 0) workerSeconds += SecondsSince(start);
            const RequestResult result = worker.Result(serial);
            Check(result.RangeTaken && ReadAt(check, range.first, expected.size()) == expected,
                  "worker fetch failed: " + result.StatusText);

            client.ByteRange = RangeText(range);
            body.clear();
            start = BenchClock::now();
            FetchInto(client, url, body);
            if (i > 0) directSeconds += SecondsSince(start);
            Check(body == expected, "direct fetch failed: " + client.StatusLine());
        }
        ::close(check);
        workerConnections = worker.Client.ConnectionsOpened();
        directConnections = client.ConnectionsOpened();
    }

    // The write of each range with its flush, the write of List.xml
    // and the durability floor, taken in turn for each range so that all
    // three meet the same disk.
    const std::string floorData(static_cast<size_t>(FileSize(listPath)), 'x');
    const std::string floorBlock(4096, 'y');
    const std::string scratch = folder + "/floor.bin";
    WriteText(scratch, std::string(1 << 20, '\0'));
    double writeSeconds = 0, listSeconds = 0, floorSyncSeconds = 0, floorReplaceSeconds = 0;
    {
        const int floorFd = ::open(scratch.c_str(), O_WRONLY | O_CLOEXEC);
        Must(floorFd >= 0, "open scratch");
        IncompleteFile file(incomplete);
        ListDocument list(listPath);
        list.OpenList();
        const ListEntry entry = list.FindEntry(0);
        Check(entry.HasSegmentQueue(), "List.xml has no segment queue");
        int64_t downloaded = 0;
        for (size_t i = 0; i < count; ++i) {
            const auto& range = ranges[i];
            const std::string data =
                ReadAt(source, range.first, static_cast<size_t>(range.second - range.first + 1));
            auto start = BenchClock::now();
            // As the worker's range writer does: the bytes, then one flush
            // once the range is whole.
            file.WriteAt(range.first, data.data(), data.size());
            file.Flush();
            writeSeconds += SecondsSince(start);

            downloaded += range.second - range.first;
            start = BenchClock::now();
            list.TakeFirstRange(entry, {std::to_string(downloaded), "50%",
                                        std::to_string(1000000 - downloaded),
                                        std::to_string(ranges.size() - i - 1)});
            listSeconds += SecondsSince(start);

            start = BenchClock::now();
            Must(::pwrite(floorFd, floorBlock.data(), floorBlock.size(),
                          static_cast<off_t>((i % 256) * 4096)) == 4096,
                 "pwrite");
            Must(::fdatasync(floorFd) == 0, "fdatasync");
            floorSyncSeconds += SecondsSince(start);
            start = BenchClock::now();
            for (int k = 0; k < 3; ++k)
                ReplaceAtomically(folder, "floor.xml", floorData);
            floorReplaceSeconds += SecondsSince(start);
        }
        ::close(floorFd);
    }
    ::close(source);
    ::unlink(scratch.c_str());
    ::unlink((folder + "/floor.xml").c_str());

    const double n = static_cast<double>(count);
    std::printf("requests=%zu\n", count);
    std::printf("worker_fetch=%.9f\n", workerSeconds / n);
    std::printf("direct_fetch=%.9f\n", directSeconds / n);
    std::printf("worker_connections=%d\n", workerConnections);
    std::printf("direct_connections=%d\n", directConnections);
    std::printf("write_flush=%.9f\n", writeSeconds / n);
    std::printf("list_writes=%.9f\n", listSeconds / n);
    std::printf("floor_sync=%.9f\n", floorSyncSeconds / n);
    std::printf("floor_replace3=%.9f\n", floorReplaceSeconds / n);
    std::printf("floor_list_size=%zu\n", floorData.size());
    return 0;
}
