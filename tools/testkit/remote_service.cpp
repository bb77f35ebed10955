#include "tools/testkit/remote_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/testkit/machine_fixture.h"

namespace tovel::testing {

namespace {

std::string script() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return std::string(source ? source : ".") + "/tools/remote-service/remote_service.py";
}

}  // namespace

RemoteService::RemoteService(const std::vector<std::string>& arguments) {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipes for the simulator";
        return;
    }
    std::vector<std::string> words = {"python3",
                                      script(),
                                      "--state",
                                      machine_root() + "/remote-service",
                                      "--port",
                                      "0",
                                      "--until-stdin-closes"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp("python3", argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    FILE* lines = fdopen(out[0], "r");
    char line[128] = {};
    unsigned port = 0;
    if (!lines || !std::fgets(line, sizeof line, lines) || std::sscanf(line, "port %u", &port) != 1)
        ADD_FAILURE() << "the simulator did not start: " << line;
    port_ = static_cast<unsigned short>(port);
    output_ = lines;  // kept open: the simulator may still write to it
}

RemoteService::~RemoteService() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (output_) std::fclose(output_);
}

std::string RemoteService::query_text(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string RemoteService::control(const std::string& method, const std::string& path,
                                   const std::string& json) const {
    std::string output;
    std::string command = "python3 " + shell_quote(script()) + " ctl --port " +
                          std::to_string(port_) + " " + method + " " + shell_quote(path);
    if (!json.empty()) command += " " + shell_quote(json);
    EXPECT_EQ(run_command(command, &output), 0) << command;
    return output;
}

}  // namespace tovel::testing
