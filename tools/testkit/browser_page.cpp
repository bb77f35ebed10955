#include "tools/testkit/browser_page.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "tools/testkit/machine_fixture.h"

namespace tovel::testing {
namespace {

std::string browser_folder() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return std::string(source ? source : ".") + "/tools/browser";
}

std::string chromium() {
    const char* named = std::getenv("TOVEL_CHROMIUM");
    return named && *named ? named : "/usr/bin/chromium";
}

}  // namespace

std::string BrowserPage::missing() {
    if (run_command("command -v node >/dev/null") != 0) return "node is not installed";
    if (access(chromium().c_str(), X_OK) != 0) return chromium() + " is not installed";
    if (!std::filesystem::exists(browser_folder() + "/node_modules/playwright-core/package.json"))
        return "playwright-core is not installed in " + browser_folder() + " (tools/setup.sh)";
    return "";
}

BrowserPage::BrowserPage(const std::string& url, const std::vector<std::string>& hosts) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipes for the browser";
        return;
    }
    std::vector<std::string> words = {"node", browser_folder() + "/drive_page.js", url};
    for (const std::string& host : hosts) {
        words.push_back("--map");
        words.push_back(host);
    }
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);  // the browser's processes go with the driver's group
        dup2(in[0], 0);
        dup2(out[1], 1);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execvp("node", argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
}

BrowserPage::~BrowserPage() {
    if (to_ >= 0) close(to_);  // the driver closes the browser and ends
    if (pid_ > 0) {
        int status = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > until) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            usleep(20000);
        }
        kill(-pid_, SIGKILL);  // whatever of the browser outlived the driver
    }
    if (from_ >= 0) close(from_);
}

std::string BrowserPage::next(const std::vector<std::string>& prefixes, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (looked_ < lines_.size()) {
            const std::string& line = lines_[looked_++];
            for (const std::string& prefix : prefixes)
                if (line.rfind(prefix, 0) == 0) return line;
        }
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            lines_.push_back(buffer_.substr(0, end));
            buffer_.erase(0, end + 1);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || from_ < 0) return from_ < 0 ? "<closed>" : "<timeout>";
        pollfd p{from_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char data[4096];
        ssize_t n = read(from_, data, sizeof data);
        if (n <= 0) return "<closed>";
        buffer_.append(data, static_cast<size_t>(n));
    }
}

}  // namespace tovel::testing
