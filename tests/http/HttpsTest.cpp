// The client over TLS: real nginx with certificates of the tests' own
// authority, tinyproxy's CONNECT tunnel, and TLS in front of the scripted
// server for exact bytes and for peers that misbehave.

#include "BodyCollect.h"
#include "HoleyFile.h"
#include "NginxServer.h"
#include "ScriptedServer.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TinyProxy.h"
#include "TlsFront.h"

#include "http/HttpClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <memory>

namespace {

using Reply = ScriptedServer::Reply;
using namespace std::chrono_literals;

const std::string kPartial = "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n"
                             "Connection: keep-alive\r\n\r\nhello";

TEST(Https, RequestsGoOverOneKeptConnectionWithThePlainHeadsAndSecureCookies) {
    ScriptedServer server;
    server.addConnection({Reply::Keep("HTTP/1.1 206 Partial Content\r\nContent-Length: 1000\r\n"
                                      "Set-Cookie: s=1; secure\r\nConnection: keep-alive\r\n\r\n"),
                          Reply::Keep(kPartial)});
    TlsFront front(server.port());
    HttpClient client;
    client.ByteRange = "0-";
    client.Probe(front.url("/d/f.bin"));
    EXPECT_EQ(client.HeaderValue("Content-Length"), "1000");
    client.ByteRange = "10-14";
    std::string body;
    FetchInto(client, front.url("/d/f.bin"), body);
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(client.ConnectionsOpened(), 1);
    ASSERT_TRUE(server.waitForRequests(2));
    const std::string host = "127.0.0.1:" + std::to_string(front.port());
    EXPECT_EQ(server.requests()[1].head,
              "GET /d/f.bin HTTP/1.0\r\nConnection: keep-alive\r\nCache-control: no-cache\r\n"
              "Pragma: no-cache\r\nHost: " +
                  host +
                  "\r\nAccept: */*\r\n"
                  "Accept-Encoding: identity\r\nUser-Agent: Microsoft Internet Explorer 6.0\r\n"
                  "Range: bytes=10-14\r\nCookie: s=1\r\n\r\n");
}

TEST(Https, ABodyCutOffWithoutTheCloseMessageIsShortNotComplete) {
    for (const bool closeMessage : {true, false}) {
        ScriptedServer server;
        // No Content-Length: the body runs until the server closes.
        server.addConnection({Reply::AnswerAndClose("HTTP/1.1 206 Partial Content\r\n\r\nhello")});
        TlsFront front(server.port(), closeMessage);
        HttpClient client;
        std::string body;
        try {
            FetchInto(client, front.url("/f"), body);
            EXPECT_TRUE(closeMessage) << "a cut-off body was taken as complete";
        } catch (const HttpFailure& failure) {
            EXPECT_FALSE(closeMessage) << failure.what();
            EXPECT_EQ(failure.Kind(), HttpFailureKind::ClosedConnection);
        }
        EXPECT_EQ(body, "hello");
    }
}

TEST(Https, NginxServesRangesDirectlyAndThroughTinyproxysTunnel) {
    TempDir served;
    const std::string content = RandomBytes(300000, 11);
    WriteWholeFile(served.file("f.bin"), content);
    const TestCertificates::Pair pair =
        TestCertificates::Signed("localhost", "DNS:localhost,IP:127.0.0.1");
    NginxServer nginx(served.path(), pair.certificate, pair.key);
    TinyProxy proxy;
    for (const bool viaProxy : {false, true}) {
        SCOPED_TRACE(viaProxy ? "through tinyproxy" : "direct");
        HttpClient client;
        if (viaProxy) {
            client.ProxyServer = proxy.host();
            client.ProxyPort = proxy.port();
        }
        client.ByteRange = "0-";
        client.Probe(nginx.url("/f.bin"));
        EXPECT_EQ(client.StatusCode(), 206);
        EXPECT_EQ(client.HeaderValue("Content-Length"), "300000");
        // Directly, another name (the certificate's too) is another
        // connection, each one kept; a proxy need not know "localhost", so
        // the tunnel keeps the address.
        const std::string host = viaProxy ? "127.0.0.1" : "localhost";
        for (const auto& [begin, end] : {std::pair{0, 99999}, std::pair{150000, 299999}}) {
            client.ByteRange = std::to_string(begin) + "-" + std::to_string(end);
            std::string body;
            FetchInto(client, "https://" + host + ":" + std::to_string(nginx.port()) + "/f.bin",
                      body);
            EXPECT_EQ(body, content.substr(begin, end - begin + 1));
        }
        EXPECT_EQ(client.ConnectionsOpened(), viaProxy ? 1 : 2);
    }
    EXPECT_NE(proxy.log().find("CONNECT"), std::string::npos) << proxy.log();
}

TEST(Https, TheTunnelIsAskedForWithTheProxysCredentialsAndNothingElse) {
    ScriptedServer proxy;
    proxy.addConnection(
        {Reply::AnswerAndClose("HTTP/1.0 407 Proxy Authentication Required\r\n\r\n")});
    HttpClient client;
    client.ProxyServer = "127.0.0.1";
    client.ProxyPort = proxy.port();
    client.ProxyUser = "pu";
    client.ProxyPass = "pp";
    client.UserName = "u"; // the server's, never the proxy's to see
    client.Password = "p";
    client.ByteRange = "0-";
    EXPECT_THROW(client.Probe("https://files.example/d/f.bin?x=1"), HttpFailure);
    ASSERT_TRUE(proxy.waitForRequests(1));
    EXPECT_EQ(proxy.requests()[0].head,
              "CONNECT files.example:443 HTTP/1.0\r\nHost: files.example:443\r\n"
              "Proxy-Connection: keep-alive\r\nUser-Agent: Microsoft Internet Explorer 6.0\r\n"
              "Proxy-Authorization: Basic cHU6cHA=\r\n\r\n");
}

// A server that misbehaves, and the failure the client reports.
struct Refusal {
    std::string name;
    std::function<std::string(std::vector<std::shared_ptr<void>>& keep, HttpClient& client)> setUp;
    HttpFailureKind kind;
    std::string message; // the start of it
};

std::shared_ptr<NginxServer> Nginx(const TempDir& served, const TestCertificates::Pair& pair) {
    return std::make_shared<NginxServer>(served.path(), pair.certificate, pair.key);
}

TEST(Https, CertificatesThatFailAndPeersThatDoNotSpeakTlsEndTheRequest) {
    TempDir served;
    WriteWholeFile(served.file("f.bin"), "0123456789");
    // A chain of several megabytes: the server's certificate followed by its
    // authority's, over and over.
    const TestCertificates::Pair good =
        TestCertificates::Signed("localhost", "DNS:localhost,IP:127.0.0.1");
    const std::string authority = ReadWholeFile(TestCertificates::AuthorityFile());
    std::string chain = ReadWholeFile(good.certificate);
    while (chain.size() < 3u << 20)
        chain += authority;
    WriteWholeFile(served.file("chain.pem"), chain);

    const std::vector<Refusal> refusals = {
        {"self-signed",
         [&](auto& keep, HttpClient&) {
             auto nginx = Nginx(served, TestCertificates::SelfSigned("localhost", "DNS:localhost"));
             keep.push_back(nginx);
             return "https://localhost:" + std::to_string(nginx->port()) + "/f.bin";
         },
         HttpFailureKind::Tls,
         "The certificate of localhost is not trusted (self-signed certificate)."},
        {"another name",
         [&](auto& keep, HttpClient&) {
             auto nginx =
                 Nginx(served, TestCertificates::Signed("files.example", "DNS:files.example"));
             keep.push_back(nginx);
             return nginx->url("/f.bin");
         },
         HttpFailureKind::Tls, "The certificate is for files.example, not for 127.0.0.1."},
        {"a chain of megabytes",
         [&](auto& keep, HttpClient&) {
             auto nginx = Nginx(served, {served.file("chain.pem"), good.key});
             keep.push_back(nginx);
             return nginx->url("/f.bin");
         },
         HttpFailureKind::Tls,
         "The secure connection to 127.0.0.1 failed (excessive message size)"},
        {"plain http on the port",
         [&](auto& keep, HttpClient&) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply{"HTTP/1.0 400 Bad Request\r\n\r\nplain text here\r\n",
                                          Reply::Then::Close,
                                          0,
                                          {},
                                          false}});
             keep.push_back(server);
             return "https://127.0.0.1:" + std::to_string(server->port()) + "/f.bin";
         },
         HttpFailureKind::Tls, "The secure connection to 127.0.0.1 failed ("},
        {"silent in the handshake",
         [&](auto& keep, HttpClient& client) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply{{}, Reply::Then::Stall, 0, {}, false}});
             keep.push_back(server);
             client.SetReadTimeout(300ms);
             return "https://127.0.0.1:" + std::to_string(server->port()) + "/f.bin";
         },
         HttpFailureKind::Socket, "Socket Error # 10060\r\nConnection timed out."},
        // A close in the handshake is a dropped connection, tried again like
        // a reset.
        {"closed in the handshake",
         [&](auto& keep, HttpClient&) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply{{}, Reply::Then::Shut, 0, {}, false}});
             keep.push_back(server);
             return "https://127.0.0.1:" + std::to_string(server->port()) + "/f.bin";
         },
         HttpFailureKind::ClosedConnection,
         "The server 127.0.0.1 closed the connection during the TLS handshake."},
        // A name the name check refuses to take would let any certificate pass.
        {"a name the check cannot take",
         [&](auto& keep, HttpClient& client) {
             auto server = std::make_shared<ScriptedServer>();
             server->addConnection({Reply{{}, Reply::Then::Stall, 0, {}, false}});
             keep.push_back(server);
             client.SetResolver([](const std::string&, in_addr& address) {
                 address.s_addr = htonl(INADDR_LOOPBACK);
                 return 0;
             });
             return "https://bad" + std::string(1, '\0') +
                    "name:" + std::to_string(server->port()) + "/f.bin";
         },
         HttpFailureKind::Tls, "The certificate cannot be checked against the name bad?name."},
        {"a proxy that refuses the tunnel",
         [&](auto& keep, HttpClient& client) {
             auto proxy = std::make_shared<ScriptedServer>();
             proxy->addConnection({Reply::AnswerAndClose("HTTP/1.0 403 Forbidden\r\n\r\n")});
             keep.push_back(proxy);
             client.ProxyServer = "127.0.0.1";
             client.ProxyPort = proxy->port();
             return std::string("https://files.example/f.bin");
         },
         HttpFailureKind::Status, "HTTP/1.0 403 Forbidden"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        std::vector<std::shared_ptr<void>> keep;
        HttpClient client;
        const std::string url = r.setUp(keep, client);
        try {
            client.Probe(url);
            ADD_FAILURE() << "the request went through";
        } catch (const HttpFailure& failure) {
            EXPECT_EQ(failure.Kind(), r.kind);
            EXPECT_EQ(std::string(failure.what()).substr(0, r.message.size()), r.message)
                << failure.what();
        }
    }
}

} // namespace
