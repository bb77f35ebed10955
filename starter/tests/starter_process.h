// The starter program as a test's child process, in the test's machine: its
// standard output read through a pipe, its standard error kept in a file of
// the machine's root.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

namespace tovel::starter::testing {

// The starter program of this build.
std::string starter_program();

class StarterProcess {
public:
    // Starts the program with arguments (after its name) and extra
    // environment "NAME=value" texts, on the test's TOVEL_ROOT; another
    // program when one is given, in a process group of its own with
    // ownGroup. A start that fails is a test failure.
    explicit StarterProcess(const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment = {},
                            const std::string& program = starter_program(), bool ownGroup = false);
    // Kills the process if it still runs and reaps it.
    ~StarterProcess();
    StarterProcess(const StarterProcess&) = delete;
    StarterProcess& operator=(const StarterProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits until the standard output holds text (at or after from); the
    // offset just after it, or std::string::npos after timeoutMs or at the
    // output's end.
    size_t waitFor(const std::string& text, int timeoutMs = 60000, size_t from = 0);
    // What the program wrote so far on standard output and standard error.
    std::string output();
    std::string errors() const;
    void signal(int number);
    // The signal to the process's whole group (as a terminal's Ctrl-C).
    void signalGroup(int number);
    // Waits for the end and gives the exit status (0 to 255), 1000 + the
    // signal that ended it, or -1 after timeoutMs (the process is then killed).
    int wait(int timeoutMs = 120000);
    bool running() const { return pid_ > 0; }

    // Fills the pipe of the program's standard output (from a thread of
    // this process) so that the program's next write to it blocks until the
    // test reads again (waitFor, output, wait). The filling bytes are not
    // part of output().
    void jamOutput();

private:
    // Reads what is there within timeoutMs; false at the output's end.
    bool fill(int timeoutMs);

    pid_t pid_ = -1;
    bool ownGroup_ = false;
    int from_ = -1;
    int writeEnd_ = -1;  // this process's copy of the program's standard output
    std::thread filler_;
    std::string errorFile_;
    std::string output_;
    int status_ = -1;
};

// The exit code of a finished child ("<n>" or "signal <n>").
std::string exit_text(int status);

}  // namespace tovel::starter::testing
