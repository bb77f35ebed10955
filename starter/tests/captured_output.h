// This process's standard output or standard error, sent to a file of the
// test's machine from construction until text().
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/testkit/machine_fixture.h"

namespace tovel::starter::testing {

class CapturedOutput {
public:
    explicit CapturedOutput(int fd) : fd_(fd) {
        path_ = tovel::testing::machine_root() + "/captured-" + std::to_string(fd) + ".txt";
        std::fflush(nullptr);
        saved_ = dup(fd);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, fd);
        close(file);
    }
    ~CapturedOutput() { restore(); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // What was written, with the stream given back.
    std::string text() {
        restore();
        return tovel::testing::read_host_file(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

    int fd_;
    int saved_ = -1;
    std::string path_;
};

}  // namespace tovel::starter::testing
