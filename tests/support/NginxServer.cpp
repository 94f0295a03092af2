#include "NginxServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

bool AcceptsConnections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
}

} // namespace

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& outputFile,
                          int port) {
    Stop();
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The test program ignores SIGPIPE; the server gets the default back.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (AcceptsConnections(port)) return true;
        std::this_thread::sleep_for(20ms);
    }
    Stop();
    return false;
}

void ServerProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    pid_ = -1;
}

NginxServer::NginxServer(const std::string& root)
    : NginxServer(root, Setup{QV_TEST_DATA_DIR "/nginx.conf.in", "", {}, "", ""}) {}

NginxServer::NginxServer(const std::string& root, const std::string& certificate,
                         const std::string& key)
    : NginxServer(root, Setup{QV_TEST_DATA_DIR "/nginx.conf.in", "", {}, certificate, key}) {}

NginxServer::NginxServer(const std::string& root, const Setup& setup)
    : tls_(!setup.certificate.empty()) {
    if (setup.folder.empty()) {
        dir_ = ownDir_.emplace().path();
    } else {
        std::filesystem::create_directories(setup.folder);
        dir_ = setup.folder;
    }
    const std::string templateText = ReadWholeFile(setup.configTemplate);
    // A port found free may be taken before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        std::string config = templateText;
        ReplaceAll(config, "@USER@", ::geteuid() == 0 ? "user root;" : "");
        ReplaceAll(config, "@DIR@", dir_);
        ReplaceAll(config, "@ROOT@", root);
        ReplaceAll(config, "@PORT@", std::to_string(port_));
        ReplaceAll(config, "@SSL@", tls_ ? " ssl" : "");
        ReplaceAll(config, "@SSL_FILES@",
                   tls_ ? "ssl_certificate " + setup.certificate + "; ssl_certificate_key " +
                              setup.key + ";"
                        : "");
        for (const auto& [placeholder, text] : setup.values)
            ReplaceAll(config, placeholder, text);
        ReplaceAll(config, "@LIMITS@", "");
        WriteWholeFile(file("nginx.conf"), config);
        if (process_.Start({"/usr/sbin/nginx", "-p", dir_, "-c", file("nginx.conf")},
                           file("output.log"), port_))
            return;
    }
    throw std::runtime_error("nginx did not start: " + errorLog());
}

NginxServer::Setup NginxServer::WithLimits(const std::string& limits) {
    return {QV_TEST_DATA_DIR "/nginx.conf.in", "", {{"@LIMITS@", limits}}, "", ""};
}

std::string NginxServer::url(const std::string& path) const {
    return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) + path;
}

std::vector<NginxServer::LoggedRequest>
NginxServer::loggedRequests(std::size_t atLeast, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        std::vector<LoggedRequest> logged;
        const std::string path = file("access.log");
        std::istringstream lines(FileExists(path) ? ReadWholeFile(path) : std::string());
        for (std::string line; std::getline(lines, line);) {
            LoggedRequest r;
            const auto open = line.find('"');
            const auto close = line.rfind('"');
            if (open == std::string::npos || close == open) continue;
            std::istringstream head(line.substr(0, open));
            head >> r.connection >> r.requestOnConnection;
            r.requestLine = line.substr(open + 1, close - open - 1);
            std::istringstream tail(line.substr(close + 1));
            tail >> r.status >> r.bodyBytes;
            logged.push_back(r);
        }
        if (logged.size() >= atLeast || std::chrono::steady_clock::now() > deadline) return logged;
        std::this_thread::sleep_for(20ms);
    }
}

int NginxServer::connectionCount(std::size_t atLeast) const {
    std::set<long> connections;
    for (const LoggedRequest& r : loggedRequests(atLeast))
        connections.insert(r.connection);
    return static_cast<int>(connections.size());
}

std::string NginxServer::errorLog() const {
    std::string text;
    for (const char* name : {"error.log", "output.log"}) {
        const std::string path = file(name);
        if (FileExists(path)) text += ReadWholeFile(path);
    }
    return text;
}
