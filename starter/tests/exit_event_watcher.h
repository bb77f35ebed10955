// A tray's view of the service host's exit event, in a process of its own:
// this test program run again as a child on the test's machine.
#pragma once

#include <string>

#include "tools/testkit/child_process.h"

namespace tovel::starter::testing {

class ExitEventWatcher {
public:
    // Opens the event by name once the agent has made it; early: makes it
    // first (an agent that ends at once then still sets the event held here);
    // asNobody: as another user than the test's (nobody), which then also
    // tries to set the event and to open it for setting, and reports each
    // refusal before it waits (refused()).
    explicit ExitEventWatcher(bool early = false, bool asNobody = false);
    // The watcher's report of its tries as another user: "set 5 open 5" when
    // both were refused with ERROR_ACCESS_DENIED (within a minute).
    std::string refused();
    // Whether the watcher holds the event (within a minute).
    bool opened();
    // Whether the watcher saw the event set within timeoutMs.
    bool set(int timeoutMs = 60000);

private:
    bool next(const std::string& word, int timeoutMs);

    tovel::testing::ChildProcess process_;
};

}  // namespace tovel::starter::testing
