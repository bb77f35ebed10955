// End to end: the service host in the console with a short update schedule and the simulator
// serving a new version. The schedule starts the real updater, which downloads, checks and
// starts the installer; the installer leaves the new version's md5 text beside the programs,
// and the next periods download nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "starter/tests/starter_process.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::starter::testing::StarterProcess;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;

namespace {

// How many requests of the kind the simulator has logged.
int count(RemoteService& sim, const std::string& kind) {
    std::string text = sim.control("GET", "requests?kind=" + kind);
    int n = 0;
    for (size_t at = text.find("\"seq\""); at != std::string::npos;
         at = text.find("\"seq\"", at + 1))
        ++n;
    return n;
}

bool eventually(const std::function<bool()>& condition, int seconds = 60) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

TEST(UpdateSchedule, StartsTheUpdaterWhichInstallsTheNewVersionOnce) {
    std::string programs = host_of(L"C:\\Program Files\\Tovel");
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(programs);
    std::filesystem::create_directories(data);
    std::filesystem::create_symlink(UPDATER_PROGRAM, programs + "/updater.exe");
    write_host_file(programs + "/Tovel.exe.md5sum",
                    "00112233445566778899aabbccddeeff  Tovel.exe\n");
    // The new version's installer records its own md5 text as the installed one.
    std::string served = machine_root() + "/served.exe";
    write_host_file(served, "#!/bin/sh\necho installed >> " + machine_root() +
                                "/marker\nmd5sum \"$0\" > '" + programs +
                                "/Tovel.exe.md5sum'\nexit 0\n" + std::string(100000, '#'));
    RemoteService sim({"--installer", served});
    ASSERT_NE(sim.port(), 0);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:0\n");
    write_host_file(
        data + "/options",
        "{\"webServerHost\": \"127.0.0.1\", \"webServerPort\": " + std::to_string(sim.port()) +
            ", \"update_start_at\": 100, \"update_again_at\": 1000}");

    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    EXPECT_EQ(tovel::testing::wait_for_lines(machine_root() + "/marker", 1, 60000), "installed\n");
    std::string md5;
    tovel::testing::run_command("md5sum " + tovel::testing::shell_quote(served) + " | cut -c1-32",
                                &md5);
    EXPECT_TRUE(eventually([&] {
        return read_host_file(programs + "/Tovel.exe.md5sum").rfind(md5.substr(0, 32), 0) == 0;
    }));
    // Two more periods: each asks, none downloads.
    int asked = count(sim, "update_md5");
    EXPECT_TRUE(eventually([&] { return count(sim, "update_md5") >= asked + 2; }));
    EXPECT_EQ(count(sim, "update_download"), 1);
    EXPECT_EQ(read_host_file(machine_root() + "/marker"), "installed\n");

    // How the agent ends is the console run's tests' concern.
    agent.signal(SIGINT);
    EXPECT_NE(agent.wait(), -1);
}
