#include "tools/testkit/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

extern char** environ;

namespace tovel::testing {

ChildProcess::ChildProcess(const std::string& test, const std::vector<std::string>& environment) {
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> env = environment;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=" + test;
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
}

ChildProcess::~ChildProcess() {
    kill_and_reap();
    close(to_);
    close(from_);
}

void ChildProcess::send(const std::string& line) {
    std::string text = line + "\n";
    EXPECT_EQ(write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string ChildProcess::next(const std::function<bool(const std::string&)>& wanted,
                               int timeoutMs) {
    for (;;) {
        size_t end;
        while ((end = buffer_.find('\n')) != std::string::npos) {
            std::string text = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (wanted(text)) return text;
        }
        pollfd p{from_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return "<timeout>";
        char chunk[512];
        ssize_t n = read(from_, chunk, sizeof chunk);
        if (n <= 0) return "<closed>";
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

int ChildProcess::kill_and_reap() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

}  // namespace tovel::testing
