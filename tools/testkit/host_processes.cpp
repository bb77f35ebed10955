#include "tools/testkit/host_processes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tools/testkit/machine_fixture.h"

namespace tovel::testing {
namespace {

// The state letter and the parent of pid from /proc/<pid>/stat; false when
// the process is gone.
bool read_stat(pid_t pid, char& state, pid_t& parent) {
    // Read with the system's calls: a process that goes away meanwhile makes
    // the read fail (ESRCH), which a stream would throw as an exception.
    std::string text;
    int file = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    char chunk[512];
    ssize_t got;
    while ((got = ::read(file, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    ::close(file);
    if (got < 0) return false;
    size_t end = text.rfind(')');  // the command name may hold spaces and brackets
    if (end == std::string::npos) return false;
    std::istringstream fields(text.substr(end + 1));
    long ppid = 0;
    if (!(fields >> state >> ppid)) return false;
    parent = static_cast<pid_t>(ppid);
    return true;
}

}  // namespace

bool is_child(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return read_stat(pid, state, parent) && parent == getpid();
}

bool is_zombie(pid_t pid) {
    char state = 0;
    pid_t parent = 0;
    return read_stat(pid, state, parent) && state == 'Z';
}

bool wait_reaped(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (is_child(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::map<int, std::string> descriptors_of(pid_t pid) {
    std::map<int, std::string> out;
    std::error_code error;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    // Stepped with error codes: the process may go away during the listing.
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        std::string target = std::filesystem::read_symlink(it->path(), ignored).string();
        if (target == folder) continue;  // this listing's own descriptor
        out[std::stoi(it->path().filename().string())] = target;
    }
    return out;
}

std::map<int, std::string> listed_descriptors(const std::string& listing) {
    static const std::regex kLine(R"(\s(\d+) -> (.*)$)");
    std::map<int, std::string> out;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch match;
        if (!std::regex_search(line, match, kLine)) continue;
        std::string target = match[2];
        if (std::regex_match(target, std::regex(R"(/proc/\d+/fd)"))) continue;
        out[std::stoi(match[1])] = target;
    }
    return out;
}

std::string wait_for_lines(const std::string& path, size_t lines, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::string text = read_host_file(path);
        if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines ||
            std::chrono::steady_clock::now() > deadline)
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace tovel::testing
