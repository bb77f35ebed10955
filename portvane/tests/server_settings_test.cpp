// Reading and binding the remote web server, its status and the redirect to its own web
// interface, through the web server's request handling against the remote-service simulator.
#include <gtest/gtest.h>

#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "portvane/conventions.h"
#include "portvane/tests/handler_kit.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/remote_service.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::RemoteService;

CookieManagerImpl* cookies() {
    return ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

struct Bound {
    std::string name, host;
    unsigned short port = 0;
    bool operator==(const Bound&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Bound& b) {
    return out << b.name << "@" << b.host << ":" << b.port;
}
Bound bound() {
    Bound b;
    b.port = 80;
    OptionsImpl::instance()->getServerInfo(b.name, b.host, b.port);
    return b;
}

class PortvaneServer : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{});
        ASSERT_NE(service_->port(), 0);
    }
    std::string bind_body(const std::string& host, int port, const char* name = "sim") {
        return std::string("{\"name\": \"") + name + "\", \"host\": \"" + host +
               "\", \"port\": " + std::to_string(port) + "}";
    }
    std::string sim_body() { return bind_body("127.0.0.1", service_->port()); }
    // The requests of a kind that the simulator saw.
    int seen(const char* kind) {
        return std::stoi(
            python_with_input("import json, sys\nprint(len(json.load(sys.stdin)['requests']))",
                              service_->control("GET", std::string("requests?kind=") + kind)));
    }

    std::unique_ptr<RemoteService> service_;
    Portvane p_;
};

TEST_F(PortvaneServer, AFreshAgentBindsTheFirstServerThatAnswers) {
    EXPECT_EQ(p_.ask("GET", "/server").raw, kReply200);
    Reply list = p_.ask("GET", "/servers");
    EXPECT_EQ(list.body, "[]");
    EXPECT_EQ(list.header("content-type"), "application/json");
    EXPECT_EQ(p_.ask("DELETE", "/servers//x/").body, "[]");
    // The handler takes its word whole: "/serverx" (and the page "/serverSettings.html") are
    // files of the document folder.
    EXPECT_EQ(p_.ask("GET", "/serverx").raw, "");
    EXPECT_EQ(p_.ask("GET", "/serverSettings.html").raw, "");

    // Bad input: 400, nothing probed, nothing stored.
    const std::string bad[] = {
        "",
        "{",
        "[1, 2]",
        "\"text\"",
        R"({"host": "127.0.0.1"})",
        R"({"host": "127.0.0.1", "port": "80"})",
        R"({"host": "127.0.0.1", "port": 80.5})",
        R"({"port": 80})",
        R"({"host": 5, "port": 80})",
        bind_body("127.0.0.1", 0),
        bind_body("127.0.0.1", -1),
        bind_body("127.0.0.1", 65536),
        bind_body("127.0.0.1", 65536 + service_->port()),  // cut to 16 bits: the simulator
        R"({"host": "127.0.0.1", "port": 18446744073709551615})",
        bind_body("", service_->port()),
        bind_body("127.0.0.1/x", service_->port()),
        bind_body("a b", service_->port()),
        bind_body("host\\r\\nX: y", service_->port()),
    };
    for (const std::string& body : bad) {
        EXPECT_EQ(p_.post("/server", body).raw, kReply400) << body;
    }
    EXPECT_EQ(seen("server_status"), 0);
    EXPECT_EQ(bound(), (Bound{"", "", 80}));
    EXPECT_NE(logged().find("Bind server failed, failed to parse server-configuration-json when "
                            "binding server, line 1, column 2"),
              std::string::npos);

    // Nothing answers there: 503, nothing stored.
    unsigned short nobody = tovel::testing::free_loopback_port();
    EXPECT_EQ(p_.post("/server", bind_body("127.0.0.1", nobody)).raw, kReply503);
    EXPECT_EQ(bound(), (Bound{"", "", 80}));

    // The simulator answers its status (whatever the status): bound, and every session goes.
    ASSERT_TRUE(cookies()->saveCookie("alice", "sid=a1"));
    service_->control(
        "POST", "faults",
        R"({"kind": "server_status", "action": "status", "status": 500, "times": 1})");
    EXPECT_EQ(p_.post("/server", sim_body()).raw, kReply200);
    EXPECT_EQ(bound(), (Bound{"sim", "127.0.0.1", service_->port()}));
    EXPECT_FALSE(cookies()->isCookieValid("sid=a1"));
    Reply read = p_.ask("GET", "/server");
    EXPECT_EQ(read.body, R"({"host":"127.0.0.1","name":"sim","port":)" +
                             std::to_string(service_->port()) + "}");
    EXPECT_EQ(read.header("content-type"), "application/json");
    EXPECT_EQ(seen("server_status"), 1);
}

TEST_F(PortvaneServer, OnceBoundOnlyALoggedInUserBindsAnother) {
    ASSERT_EQ(p_.post("/server", sim_body()).raw, kReply200);
    Bound first = bound();
    // Without a session cookie, or with one the store does not know: 401, nothing probed.
    EXPECT_EQ(p_.post("/server", bind_body("127.0.0.1", 1, "other")).raw, kReply401);
    EXPECT_EQ(p_.post("/server", bind_body("127.0.0.1", 1, "other"), "sid=x").raw, kReply401);
    EXPECT_EQ(seen("server_status"), 1);
    EXPECT_EQ(bound(), first);
    // With one: the new server must answer first.
    ASSERT_TRUE(cookies()->saveCookie("alice", "sid=a1"));
    unsigned short nobody = tovel::testing::free_loopback_port();
    EXPECT_EQ(p_.post("/server", bind_body("127.0.0.1", nobody, "other"), "x=1; sid=a1").raw,
              kReply503);
    EXPECT_EQ(bound(), first);
    EXPECT_TRUE(cookies()->isCookieValid("sid=a1"));
    EXPECT_EQ(p_.post("/server", bind_body("localhost", service_->port(), "again"), "sid=a1").raw,
              kReply200);
    EXPECT_EQ(bound(), (Bound{"again", "localhost", service_->port()}));
    EXPECT_FALSE(cookies()->isCookieValid("sid=a1"));
}

TEST_F(PortvaneServer, TheStatusOfTheBoundServerIsRelayed) {
    // Nothing bound: no server to ask.
    EXPECT_EQ(p_.ask("GET", "/serverstatus").raw, kReply503);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
    for (const char* uri : {"/serverstatus/", "/serverstatusx", "/serverstatus/x"}) {
        EXPECT_EQ(p_.ask("GET", uri).raw, kReply404) << uri;
    }
    EXPECT_EQ(seen("server_status"), 0);
    for (const char* method : {"GET", "POST", "DELETE"}) {
        Reply r = p_.ask(method, "/serverstatus");
        EXPECT_EQ(r.status, 200) << method << r.raw;
        EXPECT_EQ(r.body, "running") << method;
        EXPECT_FALSE(r.has("set-cookie"));
    }
    // It went out as a GET without a body or a cookie, marked as the agent's.
    std::string shape = python_with_input(
        "import json, sys\n"
        "for r in json.load(sys.stdin)['requests']:\n"
        "    h = {k.lower(): v for k, v in r['headers'].items()}\n"
        "    print(r['method'], r['status'], 'content-length' in h, 'cookie' in h,\n"
        "          h.get('x-client-kind'), r['body_length'])",
        service_->control("GET", "requests?kind=server_status"));
    EXPECT_EQ(shape,
              "GET 200 False False agenttoweb 0\nGET 200 False False agenttoweb 0\n"
              "GET 200 False False agenttoweb 0\n");

    service_->control("POST", "faults", R"({"kind": "server_status", "action": "status",
                                           "status": 500, "body": "down for repair"})");
    Reply failed = p_.ask("GET", "/serverstatus");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.reason, "Internal Server Error");
    EXPECT_EQ(failed.body, "down for repair");
    EXPECT_EQ(failed.header("content-type"), "application/json");
    service_.reset();
    EXPECT_EQ(p_.ask("GET", "/serverstatus").raw, kReply503);
}

TEST_F(PortvaneServer, TheWebInterfaceOfTheBoundServer) {
    EXPECT_EQ(p_.ask("GET", "/webui").raw, kReply500);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("s", "10.0.0.5", 8080));
    for (const char* uri : {"/webui", "/webui/x", "/webuix"}) {
        Reply r = p_.ask("GET", uri);
        EXPECT_EQ(r.status, 307) << uri;
        EXPECT_EQ(r.header("location"), "http://10.0.0.5:8080/tovel/index.html") << uri;
    }
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("s", "::1", 8443));
    EXPECT_EQ(p_.ask("GET", "/webui").header("location"), "http://[::1]:8443/tovel/index.html");
}

}  // namespace
}  // namespace portvane::testing
