#include "Scenarios.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Serves one file's ranges, and resets every connection after `dropAfter`
// bytes of a body, as a flaky line does: what is still in flight is lost.
// Counts the body bytes it handed to the kernel.
class DroppingServer {
public:
    DroppingServer(std::string content, int64_t dropAfter)
        : content_(std::move(content)), dropAfter_(dropAfter) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof address;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&address), len);
        ::listen(listen_, 8);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &len);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DroppingServer() {
        stop_ = true;
        ::shutdown(listen_, SHUT_RDWR);
        ::close(listen_);
        thread_.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/f.bin"; }
    int64_t BodyBytesSent() const { return sent_; }
    int Drops() const { return drops_; }

private:
    void Serve() {
        while (!stop_) {
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Answer(fd);
            ::close(fd);
        }
    }

    void Answer(int fd) {
        std::string pending;
        char buffer[4096];
        while (true) {
            size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                pending.append(buffer, static_cast<size_t>(n));
            }
            const std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            const auto size = static_cast<int64_t>(content_.size());
            int64_t first = 0, last = size - 1;
            if (const auto at = head.find("Range: bytes="); at != std::string::npos) {
                first = static_cast<int64_t>(std::stoll(head.substr(at + 13)));
                const std::string to = head.substr(head.find('-', at + 13) + 1);
                if (!to.empty() && to[0] != '\r')
                    last = std::min<int64_t>(std::stoll(to), size - 1);
            }
            const std::string answer = "HTTP/1.1 206 Partial Content\r\nContent-Length: " +
                                       std::to_string(last - first + 1) +
                                       "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                       std::to_string(last) + "/" + std::to_string(size) +
                                       "\r\nConnection: keep-alive\r\n\r\n";
            if (!SendAll(fd, answer.data(), answer.size())) return;
            if (head.rfind("HEAD ", 0) == 0) continue;
            const int64_t length = last - first + 1;
            const int64_t body = std::min(length, dropAfter_);
            if (!SendAll(fd, content_.data() + first, static_cast<size_t>(body))) return;
            sent_ += body;
            if (body < length) {
                ++drops_;
                const linger abortive = {1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                return;
            }
        }
    }

    bool SendAll(int fd, const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    std::string content_;
    int64_t dropAfter_;
    int listen_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> sent_{0};
    std::atomic<int> drops_{0};
    std::thread thread_;
};

} // namespace

// 11. A 64 MiB range over a line that resets every 6 MiB: each retry asks
// for the rest from the durable point, so what is fetched twice per drop is
// at most what was in flight when the line went.
void Drops(BenchContext& bench) {
    const Options& o = bench.Opt();
    const std::string name =
        "11. A range reset every 6 MiB (64 MiB, retried from the durable point)";
    const std::string folder = bench.Folder("drops");
    const std::string served = folder + "/f.bin";
    const int64_t size = 64 * kMiB;
    WriteRandomFile(served, size, 11);
    const std::string hash = Sha256OfFile(served);
    const std::string incomplete = folder + "/f.bin.incomplete";
    const std::string list = folder + "/List.xml";
    Series twicePerDrop, drops, wall;
    for (int rep = 0; rep < o.reps; ++rep) {
        Progress("drops: run " + std::to_string(rep + 1) + " of " + std::to_string(o.reps));
        DroppingServer server(ReadText(served), 6 * kMiB);
        WriteHoleyCopy(served, incomplete, {{0, size - 1}}, true);
        WriteText(list, ListXml({EntryFor(incomplete, size, {{0, size - 1}}, server.Url())}));
        // The waits before retries are a hundredth of a second per second stated.
        setenv("QV_BENCH_WAIT_SCALE", "0.01", 1);
        const JobRun run = bench.RunJobOf(bench.Self(), folder, list, incomplete, hash, 0);
        unsetenv("QV_BENCH_WAIT_SCALE");
        RemoveFile(incomplete);
        if (!run.ok || server.Drops() == 0) continue;
        wall.Add(run.wall);
        drops.Add(server.Drops());
        twicePerDrop.Add(static_cast<double>(server.BodyBytesSent() - size) / server.Drops());
        Progress("drops: raw: " + std::to_string(server.Drops()) + " drops, " +
                 std::to_string(server.BodyBytesSent()) + " body bytes sent for " +
                 std::to_string(size) + ", " + Fixed(run.wall, 3) + " s");
    }
    RemoveFile(served);
    if (!bench.Complete(twicePerDrop)) {
        bench.AddRow(
            {name, "all figures", "not reported: a run failed its check", "", "", "", "**no**"});
        return;
    }
    bench.AddRow({name, "drops per run", Fixed(drops.Median(), 0), "", "", "", ""});
    bench.AddRow({name, "bytes fetched twice per drop (sent by the server, not kept)",
                  Fixed(twicePerDrop.Median(), 0), "", "", "< 1 MiB (what was in flight)",
                  YesNo(twicePerDrop.Median() < static_cast<double>(kMiB))});
    bench.AddRow({name, "wall time of the run (s)", Fixed(wall.Median(), 2), "", "", "", ""});
}
