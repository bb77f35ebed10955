// The conventions every handler shares, through the web server's request handling: the
// authorisation hook and the session cookie of a request, the forwarding of a command with
// what reaches the browser of each remote reply, the loopback test of the server settings and
// the start pages' locale.
#include "portvane/forwarding.h"
//
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

#include "job/remote/remote_requests.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "portvane/tests/handler_kit.h"
#include "tools/testkit/http_script_server.h"

namespace portvane::testing {
namespace {

using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;

CookieManagerImpl* cookies() {
    return ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

std::atomic<int> g_handled{0};

// A handler that needs a cookie: notes its call and the cookie it was given.
std::string g_seen_cookie;
void note_user(mg_connection* conn, const mg_request_info*) {
    ++g_handled;
    std::string user;
    g_seen_cookie = userFromCookie(conn, user) + "/" + user;
    reply(conn, kReply200);
}

TEST(PortvaneHook, ACookieHandlerRunsOnlyForAKnownSessionCookie) {
    ASSERT_TRUE(cookies()->saveCookie("alice", "sid=a1"));
    ASSERT_TRUE(cookies()->saveCookie("bob", "sid=b1; lang=en"));
    Portvane p({{"jobs_callback", reinterpret_cast<void*>(&note_user)}});
    struct Case {
        const char* cookie;  // null: no header
        int status;
        const char* seen;  // the session cookie and user the handler found
    } cases[] = {
        {nullptr, 401, nullptr},
        {"", 401, nullptr},
        {"sid=unknown", 401, nullptr},
        {"sid=a", 401, nullptr},
        {"sid=a1", 200, "sid=a1/alice"},
        // A cookie that another program set on this host comes along: each pair is tried.
        {"theme=dark; sid=a1", 200, "sid=a1/alice"},
        {"sid=a1; theme=dark", 200, "sid=a1/alice"},
        {"x; sid=a1", 200, "sid=a1/alice"},
        {"theme=dark;sid=a1", 401, nullptr},
        // A stored cookie of two pairs is found by the whole header first.
        {"sid=b1; lang=en", 200, "sid=b1; lang=en/bob"},
    };
    for (const Case& k : cases) {
        g_handled = 0;
        g_seen_cookie.clear();
        FakeConnection io("GET", "/jobs");
        if (k.cookie) io.add_header("Cookie", k.cookie);
        Reply r = p.ask(io);
        std::string shown = k.cookie ? k.cookie : "(none)";
        EXPECT_EQ(r.status, k.status) << shown;
        EXPECT_EQ(g_handled, k.seen ? 1 : 0) << shown;
        if (k.seen) {
            EXPECT_EQ(g_seen_cookie, k.seen) << shown;
        }
        if (k.status == 401) {
            EXPECT_EQ(r.raw, kReply401) << shown;
        }
    }
    // Handlers without a cookie and the document folder are let through.
    EXPECT_EQ(p.ask("GET", "/webui").status, 500);  // no server bound
    FakeConnection file("GET", "/tovel.html");
    EXPECT_EQ(p.ask(file).raw, "");  // left to the document folder
}

// ---- forwarding

// What the scripted server answers next, and what it was asked.
std::mutex g_script_lock;
std::string g_answer;
std::vector<std::string> g_asked;

// Answers every request of a connection (none has a body) until the client closes it.
void scripted(HttpPeer& peer) {
    for (;;) {
        std::string head = peer.read_head();
        if (head.empty()) return;
        std::string answer;
        {
            std::lock_guard<std::mutex> hold(g_script_lock);
            g_asked.push_back(head);
            answer = g_answer;
        }
        if (!peer.send(answer)) return;
    }
}

void answer_with(const std::string& reply) {
    std::lock_guard<std::mutex> hold(g_script_lock);
    g_answer = reply;
    g_asked.clear();
}

size_t asked() {
    std::lock_guard<std::mutex> hold(g_script_lock);
    return g_asked.size();
}

// Forwards the key checksum request with the browser's session cookie.
void forward_key(mg_connection* conn, const mg_request_info*) {
    std::string user;
    std::string cookie = userFromCookie(conn, user);
    if (cookie.empty()) {
        reply(conn, kReply401);
        return;
    }
    Command_To_Server<Get_MD5_of_Keys_Reqeust, Response_T<std::string>> command("get key md5");
    command.request().build(cookie);
    forwardCommand(conn, serverAddress(), command,
                   {"Forward failed, state = %d.\n", "Forward failed, status = %d.\n"});
}

// Forwards a stop request for an empty instance id, which its builder refuses.
void forward_refused(mg_connection* conn, const mg_request_info*) {
    std::string user;
    Command_To_Server<Stop_Job_Request, Response_T<std::string>> command("stop job");
    command.request().build(userFromCookie(conn, user), "");
    forwardCommand(conn, serverAddress(), command,
                   {"Forward failed, state = %d.\n", "Forward failed, status = %d.\n"});
}

// The header names of a relayed reply, in lower case.
std::set<std::string> names_of(const Reply& r) {
    std::set<std::string> out;
    for (const auto& [name, value] : r.headers) out.insert(name);
    return out;
}

TEST(PortvaneForward, WhatReachesTheBrowserOfEachRemoteReply) {
    HttpScriptServer server(scripted);
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("script", "127.0.0.1", server.port()));
    ASSERT_TRUE(cookies()->saveCookie("alice", "sid=a1"));
    Portvane p({{"key_callback", reinterpret_cast<void*>(&forward_key)},
                {"jobs_callback", reinterpret_cast<void*>(&forward_refused)}});
    const std::set<std::string> kRelayed = {"content-type", "x-content-type-options",
                                            "content-length"};
    struct Case {
        const char* name;
        std::string remote;
        int status;
        std::string reason;
        std::string body;
        std::string cookie;  // the Set-Cookie the browser gets ("" none)
    } cases[] = {
        {"201 with a body", "HTTP/1.1 201 Created\r\nContent-Length: 7\r\n\r\ncreated", 200, "OK",
         "created", ""},
        {"404 with a cookie",
         "HTTP/1.1 404 Not Found\r\nSet-Cookie: sid=n1\r\nContent-Length: 9\r\n\r\nnot there", 404,
         "Not Found", "not there", "sid=n1; HttpOnly; Path=/; SameSite=Strict"},
        {"401", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 2\r\n\r\nno", 401, "Unauthorized",
         "no", ""},
        {"302 without Location", "HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n", 500,
         "Internal Server Error", "", ""},
        {"500", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\ndown", 500,
         "Internal Server Error", "", ""},
        // Headers of the remote server stay with it: what the browser reads is this origin's
        // JSON, never a page of another's making, and its length is the de-chunked body's.
        {"text/html with foreign headers",
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nAccess-Control-Allow-Origin: *\r\n"
         "Access-Control-Allow-Credentials: true\r\nLocation: http://elsewhere/\r\n"
         "Content-Security-Policy: none\r\nX-Frame-Options: allow\r\nRefresh: 0\r\n"
         "Transfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n"
         "6\r\n<html>\r\n7\r\n</html>\r\n0\r\n\r\n",
         200, "OK", "<html></html>", ""},
        {"a rotated cookie", "HTTP/1.1 200 OK\r\nSet-Cookie: sid=a2\r\nContent-Length: 2\r\n\r\n{}",
         200, "OK", "{}", "sid=a2; HttpOnly; Path=/; SameSite=Strict"},
    };
    std::string session = "sid=a1";
    for (const Case& k : cases) {
        answer_with(k.remote);
        ASSERT_TRUE(cookies()->saveCookie("alice", session.c_str()));  // a 401 took it
        Reply r = p.ask("POST", "/key/md5", session);
        if (!k.cookie.empty()) session = k.cookie.substr(0, k.cookie.find(';'));
        EXPECT_EQ(r.status, k.status) << k.name << "\n" << r.raw;
        EXPECT_EQ(r.reason, k.reason) << k.name;
        EXPECT_EQ(r.body, k.body) << k.name;
        EXPECT_EQ(r.header("set-cookie"), k.cookie) << k.name;
        EXPECT_EQ(r.headers.count("set-cookie"), k.cookie.empty() ? 0u : 1u) << k.name;
        if (k.status != 500) {
            std::set<std::string> expected = kRelayed;
            if (!k.cookie.empty()) expected.insert("set-cookie");
            EXPECT_EQ(names_of(r), expected) << k.name << "\n" << r.raw;
            EXPECT_EQ(r.header("content-type"), "application/json") << k.name;
            EXPECT_EQ(r.header("x-content-type-options"), "nosniff") << k.name;
            EXPECT_EQ(r.header("content-length"), std::to_string(k.body.size())) << k.name;
        } else {
            EXPECT_EQ(r.raw, kReply500) << k.name;
        }
    }
    // The rotated cookie was stored for its user before the browser was given it, as the
    // service set it; the one it replaced is gone.
    std::string user;
    EXPECT_TRUE(cookies()->findUser("sid=a2", user));
    EXPECT_EQ(user, "alice");
    EXPECT_FALSE(cookies()->isCookieValid("sid=n1"));

    // Only the session cookie goes to the remote server, never another program's.
    answer_with("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(p.ask("POST", "/key/md5", "tracker=xyz; sid=a2; other=1").status, 200);
    {
        std::lock_guard<std::mutex> hold(g_script_lock);
        ASSERT_EQ(g_asked.size(), 1u);
        EXPECT_NE(g_asked[0].find("\r\nCookie: sid=a2\r\n"), std::string::npos) << g_asked[0];
        EXPECT_EQ(g_asked[0].find("tracker"), std::string::npos) << g_asked[0];
    }

    // A request that its builder refuses is never sent: 400.
    answer_with("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    int connections = server.accepted();
    EXPECT_EQ(p.ask("POST", "/jobs/stop", "sid=a2").raw, kReply400);
    EXPECT_EQ(server.accepted(), connections);
    EXPECT_EQ(asked(), 0u);

    // A reply that is no HTTP: 500; nothing listening: 503.
    answer_with("garbage\r\n\r\n");
    EXPECT_EQ(p.ask("POST", "/key/md5", "sid=a2").raw, kReply500);
    server.stop();
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("gone", "127.0.0.1",
                                                       tovel::testing::free_loopback_port()));
    EXPECT_EQ(p.ask("POST", "/key/md5", "sid=a2").raw, kReply503);
}

TEST(PortvaneForward, NoServerBoundIs503) {
    ASSERT_TRUE(cookies()->saveCookie("alice", "sid=a1"));
    Portvane p({{"key_callback", reinterpret_cast<void*>(&forward_key)}});
    EXPECT_EQ(p.ask("POST", "/key/md5", "sid=a1").raw, kReply503);
}

// ---- the loopback test of the server settings

TEST(PortvaneServerSettings, OnlyLoopbackPeersReachTheServerSettings) {
    Portvane p;
    struct Case {
        uint32_t address;
        int status;
    } cases[] = {
        {0x7F000001, 200},                     // 127.0.0.1
        {0x7FFFFFFE, 200},                     // 127.255.255.254
        {0x0A00007F, 403},                     // 10.0.0.127: the loopback byte at the wrong end
        {0xFF00007F, 403},                     // 255.0.0.127
        {0xFFFFFFFF, 403}, {0xC0A80001, 403},  // 192.168.0.1
        {0, 403},                              // not IPv4
    };
    for (const Case& k : cases) {
        for (const char* method : {"GET", "POST"}) {
            FakeConnection io(method, "/server");
            io.set_remote_ipv4(k.address);
            if (std::string(method) == "POST") io.set_body({"[]"}, 2);
            int expected = k.status == 200 && std::string(method) == "POST" ? 400 : k.status;
            EXPECT_EQ(p.ask(io).status, expected) << std::hex << k.address << " " << method;
        }
    }
}

// ---- the start pages

TEST(PortvaneStartPages, TheLocaleIsTheFirstLanguageAsSent) {
    Portvane p;
    struct Case {
        const char* language;  // null: no header
        const char* locale;
    } cases[] = {
        {nullptr, "en_US"},
        {"en-US,en;q=0.9", "en_US"},
        {"zh-cn", "zh_cn"},
        {",", "en_US"},
        {",,de-DE", "de_DE"},
        {"", "en_US"},
        {"fr-FR;q=0.8", "fr_FR;q=0.8"},
        {"pt-BR-x,en", "pt_BR_x"},
    };
    for (const Case& k : cases) {
        for (const char* uri : {"/", "/serversettings"}) {
            FakeConnection io("GET", uri);
            if (k.language) io.add_header("Accept-Language", k.language);
            Reply r = p.ask(io);
            EXPECT_EQ(r.status, 307) << uri;
            EXPECT_EQ(r.header("location"), std::string("/serverSettings.html?locale=") + k.locale)
                << (k.language ? k.language : "(none)");
        }
    }
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("s", "10.0.0.5", 8080));
    FakeConnection io("GET", "/");
    io.add_header("Accept-Language", "zh-cn");
    EXPECT_EQ(p.ask(io).header("location"), "/tovel.html?locale=zh_cn");
    FakeConnection settings("GET", "/serversettings");
    EXPECT_EQ(p.ask(settings).header("location"), "/serverSettings.html?locale=en_US");
}

}  // namespace
}  // namespace portvane::testing
