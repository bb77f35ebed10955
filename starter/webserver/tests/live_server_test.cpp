// The server over its real engine on 127.0.0.1: what the engine must not add or do, the request
// record as the handlers see it, the start-page redirects of the real plug-in, stalling clients,
// shutdown, and the passwords file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "job/stores/options.h"
#include "starter/webserver/server.h"
#include "starter/webserver/tests/fake_connection.h"
#include "starter/webserver/tests/recording_plugin.h"
#include "tools/testkit/machine_fixture.h"

namespace tovel::web::testing {
namespace {

constexpr int kTimeoutMs = 5000;

// A client socket to 127.0.0.1:port whose reads give up after 30 s.
class Client {
public:
    explicit Client(int port, int receive_buffer = 0)
        : fd_(socket(AF_INET, SOCK_STREAM, 0)), port_(port) {
        if (receive_buffer) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(int));
        timeval wait{30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // A "Host: h" line goes out as the server's own name, "Host: 127.0.0.1:<port>".
    bool send(std::string bytes) {
        size_t at = bytes.find("\r\nHost: h\r\n");
        if (at != std::string::npos) bytes.replace(at + 8, 1, "127.0.0.1:" + std::to_string(port_));
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(bytes.size());
    }
    // Everything until the server closes (or the read time-out).
    std::string receive_all() {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd_, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    std::string receive_some() {
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    void close_now() { shutdown(fd_, SHUT_RDWR); }
    void close_writing() { shutdown(fd_, SHUT_WR); }

private:
    int fd_;
    int port_;
    bool connected_ = false;
};

std::string round_trip(int port, const std::string& request) {
    Client c(port);
    c.send(request);
    return c.receive_all();
}

std::string lowercase(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

std::atomic<int> g_big_writing{0};
std::atomic<int> g_readable_quiet{-1}, g_readable_closed{-1};

// 8 MiB in one reply, to a client that does not read it.
void big_reply(mg_connection* conn, const mg_request_info*) {
    std::string block(1 << 20, 'b');
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n", 8 << 20);
    g_big_writing = 1;
    for (int i = 0; i < 8; ++i) {
        if (mg_write(conn, block.data(), block.size()) <= 0) break;
    }
}

// Watches its client: quiet first, then gone.
void watch_client(mg_connection* conn, const mg_request_info*) {
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nwatching\n");
    g_readable_quiet = mg_readable(conn, 0, 300000);
    int closed = 0;
    for (int i = 0; i < 20 && !closed; ++i) closed = mg_readable(conn, 1, 0);
    g_readable_closed = closed;
}

std::atomic<int> g_stream_running{0}, g_stream_saw_stop{0};

// Runs until the server stops, as the job event stream does.
void stream_until_stop(mg_connection* conn, const mg_request_info*) {
    mg_printf(conn, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    g_stream_running = 1;
    while (!mg_is_stopping(conn)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_stream_saw_stop = 1;
}

std::vector<std::string> g_log;
std::mutex g_log_lock;
void keep_log(mg_connection*, const mg_request_info*, const char* message) {
    std::lock_guard<std::mutex> hold(g_log_lock);
    g_log.push_back(message);
}

class WebServerLive : public ::testing::Test {
protected:
    // Serves a document folder holding a script, an include page and a folder, with options that
    // ask for everything the server keeps off.
    void SetUp() override {
        root_ = tovel::testing::machine_root() + "/www";
        std::filesystem::create_directories(root_ + "/dir");
        tovel::testing::write_host_file(
            root_ + "/x.cgi", "#!/bin/sh\necho Content-Type: text/plain\necho\necho RAN\n");
        std::filesystem::permissions(root_ + "/x.cgi", std::filesystem::perms::owner_all);
        tovel::testing::write_host_file(root_ + "/y.shtml", "<!--#include virtual=\"z.txt\" -->");
        tovel::testing::write_host_file(root_ + "/z.txt", "INCLUDED");
        tovel::testing::write_host_file(root_ + "/dir/a.txt", "a");
        tovel::testing::write_host_file(root_ + "/tovel.html", "<html>start</html>");

        auto exports = recording_exports();
        exports["auth_callback"] = reinterpret_cast<void*>(&authorize_all);
        exports["jobs_callback"] = reinterpret_cast<void*>(&big_reply);
        exports["job_notify_callback"] = reinterpret_cast<void*>(&watch_client);
        exports["webui_callback"] = reinterpret_cast<void*>(&stream_until_stop);
        ctx_ = start_context(std::make_unique<FunctionPlugin>(exports), kTimeoutMs);
        mg_set_log_callback(ctx_, keep_log);
        for (auto [name, value] : {std::pair{"ports", "127.0.0.1:0"},
                                   {"root", root_.c_str()},
                                   {"cgi_ext", "**.cgi$"},
                                   {"ssi_ext", "**.shtml$"},
                                   {"dir_list", "yes"},
                                   {"enable_keep_alive", "yes"},
                                   {"access_control_allow_origin", "*"}}) {
            ASSERT_EQ(mg_set_option(ctx_, name, value), 1) << name;
        }
        ASSERT_EQ(mg_listen(ctx_), 1);
        port_ = listening_ports(ctx_).at(0);
        std::printf("[ web ] listening on 127.0.0.1:%d\n", port_);
        clear_calls();
    }
    void TearDown() override { mg_stop(ctx_); }

    std::string root_;
    mg_context* ctx_ = nullptr;
    int port_ = 0;
};

TEST_F(WebServerLive, NoCrossOriginAnswersScriptsListingsOrKeepAlive) {
    // Preflights, and requests that name another host or come from another origin: 403 from
    // the engine's side too, with nothing that would let a page read it.
    std::string port = std::to_string(port_);
    for (const char* uri : {"/jobs", "/login", "/tovel.html", "/nothing", "/"}) {
        for (std::string head :
             {"OPTIONS " + std::string(uri) +
                  " HTTP/1.1\r\nHost: h\r\nOrigin: http://evil.example\r\n"
                  "Access-Control-Request-Method: POST\r\n\r\n",
              "GET " + std::string(uri) + " HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n",
              "GET " + std::string(uri) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
              "GET " + std::string(uri) + " HTTP/1.0\r\n\r\n",
              "POST " + std::string(uri) +
                  " HTTP/1.1\r\nHost: h\r\nOrigin: http://127.0.0.1:1\r\n"
                  "Content-Length: 2\r\n\r\n{}"}) {
            std::string reply = round_trip(port_, head);
            EXPECT_EQ(reply.substr(0, 22), "HTTP/1.1 403 Forbidden") << head << reply;
            EXPECT_EQ(lowercase(reply).find("access-control"), std::string::npos) << head << reply;
        }
    }
    EXPECT_TRUE(calls().empty());
    std::string own = "http://127.0.0.1:" + std::to_string(port_);
    std::string page =
        round_trip(port_, "GET /tovel.html HTTP/1.1\r\nHost: h\r\nOrigin: " + own + "\r\n\r\n");
    EXPECT_NE(page.find("<html>start</html>"), std::string::npos) << page;
    EXPECT_EQ(lowercase(page).find("access-control"), std::string::npos) << page;

    std::string script = round_trip(port_, "GET /x.cgi HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(script.find("\r\n\r\nRAN"), std::string::npos) << script;
    std::string include = round_trip(port_, "GET /y.shtml HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(include.find("INCLUDED"), std::string::npos) << include;
    std::string listing = round_trip(port_, "GET /dir/ HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(listing.find("a.txt"), std::string::npos) << listing;

    // Two requests on one connection: the second is never answered.
    std::string both = round_trip(port_,
                                  "GET /login HTTP/1.1\r\nHost: h\r\n\r\n"
                                  "GET /logout HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_NE(both.find("login_callback"), std::string::npos);
    EXPECT_EQ(both.find("logout_callback"), std::string::npos);
}

TEST_F(WebServerLive, TheDocumentFolderServesItsFilesOnly) {
    // Its files with their types and the page headers; nothing outside it, no folder, no link
    // that leads out, whatever the path's spelling.
    std::filesystem::create_directories(root_ + "/ui");
    tovel::testing::write_host_file(root_ + "/ui/app.js", "export const x = 1;");
    tovel::testing::write_host_file(root_ + "/ui/look.css", "body{}");
    tovel::testing::write_host_file(root_ + "/serverSettings.html", "<html>settings</html>");
    std::string outside = tovel::testing::machine_root() + "/secret.txt";
    tovel::testing::write_host_file(outside, "SECRET");
    std::filesystem::create_symlink(outside, root_ + "/out.txt");
    std::filesystem::create_directory_symlink(tovel::testing::machine_root(), root_ + "/up");
    std::filesystem::create_symlink(root_ + "/z.txt", root_ + "/in.txt");
    auto get = [&](const std::string& uri) {
        return round_trip(port_, "GET " + uri + " HTTP/1.1\r\nHost: h\r\n\r\n");
    };
    struct Case {
        const char* uri;
        const char* type;  // null: 404
        const char* body;
    };
    const Case cases[] = {
        {"/tovel.html", "text/html; charset=utf-8", "<html>start</html>"},
        {"/serverSettings.html?locale=en_US", "text/html; charset=utf-8", "settings"},
        {"/ui/app.js", "text/javascript; charset=utf-8", "export const x"},
        {"/ui/look.css", "text/css; charset=utf-8", "body{}"},
        {"/%75i/app.js", "text/javascript; charset=utf-8", "export const x"},
        {"/in.txt", "text/plain; charset=utf-8", "INCLUDED"},
        {"/out.txt", nullptr, nullptr},
        {"/up/secret.txt", nullptr, nullptr},
        {"/../secret.txt", nullptr, nullptr},
        {"/ui/%2e%2e/%2e%2e/secret.txt", nullptr, nullptr},
        {"/ui/..%2f..%2fsecret.txt", nullptr, nullptr},
        {"/ui%5c..%5c..%5csecret.txt", nullptr, nullptr},
        {"/dir", nullptr, nullptr},
        {"/dir/", nullptr, nullptr},
        {"/ui/", nullptr, nullptr},
        {"/missing.html", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string reply = get(c.uri);
        std::string head = lowercase(reply.substr(0, reply.find("\r\n\r\n")));
        EXPECT_NE(head.find("\r\ncontent-security-policy: default-src 'self'\r\n"),
                  std::string::npos)
            << c.uri << "\n"
            << reply;
        EXPECT_NE(head.find("\r\nx-content-type-options: nosniff\r\n"), std::string::npos) << c.uri;
        EXPECT_EQ(reply.find("SECRET"), std::string::npos) << c.uri;
        EXPECT_EQ(reply.find("a.txt"), std::string::npos) << c.uri;
        if (!c.type) {
            EXPECT_EQ(reply.substr(0, 22), "HTTP/1.1 404 Not Found") << c.uri << "\n" << reply;
            continue;
        }
        EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK") << c.uri << "\n" << reply;
        EXPECT_NE(head.find(std::string("\r\ncontent-type: ") + c.type + "\r\n"), std::string::npos)
            << c.uri << "\n"
            << reply;
        EXPECT_NE(reply.find(c.body), std::string::npos) << c.uri << "\n" << reply;
    }
    EXPECT_TRUE(calls().empty()) << "no handler saw a file of the folder";
}

TEST_F(WebServerLive, RequestRecordAndChunkedBody) {
    std::string reply = round_trip(port_,
                                   "POST /login//a%20b/./?q=1%202 HTTP/1.1\r\nHost: h\r\n"
                                   "Transfer-Encoding: chunked\r\n\r\n"
                                   "5\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n");
    EXPECT_NE(reply.find("login_callback"), std::string::npos) << reply;
    auto all = calls();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].method, "POST");
    EXPECT_EQ(all[0].uri, "/login//a b/./");
    EXPECT_EQ(all[0].query, "q=1%202");
    EXPECT_EQ(all[0].body, "hello world");
    EXPECT_EQ(all[0].remote_ip, 0x7F000001u);

    // Announced over 16 MiB: 413 at once, before the body is sent.
    Client big(port_);
    big.send("POST /login HTTP/1.1\r\nHost: h\r\nContent-Length: 16777217\r\n\r\n");
    EXPECT_EQ(big.receive_some().substr(0, 30), "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(calls().size(), 1u);
}

// A body shorter than its Content-Length reaches no handler, whether the client closes or stalls
// until the time-out; after a refusal the connection ends at once, the rest of the body unread.
TEST_F(WebServerLive, AShortBodyReachesNothingAndARefusedOneIsNotRead) {
    const std::string head = "POST /jobs HTTP/1.1\r\nHost: h\r\nContent-Length: 10485760\r\n\r\n";
    const std::string definition(150, 'd');
    {
        Client closing(port_);
        ASSERT_TRUE(closing.send(head + definition));
        closing.close_writing();
        std::string reply = closing.receive_all();
        EXPECT_TRUE(reply.rfind("HTTP/1.1 400 ", 0) == 0 || reply.rfind("HTTP/1.1 408 ", 0) == 0)
            << reply;
    }
    {
        Client stalling(port_);  // until the engine's time-out
        ASSERT_TRUE(stalling.send(head + definition));
        std::string reply = stalling.receive_all();
        EXPECT_TRUE(reply.rfind("HTTP/1.1 400 ", 0) == 0 || reply.rfind("HTTP/1.1 408 ", 0) == 0)
            << reply;
    }
    EXPECT_TRUE(calls().empty());

    // 17 MiB announced: 413, and the server reads no more. A client that goes on sending finds
    // the connection gone long before the body is through (a server that dropped what came
    // would take all of it).
    Client big(port_);
    ASSERT_TRUE(big.send("POST /jobs HTTP/1.1\r\nHost: h\r\nContent-Length: 17825792\r\n\r\n"));
    EXPECT_EQ(big.receive_some().substr(0, 30), "HTTP/1.1 413 Payload Too Large");
    std::string block(1 << 20, 'x');
    int sent = 0;
    while (sent < 17 && big.send(block)) ++sent;
    std::printf("[ web ] after the 413, %d of 17 MiB could be sent\n", sent);
    EXPECT_LT(sent, 17);

    // Refused before its body (here: a file of the document folder cannot take a POST): the same.
    Client refused(port_);
    ASSERT_TRUE(
        refused.send("POST /tovel.html HTTP/1.1\r\nHost: h\r\nContent-Length: 10485760\r\n\r\n"));
    EXPECT_EQ(refused.receive_some().substr(0, 12), "HTTP/1.1 405");
    sent = 0;
    while (sent < 10 && refused.send(block)) ++sent;
    EXPECT_LT(sent, 10);
    EXPECT_TRUE(calls().empty());
}

TEST_F(WebServerLive, ReadableTellsAQuietClientFromAGoneOne) {
    Client c(port_);
    c.send("GET /jobnotify HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_NE(c.receive_some().find("200 OK"), std::string::npos);
    while (g_readable_quiet == -1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_readable_quiet, 0);
    c.close_now();
    while (g_readable_closed == -1) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_readable_closed, 1);
}

TEST_F(WebServerLive, StalledClientsHoldUpNoOneAndStopEndsThem) {
    // Mid-head, mid-body, and a client that does not read its 8 MiB reply; and a handler that
    // runs until the server stops.
    Client head(port_), body(port_), reader(port_, 4096), stream(port_);
    ASSERT_TRUE(stream.send("GET /webui HTTP/1.1\r\nHost: h\r\n\r\n"));
    ASSERT_TRUE(head.send("GET /login HTTP/1.1\r\nHost: h\r\nX-Part"));
    ASSERT_TRUE(body.send("POST /login HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\nabc"));
    ASSERT_TRUE(reader.send("GET /jobs/big HTTP/1.1\r\nHost: h\r\n\r\n"));
    while (!g_big_writing || !g_stream_running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::atomic<int> answered{0};
    std::vector<std::thread> others;
    for (int i = 0; i < 20; ++i) {
        others.emplace_back([&] {
            std::string r = round_trip(port_, "GET /logout HTTP/1.1\r\nHost: h\r\n\r\n");
            if (r.find("logout_callback") != std::string::npos) ++answered;
        });
    }
    for (auto& t : others) t.join();
    EXPECT_EQ(answered, 20);

    // 503 once stopping, even for a file.
    mg_set_stopping(ctx_);
    EXPECT_EQ(round_trip(port_, "GET /logout HTTP/1.1\r\nHost: h\r\n\r\n").substr(0, 12),
              "HTTP/1.1 503");
    EXPECT_EQ(round_trip(port_, "GET /tovel.html HTTP/1.1\r\nHost: h\r\n\r\n").substr(0, 12),
              "HTTP/1.1 503");

    auto begun = std::chrono::steady_clock::now();
    mg_stop(ctx_);
    ctx_ = nullptr;
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - begun)
                    .count();
    std::printf("[ web ] stop with three stalled clients took %lld ms (request time-out %d ms)\n",
                static_cast<long long>(took), kTimeoutMs);
    // The stream that never ends by itself and the stalled clients would hold the stop for good;
    // the bound is wide, as joining hundreds of workers under a sanitizer takes seconds.
    EXPECT_LT(took, 6 * kTimeoutMs);
    EXPECT_EQ(g_stream_saw_stop, 1);
    size_t handled = 0;
    for (const Call& call : calls()) handled += call.handler == "logout_callback";
    EXPECT_EQ(handled, 20u);
}

TEST_F(WebServerLive, ABusyPortFailsWithItsReason) {
    mg_context* second =
        start_context(std::make_unique<FunctionPlugin>(recording_exports()), kTimeoutMs);
    mg_set_log_callback(second, keep_log);
    std::string ports = "127.0.0.1:" + std::to_string(port_);
    ASSERT_EQ(mg_set_option(second, "ports", ports.c_str()), 1);
    EXPECT_EQ(mg_listen(second), 0);
    mg_stop(second);
    std::lock_guard<std::mutex> hold(g_log_lock);
    std::string all;
    for (auto& line : g_log) all += line + "\n";
    EXPECT_NE(all.find("Address already in use"), std::string::npos) << all;
}

// One request from the local address from to to:port; the reply, or "<no connection>".
std::string exchange_between(const char* from, const char* to, int port,
                             const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in source{}, target{};
    source.sin_family = target.sin_family = AF_INET;
    inet_pton(AF_INET, from, &source.sin_addr);
    inet_pton(AF_INET, to, &target.sin_addr);
    target.sin_port = htons(static_cast<uint16_t>(port));
    std::string reply = "<no connection>";
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        reply.clear();
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
}

// Clients on another address of the machine's network: in a network namespace of the test's own
// thread (its sockets, the engine's threads that it starts and the "ip" it runs are in there),
// where 10.9.9.9 is an address of the machine besides the loopback ones.
TEST(WebServerPeers, ClientsOfAnotherAddressAreNeitherListenedToNorServed) {
    std::string skipped;
    std::thread inside([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skipped = std::string("no network namespace of its own: ") + std::strerror(errno);
            return;
        }
        if (std::system("ip link set lo up && ip addr add 10.9.9.9/32 dev lo") != 0) {
            skipped = "no second address in the namespace (ip failed)";
            return;
        }
        auto exports = recording_exports();
        exports["auth_callback"] = reinterpret_cast<void*>(&authorize_all);
        auto serve = [&](const char* ports) {
            mg_context* ctx = start_context(std::make_unique<FunctionPlugin>(exports), kTimeoutMs);
            mg_set_log_callback(ctx, keep_log);
            EXPECT_EQ(mg_set_option(ctx, "ports", ports), 1);
            EXPECT_EQ(mg_listen(ctx), 1);
            return ctx;
        };
        // A port without an address is this machine's loopback port only.
        mg_context* plain = serve("0");
        int port = listening_ports(plain).at(0);
        EXPECT_EQ(mg_get_option(plain, "ports"), "127.0.0.1:" + std::to_string(port));
        std::string request =
            "GET /logout HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        EXPECT_EQ(exchange_between("10.9.9.9", "10.9.9.9", port, request), "<no connection>");
        EXPECT_NE(exchange_between("127.0.0.1", "127.0.0.1", port, request).find("logout_callback"),
                  std::string::npos);
        mg_stop(plain);

        // Listening on every interface, as an options file may ask: a client of the other
        // address is refused whatever its Host header says, before anything sees its request.
        mg_context* every = serve("0.0.0.0:0");
        port = listening_ports(every).at(0);
        clear_calls();
        for (const char* host : {"127.0.0.1", "localhost", "10.9.9.9"}) {
            std::string forged = "GET /logout HTTP/1.1\r\nHost: " + std::string(host) + ":" +
                                 std::to_string(port) + "\r\n\r\n";
            EXPECT_EQ(exchange_between("10.9.9.9", "10.9.9.9", port, forged).substr(0, 22),
                      "HTTP/1.1 403 Forbidden")
                << host;
            EXPECT_EQ(exchange_between("10.9.9.9", "10.9.9.9", port,
                                       "GET /tovel.html HTTP/1.1\r\nHost: " + std::string(host) +
                                           ":" + std::to_string(port) + "\r\n\r\n")
                          .substr(0, 22),
                      "HTTP/1.1 403 Forbidden")
                << host;
        }
        EXPECT_TRUE(calls().empty());
        request = "GET /logout HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        EXPECT_NE(exchange_between("127.0.0.1", "127.0.0.1", port, request).find("logout_callback"),
                  std::string::npos);
        mg_stop(every);
    });
    inside.join();
    if (!skipped.empty()) GTEST_SKIP() << skipped;
    std::lock_guard<std::mutex> hold(g_log_lock);
    std::string all;
    for (auto& line : g_log) all += line + "\n";
    EXPECT_NE(all.find("request refused: the client is not on this machine"), std::string::npos)
        << all;
}

TEST(WebServerRedirects, StartPagesCarryTheBrowsersLocale) {
    std::string error;
    auto portvane = load_plugin(TOVEL_PORTVANE_PATH, error);
    ASSERT_TRUE(portvane) << error;
    mg_context* ctx = start_context(std::move(portvane), kTimeoutMs);
    ASSERT_EQ(mg_set_option(ctx, "ports", "127.0.0.1:0"), 1);
    ASSERT_EQ(mg_listen(ctx), 1);
    int port = listening_ports(ctx).at(0);
    std::printf("[ web ] listening on 127.0.0.1:%d\n", port);

    auto location = [&](const char* uri, const char* language) {
        std::string request = std::string("GET ") + uri + " HTTP/1.1\r\nHost: h\r\n";
        if (language) request += std::string("Accept-Language: ") + language + "\r\n";
        std::string reply = round_trip(port, request + "\r\n");
        EXPECT_EQ(reply.substr(0, 33), "HTTP/1.1 307 Temporary Redirect\r\n") << reply;
        size_t at = reply.find("Location: ");
        return at == std::string::npos ? ""
                                       : reply.substr(at + 10, reply.find("\r\n", at) - at - 10);
    };
    EXPECT_EQ(location("/", nullptr), "/serverSettings.html?locale=en_US");
    EXPECT_EQ(location("/", "de-DE,de;q=0.9"), "/serverSettings.html?locale=de_DE");
    EXPECT_EQ(location("/", ","), "/serverSettings.html?locale=en_US");
    EXPECT_EQ(location("/", "zh-cn"), "/serverSettings.html?locale=zh_cn");
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", 8081));
    EXPECT_EQ(location("/", nullptr), "/tovel.html?locale=en_US");
    EXPECT_EQ(location("/", "de-DE,de;q=0.9"), "/tovel.html?locale=de_DE");
    EXPECT_EQ(location("/serversettings", "en-US,en;q=0.9"), "/serverSettings.html?locale=en_US");
    mg_stop(ctx);
}

TEST(WebServerPasswords, EntriesAreTheDigestOfUserRealmAndPassword) {
    std::string file = tovel::testing::machine_root() + "/passwords";
    mg_context* ctx = mg_start();
    ASSERT_EQ(mg_set_option(ctx, "auth_realm", "realm"), 1);
    EXPECT_EQ(mg_modify_passwords_file(ctx, file.c_str(), "u", "pw"), 1);
    EXPECT_EQ(mg_modify_passwords_file(ctx, file.c_str(), "v", "other"), 1);
    mg_stop(ctx);
    std::string digest;
    ASSERT_EQ(tovel::testing::run_command(
                  "python3 -c 'import hashlib; print(hashlib.md5(b\"u:realm:pw\").hexdigest())'",
                  &digest),
              0);
    EXPECT_NE(tovel::testing::read_host_file(file).find("u:realm:" + digest), std::string::npos)
        << tovel::testing::read_host_file(file);
}

}  // namespace
}  // namespace tovel::web::testing
