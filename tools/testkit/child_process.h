// This test program run again as a child process: only the given (usually
// DISABLED_) test runs in it, with extra environment variables, and talks to
// the parent through lines on its standard input and output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tovel::testing {

class ChildProcess {
public:
    // environment: "NAME=value" texts added to the parent's environment.
    ChildProcess(const std::string& test, const std::vector<std::string>& environment);
    // Kills the child if it still runs, reaps it and closes the pipes.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes one line to the child's standard input.
    void send(const std::string& line);
    // The next line of the child's output that wanted accepts (others pass
    // by), "<timeout>" after timeoutMs, "<closed>" when the output ends.
    std::string next(const std::function<bool(const std::string&)>& wanted, int timeoutMs);
    // Kills and reaps the child; its wait status (-1 when none ran).
    int kill_and_reap();

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffer_;
};

}  // namespace tovel::testing
