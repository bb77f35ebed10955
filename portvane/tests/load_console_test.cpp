// The web interface under load, through the agent run in the console: connections that never
// send, clients that send their head a byte a second and "/jobnotify" streams that never read
// (tools/bench/web_load.py), while an ordinary authenticated request must still be answered, the
// tray's stream must still find a slot, and everything must come back once the load goes. The
// answer times and the service's memory are printed; no time is asserted.
#include "portvane/tests/console_agent.h"
//
#include <cstdlib>
#include <iostream>

namespace portvane::testing {
namespace {

using LoadConsole = ConsoleHandlers;

TEST_F(LoadConsole, InterfaceStaysUsableUnderIdleSlowAndStalledClients) {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    std::string script = std::string(source ? source : ".") + "/tools/bench/web_load.py";
    std::string command = "python3 " + tovel::testing::shell_quote(script) + " --port " +
                          std::to_string(agent_->port()) + " --cookie " +
                          tovel::testing::shell_quote(cookie_) + " --pid " +
                          std::to_string(agent_->pid()) +
                          " --idle 500 --slow 60 --streams 50 --probes 5 --ramp 3 --hold 12 2>&1";
    std::string output;
    int status = tovel::testing::run_command(command, &output);
    std::cout << output << std::flush;
    EXPECT_EQ(status, 0) << "the load run found a fault (see its FAILED lines above)";
    EXPECT_NE(output.find("answered in "), std::string::npos);
    EXPECT_NE(output.find("memory (VmRSS): before "), std::string::npos);

    // The agent itself is still whole: it answers and the jobs handler works for its user.
    WebReply jobs = ask("GET", "/jobsview");
    EXPECT_EQ(jobs.status, 200) << jobs.body;
}

}  // namespace
}  // namespace portvane::testing
