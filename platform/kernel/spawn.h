// Starting host programs as child processes, for the layer's own code
// (CreateProcessW, the service control). Internal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovel::platform {

struct SpawnPlan {
    // arguments[0] is the program: a host path, or a name looked up on PATH
    // when search_path is set.
    std::vector<std::string> arguments;
    bool search_path = false;
    // "NAME=value" texts; this process's environment when unset.
    std::optional<std::vector<std::string>> environment;
    // A session of its own (no controlling terminal).
    bool own_session = false;
    // The child's current folder; this process's when empty.
    std::string folder;
    // Descriptors of this process given to the child: (descriptor here,
    // number in the child). Standard streams not named here are inherited.
    std::vector<std::pair<int, int>> descriptors;
};

// Starts the program with every signal at its default action and none
// blocked, and with no descriptor of this process but the standard three and
// those of plan.descriptors (close-on-exec or not). 0 with *pid set, or the
// errno of the failure. The caller reaps the child.
int spawn_program(const SpawnPlan& plan, pid_t* pid);

// The same, but a thread of the layer reaps the child when it ends: the
// caller must never wait for it. A child is never made that no thread reaps.
int spawn_reaped(const SpawnPlan& plan, pid_t* pid);

// The environment of this process with the variables of `names` left out.
std::vector<std::string> environment_without(const std::vector<std::string>& names);

}  // namespace tovel::platform
