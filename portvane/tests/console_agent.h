// The service host run in the console ("starter -d") as a child process on a machine root of the
// test's (its own, or a second one beside it), listening on 127.0.0.1:0, with curl to talk to it
// as a browser or a script does. The test binds it to a remote-service simulator and logs in.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "portvane/tests/web_fixture.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

namespace portvane::testing {

// The curl output reader of the in-process fixture.
struct CurlReader : WebFixture {
    using WebFixture::parse_curl;
};

class ConsoleAgent {
public:
    // Starts the agent on root (the test's own machine root when empty), with more lines of
    // its options file when given, from program (the build's starter when empty); a start that
    // fails is a test failure and leaves port() 0.
    explicit ConsoleAgent(const std::string& root = "", const std::string& moreOptions = "",
                          const std::string& program = "") {
        root_ = root.empty() ? tovel::testing::machine_root() : root;
        std::string data = root_ + "/drives/c/ProgramData/morvask/Tovel";
        std::filesystem::create_directories(data);
        tovel::testing::write_host_file(data + "/mongoose.conf",
                                        "ports 127.0.0.1:0\n" + moreOptions);
        std::vector<std::string> environment;
        if (!root.empty()) environment.push_back("TOVEL_ROOT=" + root_);
        process_ = std::make_unique<tovel::starter::testing::StarterProcess>(
            std::vector<std::string>{"-d"}, environment,
            program.empty() ? tovel::starter::testing::starter_program() : program);
        if (process_->waitFor("serving directory [") == std::string::npos) {
            ADD_FAILURE() << "the agent did not start: " << process_->errors();
            return;
        }
        port_ = tovel::starter::testing::listening_port(process_->output());
        EXPECT_NE(port_, 0) << process_->output();
    }
    ~ConsoleAgent() {
        if (process_ && process_->running()) {
            process_->signal(SIGTERM);
            process_->wait(60000);
        }
    }
    ConsoleAgent(const ConsoleAgent&) = delete;
    ConsoleAgent& operator=(const ConsoleAgent&) = delete;

    unsigned short port() const { return port_; }
    // The service host's process (-1 when it did not start).
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    const std::string& root() const { return root_; }
    // The host path of a Windows path of this agent's machine ("C:\k" -> <root>/drives/c/k).
    std::string host(const std::string& windowsPath) const {
        std::string rest = windowsPath.substr(2);
        for (char& c : rest)
            if (c == '\\') c = '/';
        return root_ + "/drives/" + static_cast<char>(windowsPath[0] | 0x20) + rest;
    }

    // curl with "-s -i --max-time 60 --path-as-is" and the arguments (a path starting with "/"
    // is taken on this agent).
    WebReply curl(const std::vector<std::string>& arguments) const {
        std::string command = "curl -s -i --max-time 60 --path-as-is";
        for (const std::string& a : arguments) {
            std::string word =
                !a.empty() && a[0] == '/' ? "http://127.0.0.1:" + std::to_string(port_) + a : a;
            command += " " + tovel::testing::shell_quote(word);
        }
        std::string output;
        tovel::testing::run_command(command, &output);
        return CurlReader::parse_curl(output);
    }
    // A request with a JSON body (none when body is empty) and the cookie (none when empty).
    WebReply ask(const std::string& method, const std::string& path, const std::string& cookie,
                 const std::string& body = "") const {
        std::vector<std::string> arguments = {"-X", method};
        if (!cookie.empty()) arguments.insert(arguments.end(), {"-H", "Cookie: " + cookie});
        if (!body.empty())
            arguments.insert(arguments.end(),
                             {"-H", "Content-Type: application/json", "--data-binary", body});
        arguments.push_back(path);
        return curl(arguments);
    }

    // Binds the simulator on port and logs user in; the browser's session cookie.
    std::string bindAndLogin(unsigned short servicePort, const std::string& user,
                             const std::string& password) const {
        WebReply bound = ask("POST", "/server", "",
                             "{\"name\": \"sim\", \"host\": \"127.0.0.1\", \"port\": " +
                                 std::to_string(servicePort) + "}");
        EXPECT_EQ(bound.status, 200) << bound.body;
        WebReply in = curl({"-X", "POST", "--data-binary",
                            "username=" + user + "&userpassword=" + password, "/login"});
        EXPECT_EQ(in.status, 200) << in.body;
        return in.session();
    }

private:
    std::string root_;
    std::unique_ptr<tovel::starter::testing::StarterProcess> process_;
    unsigned short port_ = 0;
};

// A fresh machine with the simulator (alice:secret, bob:hunter2) and the agent in the console,
// bound to it, alice logged in (cookie_).
class ConsoleHandlers : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<tovel::testing::RemoteService>(
            std::vector<std::string>{"--account", "alice:secret", "--account", "bob:hunter2"});
        ASSERT_NE(service_->port(), 0);
        prepareMachine();
        agent_ = std::make_unique<ConsoleAgent>("", "", program());
        ASSERT_NE(agent_->port(), 0);
        cookie_ = agent_->bindAndLogin(service_->port(), "alice", "secret");
        ASSERT_FALSE(cookie_.empty());
    }
    void TearDown() override {
        agent_.reset();
        service_.reset();
    }
    // What a test changes on the machine before the agent starts.
    virtual void prepareMachine() {}
    // The host path of the starter program to run (the build's when empty).
    virtual std::string program() { return ""; }

    WebReply ask(const std::string& method, const std::string& path,
                 const std::string& body = "") const {
        return agent_->ask(method, path, cookie_, body);
    }
    WebReply askWithout(const std::string& method, const std::string& path,
                        const std::string& body = "") const {
        return agent_->ask(method, path, "", body);
    }
    int seen(const std::string& kind) {
        return std::stoi(tovel::testing::python_with_input(
            "import json, sys\nprint(len(json.load(sys.stdin)['requests']))",
            service_->control("GET", "requests?kind=" + kind)));
    }

    std::unique_ptr<tovel::testing::RemoteService> service_;
    std::unique_ptr<ConsoleAgent> agent_;
    std::string cookie_;
};

}  // namespace portvane::testing
