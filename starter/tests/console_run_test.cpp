// The agent run in the console ("starter -d") as a real process on a fresh
// machine: its start-up and shutdown lines, the exit event as another process
// sees it, requests during the shutdown, a signal during the start, and the
// starts that fail (a port in use, an option the web server refuses).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "job/core/job_state.h"
#include "platform/win32.h"
#include "starter/tests/backup_fixture.h"
#include "starter/tests/exit_event_watcher.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using namespace tovel::starter::testing;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;

namespace {

std::string data_folder() { return host_of(L"C:\\ProgramData\\morvask\\Tovel"); }

// A Python string literal of text.
std::string python_text(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out + "'";
}

// The web server's options file of the machine: any free loopback port.
std::string write_options(const std::string& more = "") {
    std::filesystem::create_directories(data_folder());
    std::string path = data_folder() + "/mongoose.conf";
    write_host_file(path, "ports 127.0.0.1:0\n" + more);
    return path;
}

const std::regex kStarted(
    "Mongoose [^ ]+ started on port\\(s\\) \\[127\\.0\\.0\\.1:[0-9]+\\], serving directory "
    "\\[\\]\n");

class ConsoleSignal : public ::testing::TestWithParam<int> {};

// The run as a console user sees it: the options file loaded, the server's
// address and folder, and on SIGINT or SIGTERM the shutdown line and its
// end. Another process sees the exit event set before the end: the signal
// sets it at once. The program is held at its shutdown line (its output is
// not read meanwhile), where the job engine is closed and the server still
// runs, but answers 503. Exit status 0.
TEST_P(ConsoleSignal, ShutsDownInOrder) {
    int number = GetParam();
    std::string options = write_options();
    // The update schedule tries (and fails) to start the updater every 20 ms,
    // which logs at LM_TRACE.
    write_host_file(data_folder() + "/options",
                    R"({"update_start_at": 20, "update_again_at": 20})");
    ExitEventWatcher watcher;
    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    ASSERT_NE(agent.waitFor("]\n"), std::string::npos);
    std::string started = agent.output();
    EXPECT_EQ(started.rfind("Loading config file " + options + "\n", 0), 0u) << started;
    EXPECT_TRUE(std::regex_search(started, kStarted)) << started;
    unsigned short port = listening_port(started);
    ASSERT_NE(port, 0);
    EXPECT_EQ(status_of(http_get(port, "/")), 307);
    ASSERT_TRUE(watcher.opened());

    agent.jamOutput();
    agent.signal(number);
    ASSERT_TRUE(watcher.set()) << "the signal sets the exit event";
    // The agent stops at its shutdown line, after the job engine has closed
    // and before the server stops: requests then get 503, none is refused.
    std::string reply;
    EXPECT_TRUE(eventually([&] {
        reply = http_get(port, "/");
        return status_of(reply) != 307;
    }));
    EXPECT_EQ(status_of(reply), 503) << reply;
    EXPECT_EQ(status_of(http_get(port, "/")), 503);
    EXPECT_EQ(agent.output().find(" done."), std::string::npos);

    std::string last = "Exiting on signal " + std::to_string(number) +
                       ", waiting for all threads to finish... done.\n";
    EXPECT_NE(agent.waitFor(last), std::string::npos) << agent.output();
    EXPECT_EQ(agent.wait(), 0);
    EXPECT_EQ(http_get(port, "/"), "") << "the server has stopped";
    // The log as python3 reads it: the agent's LM_DEBUG lines, no LM_TRACE line.
    EXPECT_EQ(
        tovel::testing::python("import sys\n"
                               "text = open(" +
                               python_text(data_folder() + "/agent.log") +
                               ", 'rb').read().decode()\n"
                               "print(text.count('@LM_DEBUG@') >= 2, text.count('@LM_TRACE@'))"),
        "True 0");
}

INSTANTIATE_TEST_SUITE_P(ConsoleRun, ConsoleSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGINT ? "Interrupt" : "Terminate";
                         });

// A signal that comes while the agent still starts (here once it has read
// its options) ends the run as soon as its message loop runs: the loop's
// thread had its queue, and its id was known, before signals were taken.
// A tray of another user may wait on the exit event that the agent made, but may neither set
// it (which would close every tray) nor open it to set it; it sees the agent's own set.
TEST(ConsoleRun, AnotherUserMayOnlyWaitOnTheExitEvent) {
    write_options();
    ASSERT_EQ(chmod(machine_root().c_str(), 0755), 0);  // for the other user to reach it
    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    ExitEventWatcher watcher(false, true);
    ASSERT_TRUE(watcher.opened());
    EXPECT_EQ(watcher.refused(), "set 5 open 5");
    agent.signal(SIGTERM);
    EXPECT_TRUE(watcher.set());
    EXPECT_EQ(agent.wait(), 0);
}

TEST(ConsoleRun, SignalDuringTheStartEndsTheRun) {
    write_options();
    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("Loading config file"), std::string::npos) << agent.errors();
    agent.signal(SIGINT);
    EXPECT_EQ(agent.wait(60000), 0) << agent.output() << agent.errors();
    EXPECT_NE(
        agent.output().find("Exiting on signal 2, waiting for all threads to finish... done.\n"),
        std::string::npos)
        << agent.output();
}

// A listening port that is taken: the web server's reason on standard error,
// the start's failure line, exit status 1, and the exit event set for the
// trays.
TEST(ConsoleRun, PortInUseEndsTheStart) {
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 4), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::filesystem::create_directories(data_folder());
    write_host_file(data_folder() + "/mongoose.conf",
                    "ports 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\n");
    ExitEventWatcher watcher(true);
    ASSERT_TRUE(watcher.opened());
    StarterProcess agent({"-d"});
    EXPECT_EQ(agent.wait(), 1);
    EXPECT_NE(agent.output().find("Cannot initialize Mongoose context\n"), std::string::npos)
        << agent.output();
    EXPECT_EQ(agent.output().find("started on port"), std::string::npos);
    EXPECT_NE(agent.errors().find(std::to_string(ntohs(address.sin_port))), std::string::npos)
        << agent.errors();
    EXPECT_TRUE(watcher.set());
    close(taken);
}

// An option that the web server refuses ends the start after the job engine
// has restarted an interrupted run: the run is paused (as the system pauses
// it, not by hand) before the process ends with status 1, and the option is
// named.
TEST(ConsoleRun, RefusedOptionClosesTheRestartedJobs) {
    RemoteService service(backup_service_arguments());
    // The restarted run waits in its first request until it is paused.
    service.control("POST", "faults", R"({"kind":"start_job","action":"stall","at":"request"})");
    prepare_interrupted_backup(service);
    write_options("no_such_option 12\n");
    ExitEventWatcher watcher(true);
    ASSERT_TRUE(watcher.opened());
    StarterProcess agent({"-d"});
    EXPECT_EQ(agent.wait(), 1);
    EXPECT_TRUE(watcher.set());
    EXPECT_NE(agent.errors().find("refused option no_such_option \"12\""), std::string::npos)
        << agent.errors();
    RecordView record = job_record();
    EXPECT_EQ(record->state, JS_PAUSED) << read_host_file(data_folder() + "/agent.log");
    EXPECT_EQ(record->pausedManually, 0u);
}

}  // namespace
