// The client against a real nginx serving byte ranges, directly and through
// a real tinyproxy, all on loopback ports of their own.

#include "BodyCollect.h"
#include "support/NginxServer.h"
#include "support/TempDir.h"
#include "support/TinyProxy.h"

#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr std::size_t kFileSize = 1 << 20;

class HttpRealServers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        files_ = new TempDir;
        std::mt19937 random(20240611);
        content_ = new std::string(kFileSize, '\0');
        for (char& c : *content_)
            c = static_cast<char>(random());
        WriteWholeFile(files_->file("file.bin"), *content_);
    }
    static void TearDownTestSuite() {
        delete content_;
        delete files_;
    }
    static const std::string& Content() { return *content_; }
    static std::string Folder() { return files_->path(); }

private:
    static TempDir* files_;
    static std::string* content_;
};

TempDir* HttpRealServers::files_ = nullptr;
std::string* HttpRealServers::content_ = nullptr;

TEST_F(HttpRealServers, ProbeAnswersPartialContentWithTheFileSize) {
    NginxServer nginx(Folder());
    HttpClient client;
    client.ByteRange = "0-";
    client.Probe(nginx.url("/file.bin"));
    EXPECT_EQ(client.StatusLine(), "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(client.HeaderValue("Content-Length"), std::to_string(kFileSize));
    EXPECT_EQ(client.HeaderValue("Content-Range"),
              "bytes 0-" + std::to_string(kFileSize - 1) + "/" + std::to_string(kFileSize));
}

TEST_F(HttpRealServers, RangesArriveExactlyOverOneKeptConnection) {
    NginxServer nginx(Folder());
    HttpClient client;
    client.ByteRange = "0-";
    client.Probe(nginx.url("/file.bin"));
    const std::pair<std::size_t, std::size_t> ranges[] = {
        {1000, 2000}, {0, 0}, {kFileSize - 10, kFileSize - 1}, {4096, 4096 + 300000}};
    for (const auto& [begin, end] : ranges) {
        client.ByteRange = std::to_string(begin) + "-" + std::to_string(end);
        std::string body;
        FetchInto(client, nginx.url("/file.bin"), body);
        EXPECT_EQ(client.StatusCode(), 206);
        ASSERT_EQ(body.size(), end - begin + 1);
        EXPECT_TRUE(body == Content().substr(begin, end - begin + 1)) << client.ByteRange;
    }
    EXPECT_EQ(client.ConnectionsOpened(), 1);
    const auto logged = nginx.loggedRequests(5);
    ASSERT_EQ(logged.size(), 5u) << nginx.errorLog();
    EXPECT_EQ(logged[0].requestLine, "HEAD /file.bin HTTP/1.0");
    EXPECT_EQ(logged[1].requestLine, "GET /file.bin HTTP/1.0");
    EXPECT_EQ(logged[1].status, 206);
    EXPECT_EQ(logged[1].bodyBytes, 1001);
    EXPECT_EQ(nginx.connectionCount(5), 1);
}

TEST_F(HttpRealServers, WholeFileAndMissingFile) {
    NginxServer nginx(Folder());
    HttpClient client;
    std::string body;
    FetchInto(client, nginx.url("/file.bin"), body);
    EXPECT_EQ(client.StatusCode(), 200);
    EXPECT_TRUE(body == Content());
    try {
        FetchInto(client, nginx.url("/missing.bin"), body);
        ADD_FAILURE() << "a missing file was served";
    } catch (const HttpFailure& failure) {
        EXPECT_EQ(failure.Kind(), HttpFailureKind::Status);
        EXPECT_EQ(failure.Code(), 404);
        EXPECT_NE(failure.Body().find("404"), std::string::npos);
    }
    // nginx keeps the connection after its 404 page, and so does the client.
    client.ByteRange = "5-9";
    body.clear();
    FetchInto(client, nginx.url("/file.bin"), body);
    EXPECT_EQ(body, Content().substr(5, 5));
    EXPECT_EQ(client.ConnectionsOpened(), 1);
}

TEST_F(HttpRealServers, UnsatisfiableRangeIsAStatusError) {
    NginxServer nginx(Folder());
    HttpClient client;
    client.ByteRange = std::to_string(kFileSize + 10) + "-" + std::to_string(kFileSize + 20);
    std::string body;
    try {
        FetchInto(client, nginx.url("/file.bin"), body);
        ADD_FAILURE() << "an unsatisfiable range was served";
    } catch (const HttpFailure& failure) {
        EXPECT_EQ(failure.Kind(), HttpFailureKind::Status);
        EXPECT_EQ(std::string(failure.what()), "HTTP/1.1 416 Requested Range Not Satisfiable");
    }
    EXPECT_EQ(body, "");
}

TEST_F(HttpRealServers, ThroughTinyproxy) {
    NginxServer nginx(Folder());
    TinyProxy proxy;
    HttpClient client;
    client.ProxyServer = proxy.host();
    client.ProxyPort = proxy.port();
    client.ByteRange = "0-";
    client.Probe(nginx.url("/file.bin"));
    EXPECT_NE(client.StatusLine().find("206 Partial Content"), std::string::npos) << proxy.log();
    EXPECT_EQ(client.HeaderValue("Content-Length"), std::to_string(kFileSize));

    client.ByteRange = "1000-2000";
    std::string body;
    FetchInto(client, nginx.url("/file.bin"), body);
    ASSERT_EQ(body.size(), 1001u);
    EXPECT_TRUE(body == Content().substr(1000, 1001));

    client.ByteRange = "0-" + std::to_string(kFileSize - 1);
    body.clear();
    FetchInto(client, nginx.url("/file.bin"), body);
    EXPECT_TRUE(body == Content());

    const auto logged = nginx.loggedRequests(3);
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[1].requestLine.substr(0, 14), "GET /file.bin ");
}

} // namespace
