// A tray's view of the service host's exit event, in a process of its own:
// this test program run again as a child on the test's machine.
#pragma once

#include <string>

#include "tools/testkit/child_process.h"

namespace tovel::starter::testing {

class ExitEventWatcher {
public:
    // Opens the event by name once the agent has made it; early: makes it
    // first (an agent that ends at once then still sets the event held here).
    explicit ExitEventWatcher(bool early = false);
    // Whether the watcher holds the event (within a minute).
    bool opened();
    // Whether the watcher saw the event set within timeoutMs.
    bool set(int timeoutMs = 60000);

private:
    bool next(const std::string& word, int timeoutMs);

    tovel::testing::ChildProcess process_;
};

}  // namespace tovel::starter::testing
