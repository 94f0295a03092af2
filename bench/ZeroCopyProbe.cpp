// Two ways of putting one range from a server into a file, each ending with
// an fdatasync, so that the program's way can be weighed against the other:
//   copy    recv into a 32 KiB buffer, pwrite at the file offset (what the
//           worker does)
//   splice  socket -> pipe -> file with splice(SPLICE_F_MOVE), the pipe
//           grown to 1 MiB, the bytes never copied to user space
// and two ways of flushing while the range arrives:
//   pieces  start writeback of every 8 MiB as soon as it is written and wait
//           for the piece before it (the program's RangeWriter)
//   none    nothing until the final fdatasync
// The request is the program's own: HTTP/1.0 with a Range header over one
// loopback connection.

#include "BenchSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kBlock = 32768;              // the worker's read block
constexpr int64_t kWritebackPiece = 8 << 20;  // RangeWriter's piece
constexpr int kPipeSize = 1 << 20;

void Must(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Must(fd >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    Must(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connect");
    return fd;
}

void SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        Must(n > 0, "send");
        done += static_cast<size_t>(n);
    }
}

void WriteAllAt(int fd, const char* data, size_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
        Must(n > 0, "pwrite");
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
}

// RangeWriter's writeback: called with the bytes written so far.
struct Writeback {
    int fd;
    bool enabled;
    int64_t started = 0, waited = 0;

    void After(int64_t done) {
        if (!enabled || done - started < kWritebackPiece) return;
        if (started > waited) {
            ::sync_file_range(fd, waited, started - waited,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER);
            waited = started;
        }
        ::sync_file_range(fd, started, done - started, SYNC_FILE_RANGE_WRITE);
        started = done;
    }
};

} // namespace

int ZeroCopyMain(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s zerocopy <port> <path> <begin> <end> <file> copy|splice "
                     "pieces|none\n",
                     argv[0]);
        return 2;
    }
    const int port = std::stoi(argv[2]);
    const std::string path = argv[3];
    const int64_t begin = std::stoll(argv[4]), end = std::stoll(argv[5]);
    const std::string target = argv[6];
    const std::string method = argv[7], strategy = argv[8];
    if ((method != "copy" && method != "splice") || (strategy != "pieces" && strategy != "none"))
        throw std::runtime_error("method is copy or splice, writeback pieces or none");
    const int64_t length = end - begin + 1;

    // The file as the program finds it: created beforehand, at its size.
    const int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Must(file >= 0, "open " + target);
    Must(::ftruncate(file, length) == 0, "ftruncate");
    Writeback writeback{file, strategy == "pieces"};

    const CpuTimes cpu0 = ProcessCpu();
    const auto start = BenchClock::now();
    const int sock = Connect(port);
    SendAll(sock, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                      "\r\nRange: bytes=" + std::to_string(begin) + "-" + std::to_string(end) +
                      "\r\nConnection: keep-alive\r\n\r\n");

    // The head, read in blocks as the worker reads it; what follows it in
    // the last block is the start of the body.
    std::string buffer(kBlock, '\0');
    std::string head;
    size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
        const ssize_t n = ::recv(sock, buffer.data(), kBlock, 0);
        if (n < 0 && errno == EINTR) continue;
        Must(n > 0, "recv head");
        head.append(buffer.data(), static_cast<size_t>(n));
        headEnd = head.find("\r\n\r\n");
        Must(head.size() < (1 << 20), "head too long");
    }
    if (head.find(" 206 ") == std::string::npos ||
        head.find("Content-Length: " + std::to_string(length) + "\r\n") == std::string::npos)
        throw std::runtime_error("not the range: " + head.substr(0, headEnd));
    int64_t done = 0;
    {
        const size_t bodyStart = headEnd + 4;
        const size_t extra = std::min<size_t>(head.size() - bodyStart, static_cast<size_t>(length));
        WriteAllAt(file, head.data() + bodyStart, extra, 0);
        done = static_cast<int64_t>(extra);
    }

    if (method == "copy") {
        while (done < length) {
            const size_t want = static_cast<size_t>(std::min<int64_t>(kBlock, length - done));
            const ssize_t n = ::recv(sock, buffer.data(), want, 0);
            if (n < 0 && errno == EINTR) continue;
            Must(n > 0, "recv body");
            WriteAllAt(file, buffer.data(), static_cast<size_t>(n), done);
            done += n;
            writeback.After(done);
        }
    } else {
        int pipe[2];
        Must(::pipe2(pipe, O_CLOEXEC) == 0, "pipe2");
        const int pipeSize = ::fcntl(pipe[1], F_SETPIPE_SZ, kPipeSize);
        Must(pipeSize > 0, "F_SETPIPE_SZ");
        while (done < length) {
            const size_t want = static_cast<size_t>(std::min<int64_t>(pipeSize, length - done));
            const ssize_t in =
                ::splice(sock, nullptr, pipe[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_MORE);
            if (in < 0 && errno == EINTR) continue;
            Must(in > 0, "splice from the socket");
            for (ssize_t left = in; left > 0;) {
                loff_t offset = done;
                const ssize_t out = ::splice(pipe[0], nullptr, file, &offset,
                                             static_cast<size_t>(left), SPLICE_F_MOVE);
                if (out < 0 && errno == EINTR) continue;
                Must(out > 0, "splice into the file");
                left -= out;
                done += out;
            }
            writeback.After(done);
        }
        ::close(pipe[0]);
        ::close(pipe[1]);
        std::printf("pipe_size=%d\n", pipeSize);
    }
    const auto flushStart = BenchClock::now();
    Must(::fdatasync(file) == 0, "fdatasync");
    const double flush = SecondsSince(flushStart);
    const double wall = SecondsSince(start);
    const CpuTimes cpu1 = ProcessCpu();
    ::close(sock);
    ::close(file);

    std::printf("bytes=%lld\n", static_cast<long long>(done));
    std::printf("wall=%.6f\n", wall);
    std::printf("flush=%.6f\n", flush);
    std::printf("cpu=%.6f\n", cpu1.Total() - cpu0.Total());
    return 0;
}
