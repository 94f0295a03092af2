#include "TinyProxy.h"

#include <stdexcept>

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (auto pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size()))
        text.replace(pos, from.size(), to);
}

} // namespace

TinyProxy::TinyProxy() {
    const std::string templateText = ReadWholeFile(QV_TEST_DATA_DIR "/tinyproxy.conf.in");
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        std::string config = templateText;
        ReplaceAll(config, "@DIR@", dir_.path());
        ReplaceAll(config, "@PORT@", std::to_string(port_));
        WriteWholeFile(dir_.file("tinyproxy.conf"), config);
        if (process_.Start({"/usr/bin/tinyproxy", "-d", "-c", dir_.file("tinyproxy.conf")},
                           dir_.file("output.log"), port_))
            return;
    }
    throw std::runtime_error("tinyproxy did not start: " + log());
}

std::string TinyProxy::log() const {
    std::string text;
    for (const char* name : {"tinyproxy.log", "output.log"}) {
        const std::string path = dir_.file(name);
        if (FileExists(path)) text += ReadWholeFile(path);
    }
    return text;
}
