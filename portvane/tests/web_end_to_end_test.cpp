// The web interface as a new user meets it, driven with curl: the web server with the plug-in
// it loads, the job engine and the remote-service simulator (web_fixture.h).
#include "portvane/tests/web_fixture.h"
//
#include <gtest/gtest.h>

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::write_host_file;

std::string options_text() {
    std::string name, host;
    unsigned short port = 80;
    OptionsImpl::instance()->getServerInfo(name, host, port);
    return name + "@" + host + ":" + std::to_string(port);
}

using WebEndToEnd = WebFixture;

TEST_F(WebEndToEnd, ANewUsersRoad) {
    // A fresh agent sends the browser to the server settings.
    WebReply start = get("/", {"-H", "Accept-Language: zh-cn"});
    EXPECT_EQ(start.status, 307);
    EXPECT_EQ(start.header("location"), "/serverSettings.html?locale=zh_cn");

    // Binding the simulator needs no cookie the first time, and one from then on.
    bindService();
    std::string bound = options_text();
    EXPECT_EQ(bound, "simulator@127.0.0.1:" + std::to_string(servicePort()));
    WebReply again = post("/server", R"({"host": "127.0.0.1", "port": 1})", {}, "application/json");
    EXPECT_EQ(again.status, 401);
    EXPECT_EQ(options_text(), bound);
    EXPECT_EQ(get("/server").body, R"({"host":"127.0.0.1","name":"simulator","port":)" +
                                       std::to_string(servicePort()) + "}");
    EXPECT_EQ(get("/", {"-H", "Accept-Language: zh-cn"}).header("location"),
              "/tovel.html?locale=zh_cn");

    // A password in a URL is refused before anything is sent.
    EXPECT_EQ(get("/login?username=alice&userpassword=secret").status, 403);
    EXPECT_EQ(seen("login"), 0);

    // Six wrong passwords reach the service; the seventh attempt does not.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(post("/login", "username=alice&userpassword=wrong").status, 401) << i;
    }
    EXPECT_EQ(post("/login", "username=alice&userpassword=secret").status, 403);
    EXPECT_EQ(seen("login"), 6);

    // Bob logs in; the browser's cookie is held to this site.
    WebReply in = post("/login", "username=bob&userpassword=hunter2");
    ASSERT_EQ(in.status, 200);
    EXPECT_EQ(in.header("set-cookie"), in.session() + "; HttpOnly; Path=/; SameSite=Strict");
    std::string bob = in.session();
    // Another program's cookie on 127.0.0.1 comes along and changes nothing: the hook lets the
    // session through, and the jobs handler lists bob's jobs (none).
    WebReply jobs = get("/jobs", withCookie("tracker=1; " + bob));
    EXPECT_EQ(jobs.status, 200);
    EXPECT_EQ(jobs.body, "[]");
    EXPECT_EQ(get("/jobs", withCookie("tracker=1")).status, 401);

    // The server's status, then a failing one with its body.
    WebReply status = get("/serverstatus");
    EXPECT_EQ(status.status, 200);
    EXPECT_EQ(status.body, "running");
    service()->control("POST", "faults", R"({"kind": "server_status", "action": "status",
                                            "status": 500, "body": "down", "times": 1})");
    WebReply failed = get("/serverstatus");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.body, "down");

    // Logout, then the old cookie binds nothing.
    EXPECT_EQ(get("/logout", withCookie(bob)).status, 200);
    std::vector<std::string> cookie = withCookie(bob);
    EXPECT_EQ(
        post("/server", R"({"host": "127.0.0.1", "port": 1})", cookie, "application/json").status,
        401);
    EXPECT_EQ(options_text(), bound);

    // The remote server's own web interface.
    EXPECT_EQ(get("/webui").header("location"),
              "http://127.0.0.1:" + std::to_string(servicePort()) + "/tovel/index.html");

    // Another site, a name of this machine's address that is not its own, a preflight: 403
    // and nothing a page could read.
    std::string own = "127.0.0.1:" + std::to_string(port());
    std::vector<WebReply> foreign = {
        get("/server", {"-H", "Host: evil.example:" + std::to_string(port())}),
        get("/server", {"-H", "Host: 127.0.0.1.nip.io:" + std::to_string(port())}),
        post("/server", R"({"host": "127.0.0.1", "port": 1})",
             {"-H", "Origin: http://evil.example"}, "application/json"),
        post("/login", "username=bob&userpassword=hunter2", {"-H", "Origin: http://127.0.0.1:1"}),
        curl({"-X", "OPTIONS", "-H", "Origin: http://evil.example", "-H",
              "Access-Control-Request-Method: DELETE", "/jobs/x"}),
        get("/logout", {"-H", "Sec-Fetch-Site: cross-site", "-H", "Cookie: " + bob}),
    };
    for (const WebReply& r : foreign) {
        EXPECT_EQ(r.status, 403);
        for (const auto& [name, value] : r.headers) {
            EXPECT_EQ(name.find("access-control"), std::string::npos) << name;
        }
    }
    // A link of another site still reaches the start page.
    EXPECT_EQ(get("/", {"-H", "Sec-Fetch-Site: cross-site"}).status, 307);
    EXPECT_EQ(options_text(), bound);

    // With the simulator gone: 503, and guesses still count.
    stopService();
    EXPECT_EQ(get("/serverstatus").status, 503);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(post("/login", "username=carol&userpassword=x").status, 503) << i;
    }
    EXPECT_EQ(post("/login", "username=carol&userpassword=x").status, 403);
}

TEST_F(WebEndToEnd, ABackupRunsOnTheCookieTheLoginStored) {
    std::string data = host_of(L"C:\\data");
    std::filesystem::create_directories(data + "/sub");
    write_host_file(data + "/a.txt", "alpha");
    write_host_file(data + "/sub/b.txt", std::string(200000, 'b'));
    bindService();
    std::string alice = login("alice", "secret");
    ASSERT_FALSE(alice.empty());
    submitBackup("5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4", "alice", "C:\\data");
    EXPECT_EQ(waitForEnd("5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4"), JS_COMPLETED);
    std::string instances = service()->control("GET", "instances");
    EXPECT_NE(instances.find("\"completed\""), std::string::npos) << instances;
    EXPECT_NE(instances.find("\"alice\""), std::string::npos) << instances;
    EXPECT_EQ(seen("start_job"), 1);
}

}  // namespace
}  // namespace portvane::testing
