#pragma once

#include "TempDir.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

// A free TCP port on 127.0.0.1 at the time of asking.
int FreeLoopbackPort();

// A server program started by a test as its own child process, listening on
// 127.0.0.1; ended (SIGTERM, then SIGKILL) when the object goes away.
class ServerProcess {
public:
    ServerProcess() = default;
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `argv` with its output going to `outputFile`, and waits until
    // `port` on 127.0.0.1 accepts connections. False when the program ended
    // or did not listen in time.
    bool Start(const std::vector<std::string>& argv, const std::string& outputFile, int port);
    void Stop();

private:
    pid_t pid_ = -1;
};

// A real nginx (Debian's /usr/sbin/nginx) serving one folder on a free
// loopback port, with its configuration, logs and pid file in a folder of
// its own. The configuration is tests/data/nginx.conf.in.
class NginxServer {
public:
    // One line of the access log.
    struct LoggedRequest {
        long connection = 0; // nginx's serial number of the connection
        long requestOnConnection = 0;
        std::string requestLine;
        int status = 0;
        long bodyBytes = 0;
    };

    // Serves the files under `root`. Throws std::runtime_error when nginx
    // does not start.
    explicit NginxServer(const std::string& root);
    ~NginxServer() = default;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;
    // The access log, waiting up to `timeout` until it holds at least
    // `atLeast` requests (nginx logs a request just after answering it).
    std::vector<LoggedRequest>
    loggedRequests(std::size_t atLeast = 0,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    // How many distinct connections the logged requests came over.
    int connectionCount(std::size_t atLeast = 0) const;
    // nginx's own error log, for failure messages.
    std::string errorLog() const;

private:
    TempDir dir_;
    int port_ = 0;
    ServerProcess process_;
};
