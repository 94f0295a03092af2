#pragma once

#include "TempDir.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
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
// its own. The configuration is tests/data/nginx.conf.in unless a Setup
// names another.
class NginxServer {
public:
    // Another configuration template, for a server that is not the tests'
    // usual one (the benchmarks'). Besides @USER@, @DIR@, @ROOT@ and @PORT@,
    // each (placeholder, text) of `values` is filled in.
    struct Setup {
        std::string configTemplate;
        // The folder for the configuration, logs and pid file, created when
        // missing and kept afterwards; empty: a temporary one, removed.
        std::string folder;
        std::vector<std::pair<std::string, std::string>> values;
        // Both set: the server speaks https with this certificate and key.
        std::string certificate, key;
    };

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
    // The same over https, with this certificate and key.
    NginxServer(const std::string& root, const std::string& certificate, const std::string& key);
    NginxServer(const std::string& root, const Setup& setup);
    // The tests' usual server with `limits` (nginx directives such as
    // "limit_rate 2m;") for its one location.
    static Setup WithLimits(const std::string& limits);
    ~NginxServer() = default;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path, or https for a TLS server
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
    std::string file(const std::string& name) const { return dir_ + "/" + name; }

    std::optional<TempDir> ownDir_;
    std::string dir_;
    int port_ = 0;
    bool tls_ = false;
    ServerProcess process_;
};
