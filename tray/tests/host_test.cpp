// The job list following a real service host: the agent runs in the console
// on the test's machine with its web server on a free port, and resumes a
// backup job that the remote-service simulator serves slowly. The job's
// events reach the list's observer in the order the service sends them (a
// plain socket reading the same stream is the reference), and the job's
// pane is told every second while the job runs.
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
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "job/job_state.h"
#include "starter/tests/backup_fixture.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "tray/job_manager.h"
#include "tray/tests/job_list_kit.h"

using tovel::starter::testing::kJobId;
using tovel::starter::testing::listening_port;
using tovel::starter::testing::StarterProcess;
using tovel::testing::host_of;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;
using tray_tests::pump_until;
using tray_tests::Recorder;

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

}  // namespace

TEST(TrayJobListWithHost, AResumedBackupReachesTheObservers) {
    // The run waits 2 s in its increment check, so that both listeners are
    // there before it runs, and each block takes 0.3 s, so that it runs a
    // few seconds.
    std::vector<std::string> arguments = tovel::starter::testing::backup_service_arguments();
    for (const char* fault : {R"({"kind": "increment_check", "action": "delay", "seconds": 2})",
                              R"({"kind": "upload_data", "action": "delay", "seconds": 0.3})"}) {
        arguments.push_back("--fault");
        arguments.push_back(fault);
    }
    RemoteService service(arguments);
    tovel::starter::testing::prepare_interrupted_backup(service);
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:0\n");

    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    unsigned short port = listening_port(agent.output());
    ASSERT_NE(port, 0);
    auto reference = std::make_unique<StreamReader>(port);
    setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(port)).c_str(), 1);

    Recorder controller;
    Recorder pane;
    {
        JobManager list;
        list.init(&controller);
        ASSERT_EQ(controller.told.size(), 1u) << "the job's first report";
        EXPECT_EQ(controller.told[0].id, kJobId);
        controller.told.clear();
        list.attach(&controller);
        list.attachJobObserver(&pane, kJobId);

        // To the end of the run: completed, then idle again.
        ASSERT_TRUE(pump_until([&] {
            return !controller.told.empty() && controller.told.back().state == JS_IDLE;
        })) << agent.output();
        std::vector<Event> told;
        for (const auto& t : controller.told) told.emplace_back(t.id, t.state);
        EXPECT_TRUE(
            pump_until([&] { return from_running(reference->events()) == from_running(told); }));
        EXPECT_EQ(from_running(told), from_running(reference->events()));
        EXPECT_FALSE(from_running(told).empty());
        for (const auto& t : controller.told) EXPECT_EQ(t.id, kJobId);
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
