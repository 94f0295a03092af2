#include "http/RequestHead.h"

#include <vector>

std::string FoldHeaderLine(std::string_view line) {
    const std::size_t limit = kMaxRequestHeaderLineLength;
    if (line.size() <= limit) return std::string(line);

    // Positions after which the line may break: blanks and commas outside
    // double quotes, within the value (the name stays with its first piece).
    std::vector<std::size_t> breaks;
    bool quoted = false;
    const auto separator = line.find(": ");
    const std::size_t valueStart = separator == std::string_view::npos ? 0 : separator + 2;
    for (std::size_t i = valueStart; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t' || c == ','))
            breaks.push_back(i);
    }
    auto isSpaceOrTab = [](char c) { return c == ' ' || c == '\t'; };

    std::string out;
    std::size_t start = 0;
    auto next = breaks.begin();
    bool first = true;
    while (start < line.size()) {
        const std::size_t prefix = first ? 0 : 1;
        std::size_t end = line.size(); // one past the piece
        if (prefix + (line.size() - start) > limit) {
            while (next != breaks.end() && *next < start)
                ++next;
            // The last break that keeps the piece within the limit, else the
            // first one after it; an unbreakable rest stays whole.
            auto chosen = breaks.end();
            for (auto it = next; it != breaks.end(); ++it) {
                if (prefix + (*it + 1 - start) <= limit || chosen == breaks.end()) chosen = it;
                if (prefix + (*it + 1 - start) > limit) break;
            }
            if (chosen != breaks.end()) end = *chosen + 1;
        }
        std::string_view piece = line.substr(start, end - start);
        while (!piece.empty() && isSpaceOrTab(piece.back()))
            piece.remove_suffix(1);
        if (!first) {
            while (!piece.empty() && isSpaceOrTab(piece.front()))
                piece.remove_prefix(1);
        }
        if (!piece.empty()) {
            if (!first) out += "\r\n ";
            out += piece;
            first = false;
        }
        start = end;
    }
    return out;
}

std::string BuildRequestHead(const RequestHeadFields& f) {
    std::string head;
    head.reserve(512 + f.cookie.size());
    head += f.method + " " + f.requestTarget + " HTTP/1.0\r\n";
    auto header = [&head](std::string_view name, std::string_view value) {
        std::string line;
        line.reserve(name.size() + 2 + value.size());
        line += name;
        line += ": ";
        line += value;
        head += FoldHeaderLine(line);
        head += "\r\n";
    };
    if (!f.viaProxy) header("Connection", "keep-alive");
    header("Cache-control", "no-cache");
    header("Pragma", "no-cache");
    if (f.viaProxy) header("Proxy-Connection", "keep-alive");
    header("Host", f.host);
    header("Accept", "*/*");
    header("Accept-Encoding", "identity");
    header("User-Agent", "Microsoft Internet Explorer 6.0");
    if (!f.byteRange.empty()) header("Range", "bytes=" + f.byteRange);
    if (!f.authorization.empty()) header("Authorization", f.authorization);
    if (!f.proxyAuthorization.empty()) header("Proxy-Authorization", f.proxyAuthorization);
    if (!f.cookie.empty()) header("Cookie", f.cookie);
    head += "\r\n";
    return head;
}
