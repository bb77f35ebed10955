// The job list following a real service host: the agent runs in the console
// on the test's machine with its web server on a free port; a backup job is
// defined and started over HTTP with curl, as a user's browser would, and
// the remote-service simulator serves it slowly. The job's events reach the
// list's observer in the order the service sends them (a plain socket
// reading the same stream is the reference), and the job's pane is told
// every second while the job runs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "job/core/job_state.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "tray/job_manager.h"
#include "tray/tests/job_list_kit.h"

using tovel::starter::testing::header_of;
using tovel::starter::testing::listening_port;
using tovel::starter::testing::curl;
using tovel::starter::testing::StarterProcess;
using tovel::starter::testing::status_of;
using tovel::testing::host_of;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;
using tray_tests::pump_until;
using tray_tests::Recorder;
using tray_tests::Told;

namespace {

using Event = std::pair<std::string, int>;

// Reads "/jobnotify/" of the agent with a plain socket and keeps the
// (id, state) of every event in order, until stopped.
class StreamReader {
public:
    explicit StreamReader(unsigned short port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request =
            "GET /jobnotify/ HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        EXPECT_EQ(send(fd_, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        thread_ = std::thread([this] { run(); });
    }
    ~StreamReader() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    // True once the stream's head came: the agent tells this reader every
    // event posted from then on.
    bool registered() {
        std::lock_guard<std::mutex> guard(lock_);
        return text_.find("\r\n\r\n") != std::string::npos;
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Event> out;
        static const std::regex kEvent(
            "\\{\"id\":\"([^\"]*)\",\"name\":\"[^\"]*\",\"state\":\"([^\"]*)\"\\}");
        for (auto it = std::sregex_iterator(text_.begin(), text_.end(), kEvent);
             it != std::sregex_iterator(); ++it)
            out.emplace_back((*it)[1], jobStateFromString((*it)[2].str().c_str()));
        return out;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            std::lock_guard<std::mutex> guard(lock_);
            text_.append(buffer, static_cast<size_t>(n));
        }
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::string text_;
    std::thread thread_;
};

// From the first event of a running job on.
std::vector<Event> from_running(const std::vector<Event>& events) {
    auto first = std::find_if(events.begin(), events.end(),
                              [](const Event& e) { return e.second == JS_RUNNING; });
    return std::vector<Event>(first, events.end());
}

std::string body_of(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

// The files to back up: C:\data with a sub-folder, 15 blocks of random bytes.
void make_tree() {
    std::mt19937 random(20261209);
    auto bytes = [&random](size_t size) {
        std::string out(size, '\0');
        for (char& c : out) c = static_cast<char>(random() & 0xFF);
        return out;
    };
    std::filesystem::create_directories(host_of(L"C:\\data\\sub"));
    write_host_file(host_of(L"C:\\data\\a.bin"), bytes(2 * 131072 + 5));
    write_host_file(host_of(L"C:\\data\\b.bin"), bytes(6 * 131072));
    write_host_file(host_of(L"C:\\data\\sub\\c.bin"), bytes(4 * 131072 + 1));
    write_host_file(host_of(L"C:\\data\\sub\\d.bin"), bytes(3 * 131072 - 7));
}

}  // namespace

TEST(TrayJobListWithHost, ABackupMadeAndStartedOverHttpReachesTheObservers) {
    // Each block takes 0.3 s at the service, so that the run lasts a few seconds.
    RemoteService service({"--account", "alice:secret", "--fault",
                           R"({"kind": "upload_data", "action": "delay", "seconds": 0.3})"});
    ASSERT_NE(service.port(), 0);
    make_tree();
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:0\n");

    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    unsigned short port = listening_port(agent.output());
    ASSERT_NE(port, 0);
    auto reference = std::make_unique<StreamReader>(port);
    ASSERT_TRUE(pump_until([&] { return reference->registered(); }));

    // A fresh agent: the simulator bound, alice logged in, no job yet.
    std::string bound = curl(port, "POST", "/server", "",
                             R"({"name": "simulator", "host": "127.0.0.1", "port": )" +
                                 std::to_string(service.port()) + "}");
    ASSERT_EQ(status_of(bound), 200) << bound;
    std::string login = curl(port, "POST", "/login", "", "username=alice&userpassword=secret",
                             "application/x-www-form-urlencoded");
    std::string cookie = header_of(login, "Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    ASSERT_EQ(status_of(login), 200) << login;
    ASSERT_FALSE(cookie.empty()) << login;

    setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(port)).c_str(), 1);
    Recorder controller;
    Recorder pane;
    {
        JobManager list;
        list.init(&controller);
        EXPECT_TRUE(controller.told.empty()) << "no job yet";
        list.attach(&controller);

        // The job as the web interface defines it; its event adds it to the list.
        const std::string definition =
            R"("type":"backup","name":"Tray trial","source":["C:/data"],"schedule":{"type":"manual"})";
        std::string made = curl(port, "POST", "/jobs", cookie, "{" + definition + "}");
        ASSERT_EQ(status_of(made), 200) << made;
        std::smatch match;
        std::string answer = body_of(made);
        ASSERT_TRUE(std::regex_search(answer, match, std::regex("\"id\":\"([^\"]+)\""))) << made;
        const std::string id = match[1];
        // The list's stream may be opened after that event went out: the same
        // definition is sent again (an idle job's update, an event of its own)
        // until the list heard of the job.
        for (int round = 0; round < 30; ++round) {
            if (pump_until([&] { return !controller.told.empty(); }, 1)) break;
            curl(port, "POST", "/jobs", cookie, R"({"id":")" + id + "\"," + definition + "}");
        }
        ASSERT_FALSE(controller.told.empty()) << agent.output();
        list.attachJobObserver(&pane, id);

        std::string started = curl(port, "GET", "/jobs/" + id + "/start", cookie);
        ASSERT_EQ(status_of(started), 200) << started;
        // To the end of the run: completed, then idle again.
        ASSERT_TRUE(pump_until([&] {
            return controller.told.back().state == JS_IDLE &&
                   std::any_of(controller.told.begin(), controller.told.end(),
                               [](const Told& t) { return t.state == JS_COMPLETED; });
        })) << agent.output();
        std::vector<Event> told;
        for (const auto& t : controller.told) told.emplace_back(t.id, t.state);
        EXPECT_TRUE(
            pump_until([&] { return from_running(reference->events()) == from_running(told); }));
        EXPECT_EQ(from_running(told), from_running(reference->events()));
        EXPECT_FALSE(from_running(told).empty());
        for (const auto& t : controller.told) EXPECT_EQ(t.id, id);
        list.fini();
    }
    // The run's 15 blocks took 4.5 s or more: the pane heard of it running
    // at least 3 times besides the event that said so.
    size_t running = 0;
    for (const auto& t : pane.told) running += t.state == JS_RUNNING;
    EXPECT_GE(running, 4u) << "pane calls while running";
    unsetenv("TOVEL_WINHTTP_PORT_MAP");
    reference.reset();
}
