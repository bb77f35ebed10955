// What the web interface refuses, end to end (web_fixture.h, with curl and raw sockets from
// 127.0.0.1): bodies that are cut short or too long, names of another server in Host, and
// redirects of the remote service that would take a password or a session cookie elsewhere.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "portvane/tests/live_stream.h"
#include "tools/testkit/http_script_server.h"

namespace {

using portvane::testing::WebReply;
using portvane_tests::RawClient;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;

// A backup job that runs at once, in 150 bytes.
std::string definition() {
    const std::string start = R"({"type":"backup","source":["C:/t"],"schedule":{"type":"once"},)"
                              R"("name":"Cut short)";
    return start + std::string(150 - start.size() - 2, '.') + "\"}";
}

class WebRefusals : public portvane_tests::LiveServer {
protected:
    std::string head(const std::string& line, const std::string& cookie, long long length) {
        return line + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) +
               "\r\nCookie: " + cookie +
               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
               "\r\n\r\n";
    }
    // What the user's GET /jobs lists.
    std::string listed(const std::string& cookie) { return get("/jobs", withCookie(cookie)).body; }
};

// A definition that announces 10 MB and sends 150 bytes creates nothing, whether the client
// closes or stalls until the server's time-out; one over 16 MiB is refused at once and the
// server reads none of it. The complete request still works.
TEST_F(WebRefusals, ABodyCutShortOrTooLongCreatesNoJob) {
    bindService();
    std::string cookie = login("alice", "secret");
    ASSERT_FALSE(cookie.empty());
    std::string body = definition();
    ASSERT_EQ(body.size(), 150u);
    {
        RawClient closing(port());
        ASSERT_TRUE(closing.send(head("POST /jobs", cookie, 10 << 20) + body));
        closing.close_writing();
        std::string reply;
        EXPECT_TRUE(closing.read_to_end(reply));
        EXPECT_TRUE(reply.rfind("HTTP/1.1 400 ", 0) == 0 || reply.rfind("HTTP/1.1 408 ", 0) == 0)
            << reply;
    }
    {
        RawClient stalling(port());
        ASSERT_TRUE(stalling.send(head("POST /jobs", cookie, 10 << 20) + body));
        std::string reply;
        EXPECT_TRUE(stalling.read_to_end(reply));  // the server's time-out, within the client's
        EXPECT_TRUE(reply.rfind("HTTP/1.1 400 ", 0) == 0 || reply.rfind("HTTP/1.1 408 ", 0) == 0)
            << reply;
    }
    EXPECT_EQ(listed(cookie), "[]");
    int held = 0;
    manager_->jobs([&](const Job&) { ++held; });
    EXPECT_EQ(held, 0);

    // 17 MiB announced: 413 and the end of the connection; a client that goes on sending finds
    // it closed long before its body is through.
    RawClient big(port());
    ASSERT_TRUE(big.send(head("POST /jobs", cookie, 17 << 20)));
    std::string reply;
    ASSERT_TRUE(big.read_until(reply, 12));
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 413");
    std::string block(1 << 20, ' ');
    int sent = 0;
    while (sent < 17 && big.send(block)) ++sent;
    std::printf("[ web ] after the 413, %d of 17 MiB could be sent\n", sent);
    EXPECT_LT(sent, 17);

    // Without a session the body is not even read: 401 and the end.
    RawClient stranger(port());
    ASSERT_TRUE(stranger.send(head("POST /jobs", "sid=unknown", 10 << 20)));
    reply.clear();
    ASSERT_TRUE(stranger.read_until(reply, 12));
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 401");
    sent = 0;
    while (sent < 10 && stranger.send(block)) ++sent;
    EXPECT_LT(sent, 10);
    EXPECT_EQ(listed(cookie), "[]");

    RawClient whole(port());
    ASSERT_TRUE(whole.send(head("POST /jobs", cookie, static_cast<long long>(body.size())) + body));
    reply.clear();
    EXPECT_TRUE(whole.read_to_end(reply));
    EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK") << reply;
    EXPECT_NE(listed(cookie), "[]");
}

// From 127.0.0.1 itself, a request that names another server in its Host header (a name that a
// page's DNS made resolve here, another address, another port) reaches nothing.
TEST_F(WebRefusals, AForgedHostReachesNothing) {
    bindService();
    std::string cookie = login("alice", "secret");
    ASSERT_FALSE(cookie.empty());
    std::string p = std::to_string(port());
    for (const std::string& host : {"evil.example:" + p, "192.0.2.2:" + p, "10.0.0.1:" + p,
                                    "127.0.0.1:" + std::to_string(port() + 1), "0.0.0.0:" + p}) {
        for (const char* line : {"GET /jobs", "GET /logout", "GET /jobs/x/start", "GET /"}) {
            RawClient c(port());
            ASSERT_TRUE(c.send(std::string(line) + " HTTP/1.1\r\nHost: " + host +
                               "\r\nCookie: " + cookie + "\r\n\r\n"));
            std::string reply;
            EXPECT_TRUE(c.read_to_end(reply));
            EXPECT_EQ(reply.substr(0, 22), "HTTP/1.1 403 Forbidden") << host << " " << line;
        }
    }
    // The session is still there.
    EXPECT_EQ(get("/jobs", withCookie(cookie)).status, 200);
}

// The remote service answers the login with a 307 to another port: the agent does not send the
// password there, and the browser gets the 307. A command on the session cookie that the remote
// service sends elsewhere does not go either. Nothing connects to the port named.
TEST_F(WebRefusals, NoPasswordOrCookieFollowsARedirectElsewhere) {
    std::atomic<int> heads{0};
    HttpScriptServer elsewhere([&](HttpPeer& peer) {
        while (!peer.read_head().empty()) {
            ++heads;
            peer.send("HTTP/1.1 200 OK\r\nSet-Cookie: sid=taken\r\nContent-Length: 2\r\n\r\n{}");
        }
    });
    ASSERT_TRUE(elsewhere.listening());
    std::string there = "http://127.0.0.1:" + std::to_string(elsewhere.port());
    bindService();
    service()->control("POST", "faults",
                       R"({"kind":"login","action":"redirect","status":307,"times":1,)"
                       R"("location":")" +
                           there + R"(/tovel/WebServer/CommonInterface/Login.php"})");
    WebReply moved = post("/login", "username=alice&userpassword=secret");
    EXPECT_EQ(moved.status, 307) << moved.body;
    EXPECT_EQ(moved.reason, "Temporary Redirect");
    EXPECT_FALSE(moved.has("set-cookie"));
    EXPECT_EQ(seen("login"), 1);

    // Nothing was kept of it: the next login goes to the service again.
    std::string cookie = login("alice", "secret");
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(seen("login"), 2);

    service()->control("POST", "faults",
                       R"({"kind":"user_info","action":"redirect","status":302,"times":1,)"
                       R"("location":")" +
                           there + R"(/tovel/WebServer/UserInfo.php"})");
    EXPECT_EQ(get("/userinfo", withCookie(cookie)).status, 302);  // relayed as it came
    EXPECT_EQ(get("/userinfo", withCookie(cookie)).status, 200);
    EXPECT_EQ(elsewhere.accepted(), 0);
    EXPECT_EQ(heads, 0);
}

}  // namespace
