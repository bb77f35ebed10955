// "make run" as a new user tries it: the launcher (tools/run_agent.py) starts
// the simulator with one account, points the agent at it and runs the agent
// in the console; the web interface answers at the printed address; Ctrl-C
// stops the agent, then the simulator, and no process of the run is left,
// also after a start that fails.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "starter/tests/backup_fixture.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/machine_fixture.h"

using namespace tovel::starter::testing;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

std::string source(const std::string& path) {
    const char* folder = std::getenv("TOVEL_SOURCE_DIR");
    return std::string(folder ? folder : ".") + "/" + path;
}

// The processes of this host but the launcher whose command line or
// environment names the test's machine: the agent and the simulator.
std::vector<pid_t> processes_of_the_machine(pid_t launcher) {
    std::vector<pid_t> out;
    std::string root = machine_root();
    DIR* proc = opendir("/proc");
    while (dirent* entry = readdir(proc)) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0 || pid == getpid() || pid == launcher) continue;
        std::string base = std::string("/proc/") + entry->d_name;
        std::string text = read_host_file(base + "/cmdline") + read_host_file(base + "/environ");
        std::string status = read_host_file(base + "/status");
        if (status.find("State:\tZ") != std::string::npos) continue;
        if (text.find(root) != std::string::npos) out.push_back(pid);
    }
    closedir(proc);
    return out;
}

StarterProcess launcher() {
    return StarterProcess({source("tools/run_agent.py"), "--program", starter_program(), "--conf",
                           source("mongoose.conf")},
                          {}, "python3", true);
}

// The run on a machine whose options file asks for any free port (the
// shipped one, 8888, is copied only when there is none).
TEST(MakeRun, AsANewUserTriesIt) {
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:0\n");
    StarterProcess run = launcher();
    // The line after the address: the address's own line is then whole.
    size_t address = run.waitFor("Ctrl-C stops the agent");
    ASSERT_NE(address, std::string::npos) << run.output() << run.errors();
    std::string output = run.output();
    EXPECT_TRUE(std::regex_search(output, std::regex("Account: demo, password [0-9a-f]+\n")))
        << output;
    unsigned short port = listening_port(output);
    ASSERT_NE(port, 0);
    EXPECT_NE(output.find("Web interface: http://127.0.0.1:" + std::to_string(port) + "/\n"),
              std::string::npos);

    std::string english = http_get(port, "/");
    EXPECT_EQ(status_of(english), 307) << english;
    EXPECT_EQ(header_of(english, "Location"), "/tovel.html?locale=en_US");
    std::string german = http_get(port, "/", "Accept-Language: de-DE,de;q=0.9\r\n");
    EXPECT_EQ(status_of(german), 307) << german;
    EXPECT_EQ(header_of(german, "Location"), "/tovel.html?locale=de_DE");
    // Where the redirect leads: the checkout's pages.
    for (const char* page : {"/tovel.html?locale=en_US", "/serverSettings.html", "/ui/agent.js"}) {
        std::string reply = http_get(port, page);
        EXPECT_EQ(status_of(reply), 200) << page << reply;
        EXPECT_EQ(header_of(reply, "Content-Security-Policy"), "default-src 'self'") << reply;
    }
    EXPECT_NE(http_get(port, "/tovel.html").find("ui/main.js"), std::string::npos);

    // The agent's settings name the simulator, which knows the account.
    std::string settings = read_host_file(data + "/options");
    std::smatch simulator;
    ASSERT_TRUE(std::regex_search(output, simulator,
                                  std::regex("remote service: http://127\\.0\\.0\\.1:([0-9]+)/")));
    EXPECT_NE(settings.find("\"webServerPort\": " + simulator[1].str()), std::string::npos)
        << settings;
    pid_t pid = run.pid();
    EXPECT_EQ(processes_of_the_machine(pid).size(), 2u) << "the agent and the simulator";

    run.signalGroup(SIGINT);
    EXPECT_EQ(run.wait(), 0) << run.output() << run.errors();
    output = run.output();
    size_t done = output.find("Exiting on signal 2, waiting for all threads to finish... done.\n");
    EXPECT_NE(done, std::string::npos) << output;
    EXPECT_GT(output.find("The simulator has ended."), done);
    EXPECT_TRUE(processes_of_the_machine(pid).empty());
}

// A port that is taken: the agent's start fails, the launcher says so and
// ends with a non-zero status, and the simulator is gone too.
TEST(MakeRun, PortInUseLeavesNothingRunning) {
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 4), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    write_host_file(data + "/mongoose.conf",
                    "ports 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\n");
    StarterProcess run = launcher();
    pid_t pid = run.pid();
    EXPECT_EQ(run.wait(), 1);
    EXPECT_NE(run.errors().find("is the web interface's port in use?"), std::string::npos)
        << run.errors();
    EXPECT_NE(run.output().find("The simulator has ended."), std::string::npos);
    EXPECT_TRUE(processes_of_the_machine(pid).empty());
    close(taken);
}

}  // namespace
