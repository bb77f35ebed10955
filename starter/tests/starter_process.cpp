#include "starter/tests/starter_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tools/testkit/machine_fixture.h"

extern char** environ;

namespace tovel::starter::testing {

using tovel::testing::machine_root;
using tovel::testing::read_host_file;

namespace {

// The bytes that jamOutput fills the pipe with.
constexpr char kFill = '\x01';

}  // namespace

std::string starter_program() { return STARTER_PROGRAM; }

StarterProcess::StarterProcess(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::string& program, bool ownGroup) {
    static std::atomic<int> count{0};
    errorFile_ = machine_root() + "/starter-" + std::to_string(++count) + ".err";
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    int error = open(errorFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, error, 2);
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ownGroup_ = ownGroup;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    EXPECT_EQ(
        posix_spawnp(&pid_, words[0].c_str(), &actions, &attributes, argv.data(), envp.data()), 0);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd_ = out[1];
    close(error);
    close(input);
    from_ = out[0];
}

StarterProcess::~StarterProcess() {
    if (pid_ > 0) {
        kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (from_ >= 0) close(from_);
    from_ = -1;
    if (filler_.joinable()) filler_.join();  // its write fails once nobody reads
    if (writeEnd_ >= 0) close(writeEnd_);
}

void StarterProcess::jamOutput() {
    ASSERT_GE(writeEnd_, 0);
    ASSERT_FALSE(filler_.joinable());
    int fd = writeEnd_;
    filler_ = std::thread([fd] {
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
        std::string blob(1 << 20, kFill);
        size_t done = 0;
        while (done < blob.size()) {
            ssize_t n = write(fd, blob.data() + done, blob.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    });
    // Full: the pipe has no room left for a writer.
    for (;;) {
        pollfd p{writeEnd_, POLLOUT, 0};
        if (poll(&p, 1, 0) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool StarterProcess::fill(int timeoutMs) {
    if (from_ < 0) return false;
    pollfd p{from_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return true;
    char chunk[4096];
    ssize_t n = read(from_, chunk, sizeof chunk);
    if (n <= 0) {
        close(from_);
        from_ = -1;
        return false;
    }
    for (ssize_t i = 0; i < n; ++i)
        if (chunk[i] != kFill) output_ += chunk[i];
    return true;
}

size_t StarterProcess::waitFor(const std::string& text, int timeoutMs, size_t from) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t found = output_.find(text, from);
        if (found != std::string::npos) return found + text.size();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !fill(static_cast<int>(left))) {
            found = output_.find(text, from);
            return found == std::string::npos ? found : found + text.size();
        }
    }
}

std::string StarterProcess::output() {
    while (from_ >= 0) {
        pollfd p{from_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        if (!fill(0)) break;
    }
    return output_;
}

std::string StarterProcess::errors() const { return read_host_file(errorFile_); }

void StarterProcess::signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

void StarterProcess::signalGroup(int number) {
    if (pid_ > 0) kill(-pid_, number);
}

int StarterProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fill(0);
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            // What is left in the pipe (a child of the program may hold it open).
            while (from_ >= 0) {
                pollfd p{from_, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0 || !fill(0)) break;
            }
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string exit_text(int status) {
    return status >= 1000 ? "signal " + std::to_string(status - 1000) : std::to_string(status);
}

}  // namespace tovel::starter::testing
