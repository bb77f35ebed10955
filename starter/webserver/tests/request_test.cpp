// The server's request handling driven through the in-memory connection: options, which handler
// a URI reaches, the authorisation hook, whole bodies and form variables.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "starter/webserver/server.h"
#include "starter/webserver/tests/fake_connection.h"
#include "starter/webserver/tests/recording_plugin.h"

namespace tovel::web::testing {
namespace {

// A context over a plug-in of test functions; stopped at the end of the test.
struct Context {
    explicit Context(std::map<std::string, void*> exports)
        : ctx(start_context(std::make_unique<FunctionPlugin>(std::move(exports)), 2000)) {}
    ~Context() { mg_stop(ctx); }
    mg_context* ctx;
};

std::string status_line(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

// Answers method path through ctx; the reply's status line, or "unbound".
std::string ask(mg_context* ctx, const char* method, const char* path) {
    FakeConnection io(method, path);
    if (answer_request(*ctx, io) == Outcome::unbound) return "unbound";
    return status_line(io.written());
}

std::string last_handler() {
    auto all = calls();
    return all.empty() ? "" : all.back().handler;
}

TEST(WebServerOptions, NamesAliasesUnsetValuesAndFixedSettings) {
    mg_context* ctx = mg_start();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(mg_get_option(ctx, "ports"), nullptr);
    EXPECT_EQ(mg_get_option(ctx, "root"), nullptr);
    EXPECT_EQ(mg_set_option(ctx, "ports", "127.0.0.1:0"), 1);
    EXPECT_STREQ(mg_get_option(ctx, "listening_ports"), "127.0.0.1:0");
    EXPECT_EQ(mg_set_option(ctx, "root", ""), 1);
    ASSERT_NE(mg_get_option(ctx, "root"), nullptr);  // an empty text is set
    EXPECT_STREQ(mg_get_option(ctx, "document_root"), "");
    EXPECT_EQ(mg_set_option(ctx, "auth_realm", "realm"), 1);
    EXPECT_STREQ(mg_get_option(ctx, "authentication_domain"), "realm");
    EXPECT_EQ(mg_set_option(ctx, "no_such_option", "1"), 0);
    EXPECT_EQ(mg_get_option(ctx, "no_such_option"), nullptr);
    EXPECT_EQ(mg_set_option(ctx, "ports", nullptr), 0);
    // A port without an address listens on this machine only.
    EXPECT_EQ(mg_set_option(ctx, "ports", "8888,+8889,[::1]:7,8443s,0.0.0.0:9,,0"), 1);
    EXPECT_STREQ(mg_get_option(ctx, "ports"),
                 "127.0.0.1:8888,127.0.0.1:8889,[::1]:7,127.0.0.1:8443s,0.0.0.0:9,,127.0.0.1:0");
    EXPECT_EQ(mg_set_option(ctx, "listening_ports", "8080"), 1);
    EXPECT_STREQ(mg_get_option(ctx, "ports"), "127.0.0.1:8080");
    EXPECT_EQ(mg_set_option(ctx, "ports", "127.0.0.1:0"), 1);

    // What the options file asks for cannot turn on what the server keeps off.
    for (auto [name, value] : {std::pair{"enable_keep_alive", "yes"},
                               {"dir_list", "yes"},
                               {"cgi_ext", "**.cgi$"},
                               {"ssi_ext", "**.shtml$"},
                               {"access_control_allow_origin", "*"},
                               {"request_timeout_ms", "0"}}) {
        EXPECT_EQ(mg_set_option(ctx, name, value), 1) << name;
    }
    std::map<std::string, std::string> engine;
    for (auto& [n, v] : ctx->options.engine_options(1234)) engine[n] = v;
    EXPECT_EQ(engine["enable_keep_alive"], "no");
    EXPECT_EQ(engine["enable_directory_listing"], "no");
    EXPECT_EQ(engine["cgi_pattern"], "");
    EXPECT_EQ(engine["ssi_pattern"], "");
    EXPECT_EQ(engine["access_control_allow_origin"], "");
    EXPECT_EQ(engine["request_timeout_ms"], "1234");
    EXPECT_EQ(engine["listening_ports"], "127.0.0.1:0");
    EXPECT_EQ(engine["authentication_domain"], "realm");

    // Without a "ports" option the server listens on this machine only.
    OptionSet fresh;
    std::string fallback;
    for (auto& [n, v] : fresh.engine_options(1000)) {
        if (n == "listening_ports") fallback = v;
    }
    EXPECT_EQ(fallback, "127.0.0.1:8080");

    // Listening from the test's folder, where there is no plug-in: the handlers that need no
    // cookie answer 404, the others 401; then the options are fixed and "ports" tells the port.
    ASSERT_EQ(mg_listen(ctx), 1);
    EXPECT_EQ(ask(ctx, "GET", "/"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(ask(ctx, "GET", "/jobs"), "HTTP/1.1 401 Unauthorized");
    std::vector<int> ports = listening_ports(ctx);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(mg_get_option(ctx, "ports"), "127.0.0.1:" + std::to_string(ports[0]));
    EXPECT_EQ(mg_set_option(ctx, "root", "/"), 0);
    EXPECT_EQ(mg_listen(ctx), 0);
    mg_stop(ctx);

    // The create-thread callback is kept and can start a thread.
    static std::atomic<int> ran{0};
    mg_set_create_thread_callback([](mg_thread_func_t f, void* p) {
        std::thread(f, p).detach();
        return 0;
    });
    mg_create_thread_callback_t callback = mg_get_create_thread_callback();
    ASSERT_NE(callback, nullptr);
    EXPECT_EQ(callback(
                  [](void*) -> void* {
                      ran = 1;
                      return nullptr;
                  },
                  nullptr),
              0);
    while (!ran) std::this_thread::yield();
    mg_set_create_thread_callback(nullptr);
}

TEST(WebServerRouting, LongestPrefixPicksTheHandler) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&authorize_all);
    Context c(exports);
    ASSERT_EQ(bindings().size(), 23u);
    for (size_t i = 1; i < bindings().size(); ++i) {
        EXPECT_GE(std::strlen(bindings()[i - 1].prefix), std::strlen(bindings()[i].prefix));
    }
    struct Case {
        const char* method;
        const char* uri;
        const char* handler;  // "" when no handler may run
        const char* status;
    } cases[] = {
        {"GET", "/jobsview/x", "jobsview_callback", "HTTP/1.1 200 OK"},
        {"GET", "/jobsx", "jobs_callback", "HTTP/1.1 200 OK"},
        {"DELETE", "/jobs/7", "jobs_callback", "HTTP/1.1 200 OK"},
        {"GET", "/", "language_callback", "HTTP/1.1 200 OK"},
        {"GET", "/serversettings", "server_settings_callback", "HTTP/1.1 200 OK"},
        {"GET", "/servers", "server_callback", "HTTP/1.1 200 OK"},
        {"POST", "/server", "server_callback", "HTTP/1.1 200 OK"},
        {"GET", "/serverstatusx", "serverstatus_callback", "HTTP/1.1 200 OK"},
        {"GET", "/consistentcheck/query", "consistentcheck_callback", "HTTP/1.1 200 OK"},
        {"GET", "/update/C:/x", "update_callback", "HTTP/1.1 200 OK"},
        {"GET", "/userinfo", "userinfo_callback", "HTTP/1.1 200 OK"},
        {"GET", "/networksbandwidth", "network_bandwidth_callback", "HTTP/1.1 200 OK"},
        {"GET", "/tovel.html", "", "unbound"},
        {"GET", "//jobs", "", "unbound"},
        {"POST", "/tovel.html", "", "HTTP/1.1 405 Method Not Allowed"},
    };
    for (const Case& k : cases) {
        clear_calls();
        EXPECT_EQ(ask(c.ctx, k.method, k.uri), k.status) << k.uri;
        EXPECT_EQ(last_handler(), k.handler) << k.uri;
    }
    FakeConnection io("GET", "/");
    mg_connection conn(*c.ctx, io);
    EXPECT_EQ(mg_uri_callback_require_auth(&conn, "/jobsview/1"), 1);
    EXPECT_EQ(mg_uri_callback_require_auth(&conn, "/login"), 0);
    EXPECT_EQ(mg_uri_callback_require_auth(&conn, "/serversettings"), 0);
    EXPECT_EQ(mg_uri_callback_require_auth(&conn, "/tovel.html"), -1);
}

// Hooks that refuse: one that writes its own answer, one that writes nothing.
int refuse_with_403(mg_connection* conn, const mg_request_info*) {
    return mg_printf(conn, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
}
int refuse_silently(mg_connection*, const mg_request_info*) { return 1; }

TEST(WebServerRouting, NoHandlerRunsWithoutAuthorisation) {
    // Without a hook (the plug-in has none yet): cookie handlers 401, open handlers run, a
    // handler the plug-in lacks 404.
    auto exports = recording_exports();
    exports.erase("login_callback");
    {
        Context c(exports);
        clear_calls();
        EXPECT_EQ(ask(c.ctx, "GET", "/jobs"), "HTTP/1.1 401 Unauthorized");
        EXPECT_EQ(ask(c.ctx, "GET", "/key/x"), "HTTP/1.1 401 Unauthorized");
        EXPECT_EQ(ask(c.ctx, "GET", "/login"), "HTTP/1.1 404 Not Found");
        EXPECT_TRUE(calls().empty());
        EXPECT_EQ(ask(c.ctx, "GET", "/logout"), "HTTP/1.1 200 OK");
        EXPECT_EQ(last_handler(), "logout_callback");
    }
    for (auto hook : {&refuse_with_403, &refuse_silently}) {
        exports["auth_callback"] = reinterpret_cast<void*>(hook);
        Context c(exports);
        clear_calls();
        for (const char* uri : {"/jobs", "/logout", "/"}) {
            FakeConnection io("GET", uri);
            EXPECT_EQ(answer_request(*c.ctx, io), Outcome::answered);
            // One reply only: the hook's, or 401 when it wrote none.
            EXPECT_EQ(io.written(), hook == &refuse_with_403
                                        ? "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
                                        : "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
        }
        EXPECT_TRUE(calls().empty());
    }
}

TEST(WebServerBody, BodiesAreReadWholeUpTo16MiB) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&authorize_all);
    Context c(exports);
    clear_calls();

    // Announced too long: refused before a byte is read.
    FakeConnection announced("POST", "/jobs");
    announced.set_body({"x"}, static_cast<long long>(kMaxBody) + 1);
    ASSERT_EQ(answer_request(*c.ctx, announced), Outcome::answered);
    EXPECT_EQ(status_line(announced.written()), "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(announced.bytes_read(), 0);

    // A body without a length (chunked on the wire) in uneven pieces: 16 MiB passes whole, one
    // byte more is refused.
    std::string whole;
    std::vector<std::string> pieces;
    for (size_t size = 1; whole.size() < kMaxBody; size = size * 3 + 7) {
        std::string piece(std::min(size, kMaxBody - whole.size()), 'a' + pieces.size() % 26);
        whole += piece;
        pieces.push_back(piece);
    }
    FakeConnection fits("POST", "/jobs");
    fits.set_body(pieces, -1);
    ASSERT_EQ(answer_request(*c.ctx, fits), Outcome::answered);
    EXPECT_EQ(status_line(fits.written()), "HTTP/1.1 200 OK");
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_TRUE(calls()[0].body == whole);

    pieces.push_back("z");
    FakeConnection over("POST", "/jobs");
    over.set_body(pieces, -1);
    ASSERT_EQ(answer_request(*c.ctx, over), Outcome::answered);
    EXPECT_EQ(status_line(over.written()), "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(calls().size(), 1u);

    // While the server stops, requests get 503 and reach nothing.
    mg_set_stopping(c.ctx);
    EXPECT_EQ(ask(c.ctx, "GET", "/jobs"), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(ask(c.ctx, "GET", "/tovel.html"), "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(calls().size(), 1u);
}

TEST(WebServerOrigin, OnlyThisServersOwnPagesAndProgramsReachIt) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&authorize_all);
    Context c(exports);
    const std::string own = "127.0.0.1:" + std::to_string(FakeConnection::kFakePort);
    struct Case {
        const char* method;
        const char* uri;
        std::vector<std::pair<std::string, std::string>> headers;  // value "": removed
        bool answered;
    } cases[] = {
        // The loopback names with the port the request came in on, any letter case.
        {"POST", "/server", {}, true},
        {"GET", "/jobs", {{"Host", "localhost:8888"}}, true},
        {"GET", "/jobs", {{"Host", "LocalHost:8888"}}, true},
        {"GET", "/jobs", {{"Host", "[::1]:8888"}}, true},
        // Another name that resolves here, another port, no port, no Host at all.
        {"GET", "/jobs", {{"Host", "evil.example:8888"}}, false},
        {"GET", "/jobs", {{"Host", "127.0.0.1.nip.io:8888"}}, false},
        {"GET", "/jobs", {{"Host", "127.0.0.1:8889"}}, false},
        {"GET", "/jobs", {{"Host", "127.0.0.1:08888"}}, false},
        {"GET", "/jobs", {{"Host", "127.0.0.1"}}, false},
        {"GET", "/jobs", {{"Host", "[::1]"}}, false},
        {"GET", "/jobs", {{"Host", "127.0.0.2:8888"}}, false},
        {"GET", "/jobs", {{"Host", ""}}, false},
        {"GET", "/tovel.html", {{"Host", "evil.example:8888"}}, false},
        {"GET", "/", {{"Host", "evil.example:8888"}}, false},
        // Origin: exactly this server as the Host names it.
        {"POST", "/server", {{"Origin", "http://" + own}}, true},
        {"POST",
         "/server",
         {{"Host", "localhost:8888"}, {"Origin", "http://localhost:8888"}},
         true},
        {"POST", "/server", {{"Origin", "http://localhost:8888"}}, false},
        {"POST", "/server", {{"Origin", "http://127.0.0.1:9999"}}, false},
        {"POST", "/server", {{"Origin", "https://" + own}}, false},
        {"POST", "/server", {{"Origin", "null"}}, false},
        {"OPTIONS", "/server", {{"Origin", "http://evil.example"}}, false},
        {"GET", "/tovel.html", {{"Origin", "http://evil.example"}}, false},
        // Another site's links reach the start pages and the document folder only.
        {"GET", "/jobs/x/start", {{"Sec-Fetch-Site", "cross-site"}}, false},
        {"GET", "/logout", {{"Sec-Fetch-Site", "cross-site"}}, false},
        {"GET", "/webui", {{"Sec-Fetch-Site", "cross-site"}}, false},
        {"GET", "/", {{"Sec-Fetch-Site", "cross-site"}}, true},
        {"GET", "/serversettings", {{"Sec-Fetch-Site", "cross-site"}}, true},
        {"GET", "/tovel.html", {{"Sec-Fetch-Site", "cross-site"}}, true},
        {"GET", "/jobs", {{"Sec-Fetch-Site", "same-origin"}}, true},
        {"GET", "/jobs", {{"Sec-Fetch-Site", "none"}}, true},
        // A page on another port of this machine is the same site to a browser, which sends it
        // the session cookie: refused like another site's, and so is what no browser sends.
        {"GET", "/jobs/x/start", {{"Sec-Fetch-Site", "same-site"}}, false},
        {"GET", "/logout", {{"Sec-Fetch-Site", "same-site"}}, false},
        {"POST", "/login", {{"Sec-Fetch-Site", "same-site"}}, false},
        {"DELETE", "/jobs/x", {{"Sec-Fetch-Site", "Same-Site"}}, false},
        {"GET", "/jobs", {{"Sec-Fetch-Site", "other"}}, false},
        {"GET", "/jobs", {{"Sec-Fetch-Site", "Same-Origin"}}, true},
        {"GET", "/", {{"Sec-Fetch-Site", "same-site"}}, true},
        {"GET", "/tovel.html", {{"Sec-Fetch-Site", "same-site"}}, true},
    };
    for (const Case& k : cases) {
        clear_calls();
        FakeConnection io(k.method, k.uri);
        std::string shown = std::string(k.method) + " " + k.uri;
        for (const auto& [name, value] : k.headers) {
            if (value.empty()) {
                io.remove_header(name);
            } else {
                io.add_header(name, value);
            }
            shown += " " + name + ": " + value;
        }
        Outcome outcome = answer_request(*c.ctx, io);
        if (k.answered) {
            EXPECT_NE(io.written(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n") << shown;
        } else {
            EXPECT_EQ(outcome, Outcome::answered) << shown;
            EXPECT_EQ(io.written(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n") << shown;
            EXPECT_TRUE(calls().empty()) << shown;
        }
    }
}

// A hook that only counts its calls: a refused request never reaches it.
std::atomic<int> g_hook_calls{0};
int counting_hook(mg_connection* conn, const mg_request_info*) {
    ++g_hook_calls;
    return mg_authorize(conn);
}

TEST(WebServerOrigin, TheHookSeesNoRefusedRequestAndNoBodyIsRead) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&counting_hook);
    Context c(exports);
    FakeConnection io("POST", "/server");
    io.add_header("Origin", "http://evil.example");
    io.set_body({"{\"host\":\"x\",\"port\":1}"}, 21);
    EXPECT_EQ(answer_request(*c.ctx, io), Outcome::answered);
    EXPECT_EQ(g_hook_calls, 0);
    EXPECT_EQ(io.bytes_read(), 0);
    FakeConnection good("POST", "/server");
    EXPECT_EQ(answer_request(*c.ctx, good), Outcome::answered);
    EXPECT_EQ(g_hook_calls, 1);
}

// Whatever the Host header says, a client that is not on this machine reaches nothing, not even
// the hook.
TEST(WebServerOrigin, OnlyClientsOnThisMachineAreServed) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&counting_hook);
    Context c(exports);
    g_hook_calls = 0;
    struct Case {
        const char* address;
        bool served;
    } cases[] = {
        {"127.0.0.1", true},  {"127.200.3.4", true},
        {"::1", true},        {"::ffff:127.0.0.1", true},
        {"192.0.2.2", false}, {"10.0.0.127", false},
        {"128.0.0.1", false}, {"::ffff:192.0.2.2", false},
        {"fd00::2", false},   {"::2", false},
        {"", false},
    };
    for (const Case& k : cases) {
        for (const char* uri : {"/jobs", "/", "/tovel.html", "/login"}) {
            clear_calls();
            int before = g_hook_calls;
            FakeConnection io("GET", uri);
            io.set_remote_address(k.address);
            Outcome outcome = answer_request(*c.ctx, io);
            std::string shown = std::string(k.address) + " " + uri;
            if (k.served) {
                EXPECT_NE(io.written(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    << shown;
                EXPECT_EQ(g_hook_calls, before + 1) << shown;
            } else {
                EXPECT_EQ(outcome, Outcome::answered) << shown;
                EXPECT_EQ(io.written(), "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    << shown;
                EXPECT_EQ(g_hook_calls, before) << shown;
                EXPECT_TRUE(calls().empty()) << shown;
            }
        }
    }
}

// The hook sees the head only; a body is read once the request may reach its handler, and one
// that ends before its announced length reaches nothing. A reply given before the body was read
// ends the connection.
TEST(WebServerBody, TheHookRunsBeforeTheBodyAndAShortBodyIsRefused) {
    auto exports = recording_exports();
    exports["auth_callback"] = reinterpret_cast<void*>(&counting_hook);
    Context c(exports);
    clear_calls();
    g_hook_calls = 0;

    FakeConnection unknown("POST", "/jobs");
    unknown.set_body({"{\"type\":\"backup\"}"}, 17);
    {
        Context refusing({{"auth_callback", reinterpret_cast<void*>(&refuse_silently)}});
        ASSERT_EQ(answer_request(*refusing.ctx, unknown), Outcome::answered);
    }
    EXPECT_EQ(status_line(unknown.written()), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(unknown.bytes_read(), 0);
    EXPECT_TRUE(unknown.ended());

    // 10 MB announced, 150 bytes sent, then the end (the client closed, or the engine gave up on
    // a stalled one).
    FakeConnection cut("POST", "/jobs");
    cut.set_body({std::string(100, 'a'), std::string(50, 'b')}, 10 << 20);
    ASSERT_EQ(answer_request(*c.ctx, cut), Outcome::answered);
    EXPECT_EQ(status_line(cut.written()), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(g_hook_calls, 1);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(cut.ended());

    FakeConnection over("POST", "/jobs");
    over.set_body({"x"}, static_cast<long long>(kMaxBody) + 1);
    ASSERT_EQ(answer_request(*c.ctx, over), Outcome::answered);
    EXPECT_EQ(status_line(over.written()), "HTTP/1.1 413 Payload Too Large");
    EXPECT_TRUE(over.ended());
    EXPECT_TRUE(calls().empty());

    FakeConnection whole("POST", "/jobs");
    whole.set_body({std::string(100, 'a'), std::string(50, 'b')}, 150);
    ASSERT_EQ(answer_request(*c.ctx, whole), Outcome::answered);
    EXPECT_EQ(status_line(whole.written()), "HTTP/1.1 200 OK");
    ASSERT_EQ(calls().size(), 1u);
    EXPECT_EQ(calls()[0].body, std::string(100, 'a') + std::string(50, 'b'));
    EXPECT_FALSE(whole.ended());
}

std::map<std::string, std::string> g_vars;

void read_vars(mg_connection* conn, const mg_request_info*) {
    for (const char* name : {"a", "b", "c", "d", "e", "z"}) {
        char* value = mg_get_var(conn, name);
        g_vars[name] = value ? value : "(null)";
        mg_free(value);
        char* body_value = mg_get_body_var(conn, name);
        g_vars[std::string("body.") + name] = body_value ? body_value : "(null)";
        mg_free(body_value);
    }
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
}

TEST(WebServerBody, FormVariablesComeFromTheBodyThenTheQuery) {
    Context c({{"login_callback", reinterpret_cast<void*>(&read_vars)}});
    FakeConnection io("POST", "/login");
    io.set_body({"a=1&b=x+y%21", "&c&%62=late"}, -1);
    io.set_query("a=2&d=q%20r&e=&z");
    ASSERT_EQ(answer_request(*c.ctx, io), Outcome::answered);
    EXPECT_EQ(g_vars["a"], "1");
    EXPECT_EQ(g_vars["b"], "x y!");
    EXPECT_EQ(g_vars["c"], "");
    EXPECT_EQ(g_vars["d"], "q r");
    EXPECT_EQ(g_vars["e"], "");
    EXPECT_EQ(g_vars["z"], "");
    // The body alone: what only the query holds is absent.
    EXPECT_EQ(g_vars["body.a"], "1");
    EXPECT_EQ(g_vars["body.c"], "");
    EXPECT_EQ(g_vars["body.d"], "(null)");
    EXPECT_EQ(g_vars["body.z"], "(null)");
    g_vars.clear();
    FakeConnection none("GET", "/login");
    ASSERT_EQ(answer_request(*c.ctx, none), Outcome::answered);
    EXPECT_EQ(g_vars["a"], "(null)");
}

}  // namespace
}  // namespace tovel::web::testing
