// Login and logout through the web server's request handling against the remote-service
// simulator, and the login throttle on a clock the test holds.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "job/stores/password_manager.h"
#include "portvane/conventions.h"
#include "portvane/login_restrictions.h"
#include "portvane/tests/handler_kit.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/remote_service.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::RemoteService;

std::atomic<int64_t> g_now{1000000};
int64_t test_clock() { return g_now.load(); }

CookieManagerImpl* cookies() {
    return ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}
PasswordManagerImpl* passwords() {
    return ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

class PortvaneLogin : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1000000;
        LoginRestrictions::instance()->clock(&test_clock);
        start_service();
    }
    void TearDown() override { LoginRestrictions::instance()->clock(nullptr); }

    void start_service() {
        service_ = std::make_unique<RemoteService>(
            std::vector<std::string>{"--account", "alice:secret", "--account", "bob:hunter2"});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
    }

    Reply login(const std::string& user, const std::string& password) {
        return p_.post("/login", "username=" + user + "&userpassword=" + password);
    }
    // The requests of a kind that the simulator saw.
    int seen(const char* kind) {
        return std::stoi(
            python_with_input("import json, sys\nprint(len(json.load(sys.stdin)['requests']))",
                              service_->control("GET", std::string("requests?kind=") + kind)));
    }
    std::string field_of_last(const char* kind, const std::string& expression) {
        return python_with_input(
            "import json, sys\nr = json.load(sys.stdin)['requests'][-1]\n"
            "print(" +
                expression + ", end='')",
            service_->control("GET", std::string("requests?kind=") + kind));
    }

    std::unique_ptr<RemoteService> service_;
    Portvane p_;
};

TEST_F(PortvaneLogin, ARemoteLoginIsRelayedAndKeptForTheNextOne) {
    Reply r = login("alice", "secret");
    ASSERT_EQ(r.status, 200) << r.raw;
    std::string cookie = r.header("set-cookie");
    ASSERT_EQ(cookie.size(), std::string("sid=; HttpOnly; Path=/; SameSite=Strict").size() + 32)
        << cookie;
    EXPECT_EQ(cookie.substr(cookie.find(';')), "; HttpOnly; Path=/; SameSite=Strict");
    std::string session = cookie.substr(0, cookie.find(';'));
    EXPECT_EQ(r.header("content-type"), "application/json");
    EXPECT_EQ(r.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(r.body, R"({"result":"ok","user":"alice"})");
    EXPECT_EQ(field_of_last("login", "json.dumps(r['body'], sort_keys=True)"),
              R"({"name": "alice", "passwd": "secret"})");
    // Stored as the service set it.
    std::string user;
    EXPECT_TRUE(cookies()->findUser(session.c_str(), user));
    EXPECT_EQ(user, "alice");
    EXPECT_TRUE(passwords()->isPasswordValid("alice", "secret"));

    // The same password again: the agent confirms it, nothing is sent.
    Reply again = login("alice", "secret");
    EXPECT_EQ(again.raw, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nSet-Cookie: " + session +
                             "; HttpOnly; Path=/; SameSite=Strict\r\n\r\n");
    EXPECT_EQ(seen("login"), 1);
    // Another password goes to the service, which refuses it.
    EXPECT_EQ(login("alice", "guess").status, 401);
    EXPECT_EQ(seen("login"), 2);
    EXPECT_EQ(LoginRestrictions::instance()->records(), 1u);
}

TEST_F(PortvaneLogin, ThePasswordComesByPostInTheBodyOnly) {
    FakeConnection get("GET", "/login");
    get.set_query("username=alice&userpassword=secret");
    EXPECT_EQ(p_.ask(get).raw, kReply403);
    FakeConnection query("POST", "/login");
    query.set_query("username=alice&userpassword=secret");
    EXPECT_EQ(p_.ask(query).raw, kReply400);
    EXPECT_EQ(p_.post("/login", "username=alice").raw, kReply400);
    EXPECT_EQ(p_.post("/login", "userpassword=secret").raw, kReply400);
    EXPECT_EQ(p_.post("/login", "username=&userpassword=").raw, kReply400);
    // A name that would break the log's lines.
    EXPECT_EQ(p_.post("/login", "username=x%0A@1@forged&userpassword=secret").raw, kReply400);
    EXPECT_EQ(seen("login"), 0);
    EXPECT_EQ(LoginRestrictions::instance()->records(), 0u);
    EXPECT_EQ(p_.post("/login", "username=alice&userpassword=se%63ret").status, 200);
}

TEST_F(PortvaneLogin, WhatTheBrowserGetsOfAnOddReply) {
    // A status without its usual headers is relayed as it came; headers of the service's
    // making stay with it.
    service_->control("POST", "faults", R"({"kind": "login", "action": "status", "status": 302,
                                           "times": 1})");
    Reply moved = login("alice", "secret");
    EXPECT_EQ(moved.status, 302) << moved.raw;
    EXPECT_EQ(moved.reason, "Found");
    EXPECT_FALSE(moved.has("location"));
    service_->control("POST", "faults", R"({"kind": "login", "action": "headers", "times": 1,
        "headers": {"Content-Type": "text/html", "Access-Control-Allow-Origin": "*",
                    "Location": "http://elsewhere.example/", "Refresh": "0"}})");
    Reply page = login("alice", "secret");
    EXPECT_EQ(page.status, 200) << page.raw;
    std::set<std::string> names;
    for (const auto& [name, value] : page.headers) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"set-cookie", "content-type", "x-content-type-options",
                                            "content-length"}))
        << page.raw;
    EXPECT_EQ(page.header("content-type"), "application/json");
}

TEST_F(PortvaneLogin, SixRejectionsBlockTheNameUntilAgainAfter) {
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(login("alice", "wrong").status, 401) << i;
        g_now += 299;
    }
    // Within 300 s of the sixth: refused, nothing sent.
    EXPECT_EQ(login("alice", "secret").raw, kReply403);
    EXPECT_EQ(seen("login"), 6);
    g_now += 1;  // 300 s after the sixth: let through, the count starts again
    EXPECT_EQ(login("alice", "wrong").status, 401);
    EXPECT_EQ(seen("login"), 7);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login("alice", "wrong").status, 401) << i;
    EXPECT_EQ(login("alice", "secret").raw, kReply403);
    // Another name is not held up; "Alice" and " ALICE" are the same one.
    EXPECT_EQ(login("bob", "hunter2").status, 200);
    EXPECT_EQ(login("Alice", "secret").raw, kReply403);
    EXPECT_EQ(login("%20ALICE%20", "secret").raw, kReply403);
    EXPECT_EQ(seen("login"), 13);
}

TEST_F(PortvaneLogin, RejectionsFarApartNeverBlock) {
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(login("alice", "wrong").status, 401) << i;
        g_now += 300;
    }
    // A longer wait than 1500 s: a failure more than 1500 s after the one before counts anew.
    OptionsImpl::instance()->loginAgainAfter(2000);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(login("bob", "wrong").status, 401) << i;
        g_now += 1501;
    }
    EXPECT_EQ(seen("login"), 16);
}

TEST_F(PortvaneLogin, GuessesCountWithTheServerUnreachable) {
    service_.reset();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(login("bob", "wrong").raw, kReply503) << i;
    EXPECT_EQ(login("bob", "hunter2").raw, kReply403);
    // The agent's own check of a saved password counts too.
    ASSERT_TRUE(passwords()->savePassword("carol", "right"));
    ASSERT_TRUE(cookies()->saveCookie("carol", "sid=c1"));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(login("carol", "guess").raw, kReply503) << i;
    EXPECT_EQ(login("carol", "right").raw, kReply403);
    g_now += 300;
    EXPECT_EQ(login("carol", "right").header("set-cookie"),
              "sid=c1; HttpOnly; Path=/; SameSite=Strict");
}

TEST(PortvaneLoginUnbound, GuessesCountWithNoServerBound) {
    g_now = 1000000;
    LoginRestrictions::instance()->clock(&test_clock);
    Portvane p;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(p.post("/login", "username=dave&userpassword=x").raw, kReply503) << i;
    }
    EXPECT_EQ(p.post("/login", "username=dave&userpassword=y").raw, kReply403);
    LoginRestrictions::instance()->clock(nullptr);
}

TEST_F(PortvaneLogin, ParallelGuessesPassTheCheckNoMoreThanSixTimes) {
    service_->control("POST", "faults", R"({"kind": "login", "action": "delay", "seconds": 1})");
    std::vector<std::thread> threads;
    std::atomic<int> refused{0}, rejected{0};
    for (int i = 0; i < 20; ++i) {
        threads.emplace_back([&] {
            Reply r = login("alice", "wrong");
            if (r.status == 403) ++refused;
            if (r.status == 401) ++rejected;
        });
    }
    for (auto& t : threads) t.join();
    int reached = seen("login");
    std::printf("[ login ] of 20 parallel wrong logins %d reached the service\n", reached);
    EXPECT_LE(reached, 6);
    EXPECT_EQ(rejected, reached);
    EXPECT_EQ(refused, 20 - reached);
}

TEST_F(PortvaneLogin, RecordsGoWhenTheyCountNothing) {
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(login("user" + std::to_string(i), "x").status, 401);
    }
    EXPECT_EQ(LoginRestrictions::instance()->records(), 30u);
    EXPECT_EQ(login("bob", "hunter2").status, 200);  // a login leaves none
    EXPECT_EQ(login("bob", "hunter2").status, 200);  // nor does the agent's own confirmation
    EXPECT_EQ(LoginRestrictions::instance()->records(), 30u);
    g_now += 1500;
    EXPECT_EQ(login("bob", "hunter2").status, 200);
    EXPECT_EQ(LoginRestrictions::instance()->records(), 30u);  // still within 1500 s
    g_now += 61;
    EXPECT_EQ(login("bob", "hunter2").status, 200);
    EXPECT_EQ(LoginRestrictions::instance()->records(), 0u);
}

TEST_F(PortvaneLogin, LogoutForgetsTheSessionHereAndThere) {
    EXPECT_EQ(p_.ask("GET", "/logout").raw, kReply401);
    Reply in = login("alice", "secret");
    ASSERT_EQ(in.status, 200);
    std::string session = in.header("set-cookie").substr(0, in.header("set-cookie").find(';'));
    // The browser sends another program's cookie along: only the session goes on.
    EXPECT_EQ(p_.ask("POST", "/logout", "theme=dark; " + session).raw, kReply200);
    EXPECT_FALSE(cookies()->isCookieValid(session.c_str()));
    EXPECT_EQ(seen("logout"), 1);
    EXPECT_EQ(field_of_last("logout", "r['headers']['Cookie']"), session);
    EXPECT_EQ(service_->control("GET", "sessions").find("alice"), std::string::npos);
    // An unknown cookie: 200, and nothing of it is sent anywhere.
    EXPECT_EQ(p_.ask("POST", "/logout", "sid=unknown").raw, kReply200);
    EXPECT_EQ(seen("logout"), 1);
    // With the service down: 200 all the same, and the cookie is forgotten.
    ASSERT_TRUE(cookies()->saveCookie("bob", "sid=b1"));
    service_.reset();
    EXPECT_EQ(p_.ask("GET", "/logout", "sid=b1").raw, kReply200);
    EXPECT_FALSE(cookies()->isCookieValid("sid=b1"));
}

// The throttle's own rules, without the handlers.
TEST(PortvaneLoginRestrictions, InFlightAttemptsCountAndRecordsFollowTheirName) {
    LoginRestrictions* t = LoginRestrictions::instance();
    g_now = 5000;
    t->clock(&test_clock);
    EXPECT_EQ(LoginRestrictions::key("  Alice\t"), "alice");
    EXPECT_EQ(LoginRestrictions::key("B\xC3\x96"
                                     "B"),
              "b\xC3\x96"
              "b");
    EXPECT_EQ(LoginRestrictions::key(" "), "");
    // Six in flight at once; the seventh waits for one of them to end.
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(t->isLoginAllowed("eve")) << i;
    EXPECT_FALSE(t->isLoginAllowed("EVE"));
    t->loginEnded("eve");
    EXPECT_TRUE(t->isLoginAllowed("eve"));
    for (int i = 0; i < 6; ++i) t->loginFailed("eve");
    EXPECT_FALSE(t->isLoginAllowed("eve"));
    g_now += 300;
    EXPECT_TRUE(t->isLoginAllowed("eve"));
    t->loginSucceeded("eve");
    EXPECT_EQ(t->records(), 0u);
    {
        LoginAttempt attempt("frank");
        EXPECT_TRUE(attempt.allowed());
    }  // ended without a login: a failure
    EXPECT_EQ(t->records(), 1u);
    {
        LoginAttempt attempt("frank");
        attempt.succeeded();
    }
    EXPECT_EQ(t->records(), 0u);
    t->clock(nullptr);
}

}  // namespace
}  // namespace portvane::testing
