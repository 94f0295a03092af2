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

namespace {

// Writes a head in one piece: the request line, header lines folded past
// the limit, and the empty line that ends it.
class HeadWriter {
public:
    HeadWriter(std::string_view method, std::string_view target, std::size_t reserve) {
        head_.reserve(reserve);
        head_ += method;
        head_ += ' ';
        head_ += target;
        head_ += " HTTP/1.0\r\n";
    }
    void Header(std::string_view name, std::string_view value) {
        std::string line;
        line.reserve(name.size() + 2 + value.size());
        line += name;
        line += ": ";
        line += value;
        head_ += FoldHeaderLine(line);
        head_ += "\r\n";
    }
    std::string Finish() {
        head_ += "\r\n";
        return std::move(head_);
    }

private:
    std::string head_;
};

constexpr std::string_view kUserAgent = "Microsoft Internet Explorer 6.0";

} // namespace

std::string BuildRequestHead(const RequestHeadFields& f) {
    HeadWriter head(f.method, f.requestTarget, 512 + f.cookie.size());
    if (!f.viaProxy) head.Header("Connection", "keep-alive");
    head.Header("Cache-control", "no-cache");
    head.Header("Pragma", "no-cache");
    if (f.viaProxy) head.Header("Proxy-Connection", "keep-alive");
    head.Header("Host", f.host);
    head.Header("Accept", "*/*");
    head.Header("Accept-Encoding", "identity");
    head.Header("User-Agent", kUserAgent);
    if (!f.byteRange.empty()) head.Header("Range", "bytes=" + f.byteRange);
    if (!f.authorization.empty()) head.Header("Authorization", f.authorization);
    if (!f.proxyAuthorization.empty()) head.Header("Proxy-Authorization", f.proxyAuthorization);
    if (!f.cookie.empty()) head.Header("Cookie", f.cookie);
    return head.Finish();
}

std::string BuildConnectHead(const std::string& authority, const std::string& proxyAuthorization) {
    HeadWriter head("CONNECT", authority, 256 + proxyAuthorization.size());
    head.Header("Host", authority);
    head.Header("Proxy-Connection", "keep-alive");
    head.Header("User-Agent", kUserAgent);
    if (!proxyAuthorization.empty()) head.Header("Proxy-Authorization", proxyAuthorization);
    return head.Finish();
}
