#pragma once

#include "NginxServer.h"
#include "TempDir.h"

#include <string>

// A real HTTP proxy (Debian's /usr/bin/tinyproxy) on a free loopback port,
// accepting clients from 127.0.0.1 only, with its configuration and log in a
// folder of its own. The configuration is tests/data/tinyproxy.conf.in.
class TinyProxy {
public:
    // Throws std::runtime_error when tinyproxy does not start.
    TinyProxy();
    ~TinyProxy() = default;

    std::string host() const { return "127.0.0.1"; }
    int port() const { return port_; }
    // tinyproxy's log, for failure messages and checks.
    std::string log() const;

private:
    TempDir dir_;
    int port_ = 0;
    ServerProcess process_;
};
