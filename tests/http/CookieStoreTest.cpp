// Set-Cookie values and the store on their own, without a connection.

#include "http/CookieStore.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kNow = 1700000000;

TEST(SetCookie, NameValueAndAttributes) {
    const Cookie c =
        ParseSetCookie(" sid = a=b ; Path=\"/x/\" ; DOMAIN=.Example.COM; Secure; HttpOnly",
                       "www.example.com", kNow);
    EXPECT_EQ(c.name, "sid ");
    EXPECT_EQ(c.value, " a=b");
    EXPECT_EQ(c.path, "/x/");
    EXPECT_EQ(c.domain, "example.com");
    EXPECT_TRUE(c.secure);
    EXPECT_EQ(c.expires, std::nullopt);
}

TEST(SetCookie, Defaults) {
    const Cookie c = ParseSetCookie("id=7; path=; domain=", "Host.Example", kNow);
    EXPECT_EQ(c.name, "id");
    EXPECT_EQ(c.value, "7");
    EXPECT_EQ(c.path, "/");
    EXPECT_EQ(c.domain, "host.example");
    EXPECT_FALSE(c.secure);
    const Cookie bare = ParseSetCookie("flag", "h", kNow);
    EXPECT_EQ(bare.name, "flag");
    EXPECT_EQ(bare.value, "");
}

TEST(SetCookie, Expiry) {
    struct Case {
        const char* value;
        std::optional<std::int64_t> expires;
    };
    const Case cases[] = {
        {"a=1; max-age=60", kNow + 60},
        {"a=1; Max-Age=0", kNow},
        {"a=1; max-age=-5", std::nullopt},
        {"a=1; max-age=soon", std::nullopt},
        {"a=1; max-age=99999999999999999999999", kNow + (std::int64_t{1} << 40)},
        {"a=1; expires=Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"a=1; expires=Sun, 06 Nov 1994 08:49:37 GMT; max-age=60", 784111777},
        {"a=1; max-age=60; expires=Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
        // An "expires" that cannot be read still rules max-age out.
        {"a=1; expires=whenever; max-age=60", std::nullopt},
        {"a=1; max-age=60; expires=whenever", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseSetCookie(c.value, "h", kNow).expires, c.expires) << c.value;
}

TEST(CookieDomains, Matching) {
    struct Case {
        const char* host;
        const char* domain;
        bool matches;
    };
    const Case cases[] = {
        {"example.com", "example.com", true},
        {"Example.COM", ".example.com", true},
        {"www.example.com", "example.com", true},
        {"www.example.com", ".example.com", true},
        {"a.b.example.com", "example.com", true},
        {"badexample.com", "example.com", false},
        {"a.com.evil.net", "a.com", false},
        {"example.com", "www.example.com", false},
        {"www.example.com", "com", false},
        {"localhost", "localhost", true},
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "0.0.1", false},
        {"127.0.0.1", "0.1", false},
        {"example.com", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DomainMatches(c.host, c.domain), c.matches) << c.host << " / " << c.domain;
}

TEST(CookieStore, ListOrderAndFilters) {
    CookieStore store;
    store.TakeHeaders({"Set-Cookie: a=1; domain=shop.example", "Set-Cookie: b=2",
                       "set-cookie2: s=3; secure", "SET-COOKIE: e=", "X-Set-Cookie: x=1",
                       "Set-Cookie: p=4; path=/deep/"},
                      "www.shop.example", true, kNow);
    store.TakeHeaders({"Set-Cookie: c=5; domain=shop.example"}, "other.shop.example", false, kNow);
    EXPECT_EQ(store.CookieList("www.shop.example", "/"), "b=2; a=1; c=5");
    EXPECT_EQ(store.CookieList("www.shop.example", "/deep/er/"), "b=2; p=4; a=1; c=5");
    EXPECT_EQ(store.CookieList("other.shop.example", "/"), "a=1; c=5");
    EXPECT_EQ(store.CookieList("shop.example.evil", "/"), "");
    EXPECT_EQ(store.All().size(), 6u);
}

TEST(CookieStore, ExpiryAndReturningDomains) {
    CookieStore store;
    store.TakeHeaders({"Set-Cookie: old=1; max-age=10"}, "first.example", false, kNow);
    store.TakeHeaders({"Set-Cookie: x=1"}, "www.second.example", false, kNow);
    store.TakeHeaders({"Set-Cookie: y=2; domain=second.example"}, "www.second.example", false,
                      kNow);
    EXPECT_EQ(store.CookieList("www.second.example", "/"), "y=2; x=1");
    store.RemoveExpired(kNow + 9);
    EXPECT_EQ(store.All().size(), 3u);
    store.RemoveExpired(kNow + 10);
    EXPECT_EQ(store.All().size(), 2u);
    // first.example lost its only cookie; when it comes back it is the newest domain.
    store.TakeHeaders({"Set-Cookie: new=1"}, "first.example", false, kNow);
    EXPECT_EQ(store.All().back().name, "new");
}

TEST(CookieStore, SetCookieAndSetCookie2InTheOrderReceived) {
    CookieStore store;
    store.TakeHeaders({"Set-Cookie2: id=old", "Set-Cookie: id=new", "Set-Cookie2: v2=1",
                       "Set-Cookie: id2=a;", " path=/deep/", "Set-cookie2: id2=b"},
                      "h.example", false, kNow);
    EXPECT_EQ(store.CookieList("h.example", "/deep/"), "id=new; v2=1; id2=b");
}

TEST(CookieStore, CapsDropTheOldestFirst) {
    struct Case {
        const char* what;
        int domains, perDomain;
        std::size_t kept;
        std::string firstKept; // of the domain "d0.example"
    };
    const Case cases[] = {
        {"50 of one domain fit", 1, 50, 50, "c0"},
        {"the 51st of a domain drops its oldest", 1, 51, 50, "c1"},
        {"1000 in all fit", 20, 50, 1000, "c0"},
        {"beyond 1000 in all the oldest anywhere goes", 21, 50, 1000, ""},
    };
    for (const Case& c : cases) {
        CookieStore store;
        for (int d = 0; d < c.domains; ++d)
            for (int k = 0; k < c.perDomain; ++k)
                store.TakeHeaders({"Set-Cookie: c" + std::to_string(k) + "=1"},
                                  "d" + std::to_string(d) + ".example", false, kNow);
        EXPECT_EQ(store.All().size(), c.kept) << c.what;
        const std::string first = store.CookieList("d0.example", "/");
        EXPECT_EQ(first.substr(0, first.find('=')), c.firstKept) << c.what;
    }

    // A replaced cookie is set anew and is no longer the oldest.
    CookieStore store;
    for (int k = 0; k < 50; ++k)
        store.TakeHeaders({"Set-Cookie: c" + std::to_string(k) + "=1"}, "h.example", false, kNow);
    store.TakeHeaders({"Set-Cookie: c0=2", "Set-Cookie: extra=1"}, "h.example", false, kNow);
    const std::string list = store.CookieList("h.example", "/");
    EXPECT_EQ(list.substr(0, 10), "c0=2; c2=1") << list;

    // 4 KiB of name and value in all; one byte more is not stored.
    const std::string name = "big", value(CookieStore::kMaxCookieBytes - name.size(), 'v');
    store.TakeHeaders({"Set-Cookie: " + name + "=" + value, "Set-Cookie: huge=" + value},
                      "big.example", false, kNow);
    EXPECT_EQ(store.CookieList("big.example", "/"), name + "=" + value);
}

TEST(CookieStore, ReplacementIgnoresLetterCase) {
    CookieStore store;
    store.TakeHeaders({"Set-Cookie: Id=1", "Set-Cookie: other=2"}, "h.example", false, kNow);
    store.TakeHeaders({"Set-Cookie: ID=3; domain=H.EXAMPLE"}, "h.example", false, kNow);
    EXPECT_EQ(store.CookieList("h.example", "/"), "ID=3; other=2");
}

TEST(CookieStore, OnlyAnHttpsAnswerSetsOrReplacesASecureCookie) {
    struct Case {
        const char* what;
        const char* first;
        bool firstOverHttps;
        const char* second;
        bool secondOverHttps;
        const char* sentOverHttps;
    };
    const Case cases[] = {
        {"secure over https is kept", "s=1; secure", true, nullptr, false, "s=1"},
        {"secure over http is dropped", "s=1; secure", false, nullptr, false, ""},
        {"http cannot replace a secure one", "s=1; secure", true, "s=2", false, "s=1"},
        {"http cannot replace it with a secure one", "s=1; secure", true, "S=2; secure", false,
         "s=1"},
        {"https replaces a secure one", "s=1; secure", true, "s=2", true, "s=2"},
        {"http replaces a plain one", "s=1", false, "s=2", false, "s=2"},
    };
    for (const Case& c : cases) {
        CookieStore store;
        store.TakeHeaders({std::string("Set-Cookie: ") + c.first}, "h.example", c.firstOverHttps,
                          kNow);
        if (c.second)
            store.TakeHeaders({std::string("Set-Cookie: ") + c.second}, "h.example",
                              c.secondOverHttps, kNow);
        EXPECT_EQ(store.CookieList("h.example", "/", true), c.sentOverHttps) << c.what;
    }
}

} // namespace
