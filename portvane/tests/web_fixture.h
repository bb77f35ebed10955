// The agent's web interface end to end, for tests that drive it as a browser or curl does: the
// web server listening on 127.0.0.1:0 with the plug-in loaded from the programs' folder as the
// service host loads it (the test program lies in that folder), the real job manager and
// dispatcher on the test's fresh machine, and the remote-service simulator as a child with the
// accounts alice:secret and bob:hunter2. Nothing is bound at the start, as on a fresh agent.
//
// A test program that uses it is built into the programs' folder (see tests/CMakeLists.txt).
// Everything runs on the test's thread but the server's workers and the job engine's threads.
#pragma once

#include "job/runs/backup_job.h"
//
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/backup_job_definition.h"
#include "portvane/tests/reply_head.h"
#include "starter/webserver/mongoose.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/job_waits.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

namespace portvane::testing {

// A reply as curl received it: the last head's status, reason and headers (by lower-case name),
// and the body as it came on the wire (chunked bodies with their size lines when asked for raw).
struct WebReply : ReplyHead {
    std::string body;

    // The name=value of the Set-Cookie header, without its attributes ("" when none).
    std::string session() const {
        std::string cookie = header("set-cookie");
        return cookie.substr(0, cookie.find(';'));
    }
};

class WebFixture : public ::testing::Test {
protected:
    // What a test may change in its constructor, before SetUp.
    std::vector<std::string> serviceArguments_ = {"--account", "alice:secret", "--account",
                                                  "bob:hunter2"};
    std::string documentRoot_;  // "" for an empty folder "www" in the machine root

    void SetUp() override {
        if (documentRoot_.empty()) {
            documentRoot_ = tovel::testing::machine_root() + "/www";
            std::filesystem::create_directories(documentRoot_);
        }
        service_ = std::make_unique<tovel::testing::RemoteService>(serviceArguments_);
        ASSERT_NE(service_->port(), 0);
        servicePort_ = service_->port();
        // The service host's order: the job engine first, then the web server.
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        server_ = tovel::web::mg_start();
        ASSERT_NE(server_, nullptr);
        tovel::web::mg_set_log_callback(server_, &WebFixture::keep_log);
        ASSERT_EQ(tovel::web::mg_set_option(server_, "ports", "127.0.0.1:0"), 1);
        ASSERT_EQ(tovel::web::mg_set_option(server_, "root", documentRoot_.c_str()), 1);
        ASSERT_EQ(tovel::web::mg_listen(server_), 1) << server_log();
        std::string ports = tovel::web::mg_get_option(server_, "ports");
        port_ = std::stoi(ports.substr(ports.rfind(':') + 1));
        std::printf("[ web ] the agent listens on 127.0.0.1:%d, the simulator on %u\n", port_,
                    static_cast<unsigned>(servicePort_));
    }

    void TearDown() override {
        if (server_) {
            tovel::web::mg_set_stopping(server_);
            tovel::web::mg_stop(server_);  // unloads the plug-in once every worker ended
            server_ = nullptr;
        }
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        service_.reset();
    }

    // The agent's port and the base of its URLs ("http://127.0.0.1:<port>").
    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // The simulator (null once stopped) and the port it had.
    tovel::testing::RemoteService* service() { return service_.get(); }
    unsigned short servicePort() const { return servicePort_; }
    // Stops the simulator; the agent's options still name it.
    void stopService() { service_.reset(); }

    // Runs curl with the given arguments after "-s -i --max-time 60" (each one shell-quoted;
    // a path starting with "/" is taken under base()), and reads its reply.
    WebReply curl(const std::vector<std::string>& arguments) {
        std::string command = "curl -s -i --max-time 60";
        for (const std::string& a : arguments) {
            command +=
                " " + tovel::testing::shell_quote(!a.empty() && a[0] == '/' ? base() + a : a);
        }
        std::string output;
        tovel::testing::run_command(command, &output);
        return parse_curl(output);
    }
    WebReply get(const std::string& path, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments = extra;
        arguments.push_back(path);
        return curl(arguments);
    }
    // A POST of body (a form unless the content type says otherwise).
    WebReply post(const std::string& path, const std::string& body,
                  const std::vector<std::string>& extra = {},
                  const std::string& contentType = "application/x-www-form-urlencoded") {
        std::vector<std::string> arguments = {
            "-X", "POST", "-H", "Content-Type: " + contentType, "--data-binary", body};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        arguments.push_back(path);
        return curl(arguments);
    }
    // The "Cookie" header argument pair for curl.
    static std::vector<std::string> withCookie(const std::string& cookie) {
        return {"-H", "Cookie: " + cookie};
    }

    // Binds the simulator as a fresh agent's server (POST /server, no cookie needed then).
    void bindService() {
        WebReply r = post("/server",
                          "{\"name\": \"simulator\", \"host\": \"127.0.0.1\", \"port\": " +
                              std::to_string(servicePort_) + "}",
                          {}, "application/json");
        ASSERT_EQ(r.status, 200) << r.body;
    }
    // Logs the user in by form POST; the session cookie the browser was given ("" on failure).
    std::string login(const std::string& user, const std::string& password) {
        return post("/login", "username=" + user + "&userpassword=" + password).session();
    }

    // Submits a backup job of one folder of the machine that runs once at once: to the remote
    // service on the user's stored session cookie when offline is empty, else into that folder.
    void submitBackup(const std::string& id, const std::string& user, const std::string& source,
                      const std::string& offline = "") {
        auto* definition = new BackupJobDefinition;
        json_spirit::Object object{{"type", "backup"},
                                   {"id", id},
                                   {"user", user},
                                   {"name", "Web " + id},
                                   {"source", json_spirit::Array{json_spirit::Value(source)}},
                                   {"compression", true},
                                   {"schedule", json_spirit::Object{{"type", "once"}}}};
        if (!offline.empty()) object["offline"] = offline;
        ASSERT_TRUE(definition->fromJSON(json_spirit::Value(object)));
        ASSERT_TRUE(manager_->submitJob(definition));
    }
    // Waits (at most two minutes) until the job's run has ended; the state it is left in.
    int waitForEnd(const std::string& id) {
        return tovel::testing::wait_for_run_end(*manager_, id).state;
    }

    // How many requests of a kind the simulator saw (it must be running).
    int seen(const std::string& kind) {
        return std::stoi(tovel::testing::python_with_input(
            "import json, sys\nprint(len(json.load(sys.stdin)['requests']))",
            service_->control("GET", "requests?kind=" + kind)));
    }
    // What the web server logged so far.
    static std::string server_log() {
        std::lock_guard<std::mutex> hold(logLock());
        std::string all;
        for (const std::string& line : logLines()) all += line + "\n";
        return all;
    }

    static WebReply parse_curl(const std::string& output) {
        WebReply r;
        size_t at = 0;
        // Heads of interim replies (100 Continue) come first; the last head is the reply's.
        for (;;) {
            size_t end = output.find("\r\n\r\n", at);
            if (end == std::string::npos) return r;
            std::string head = output.substr(at, end - at);
            at = end + 4;
            r = WebReply{};
            parse_head(head, r);
            if (r.status >= 200 || r.status == 0) break;
        }
        r.body = output.substr(at);
        return r;
    }

    JobManagerImpl* manager_ = nullptr;

private:
    static std::mutex& logLock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& logLines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static void keep_log(tovel::web::mg_connection*, const tovel::web::mg_request_info*,
                         const char* message) {
        std::lock_guard<std::mutex> hold(logLock());
        logLines().push_back(message ? message : "");
    }

    std::unique_ptr<tovel::testing::RemoteService> service_;
    unsigned short servicePort_ = 0;
    tovel::web::mg_context* server_ = nullptr;
    int port_ = 0;
};

}  // namespace portvane::testing
