// Broadcasts between processes (window_broadcast.h). A request is one fixed
// record on a fresh connection; a sent one is answered by one word once its
// windows have run it. The listener runs on a thread of its own that lives
// as long as the process; when a test moves the process to another machine
// root, the next top-level window moves the listener with it.
#include "platform/desktop/window_broadcast.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/window_core.h"
#include "platform/kernel/descriptor.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/user_session.h"
#include "platform/win/gui.h"

namespace tovel::platform::broadcast {
namespace {

constexpr uint32_t kMagic = 0x54564243;  // "TVBC"
constexpr uint32_t kAnswer = 0x54564241;
constexpr uint32_t kPost = 1, kSend = 2;
constexpr UINT kFirstRegistered = 0xC000;

struct Request {
    uint32_t magic;
    uint32_t kind;
    uint32_t message;
    uint32_t reserved;
    uint64_t wParam;
    int64_t lParam;
};
static_assert(sizeof(Request) == 32, "the record on the wire");

struct Listener {
    std::mutex lock;
    std::string root;  // the root the socket lies under ("" none)
    std::string path;
    int pending = -1;  // a new listening socket, for the thread to take
    int wake[2] = {-1, -1};
    bool started = false;
};

Listener& listener() {
    static auto* state = new Listener;  // lives until the process ends
    return *state;
}

// Takes the socket file away when the process ends normally.
struct RemoveAtExit {
    ~RemoveAtExit() {
        auto& l = listener();
        std::lock_guard<std::mutex> guard(l.lock);
        if (!l.path.empty()) ::unlink(l.path.c_str());
    }
};

bool fill_address(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool read_full(int fd, void* data, size_t size) {
    auto* at = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, at, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Runs one request of another process in this process's top-level windows.
void serve(int fd) {
    Descriptor connection(fd);
    timeval limit = {2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ucred peer = {};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid())
        return;
    Request request;
    if (!read_full(fd, &request, sizeof request) || request.magic != kMagic ||
        request.message < kFirstRegistered || request.message > 0xFFFF)
        return;
    const auto wParam = static_cast<WPARAM>(request.wParam);
    const auto lParam = static_cast<LPARAM>(request.lParam);
    for (HWND window : desk::broadcast_targets()) {
        if (request.kind == kSend)
            SendMessageW(window, request.message, wParam, lParam);
        else
            PostMessageW(window, request.message, wParam, lParam);
    }
    if (request.kind == kSend) {
        uint32_t answer = kAnswer;
        ssize_t sent = ::send(fd, &answer, sizeof answer, MSG_NOSIGNAL);
        (void)sent;
    }
}

void listen_loop() {
    auto& l = listener();
    int current = -1;
    for (;;) {
        pollfd fds[2] = {{l.wake[0], POLLIN, 0}, {current, POLLIN, 0}};
        if (::poll(fds, current >= 0 ? 2 : 1, -1) < 0) continue;
        if (fds[0].revents) {
            char byte;
            ssize_t n = ::read(l.wake[0], &byte, 1);
            (void)n;
            std::lock_guard<std::mutex> guard(l.lock);
            if (l.pending >= 0) {
                if (current >= 0) ::close(current);
                current = l.pending;
                l.pending = -1;
            }
            continue;
        }
        if (current >= 0 && (fds[1].revents & POLLIN)) {
            int connection = ::accept4(current, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) serve(connection);
        }
    }
}

// The sockets of the user's other processes.
std::vector<std::string> peers() {
    std::vector<std::string> out;
    std::string folder = user_session_subfolder("windows");
    if (folder.empty()) return out;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return out;
    const std::string own = std::to_string(::getpid());
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == own) continue;
        out.push_back(folder + "/" + name);
    }
    ::closedir(dir);
    return out;
}

// A connection to a peer with the request written, or -1. A socket that
// nobody listens on any more is removed.
int reach(const std::string& path, const Request& request) {
    sockaddr_un address;
    if (!fill_address(path, address)) return -1;
    struct stat before;
    if (::lstat(path.c_str(), &before) != 0 || !S_ISSOCK(before.st_mode)) return -1;
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return -1;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        struct stat after;
        if (errno == ECONNREFUSED && ::lstat(path.c_str(), &after) == 0 &&
            after.st_ino == before.st_ino && after.st_dev == before.st_dev)
            ::unlink(path.c_str());
        return -1;
    }
    if (::send(fd.get(), &request, sizeof request, MSG_NOSIGNAL) != sizeof request) return -1;
    return fd.release();
}

Request request_of(uint32_t kind, UINT message, WPARAM wParam, LPARAM lParam) {
    return Request{
        kMagic, kind, message, 0, static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
}

}  // namespace

void listen() {
    static RemoveAtExit remover;
    const std::string root = machine_root();
    auto& l = listener();
    std::lock_guard<std::mutex> guard(l.lock);
    if (l.root == root) return;
    std::string folder = user_session_subfolder("windows");
    if (folder.empty()) return;
    std::string path = folder + "/" + std::to_string(::getpid());
    sockaddr_un address;
    if (!fill_address(path, address)) return;
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return;
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    ::chmod(path.c_str(), 0600);
    if (::listen(fd.get(), 64) != 0) {
        ::unlink(path.c_str());
        return;
    }
    if (!l.started) {
        if (::pipe2(l.wake, O_CLOEXEC) != 0) {
            ::unlink(path.c_str());
            return;
        }
        std::thread(listen_loop).detach();
        l.started = true;
    }
    if (!l.path.empty()) ::unlink(l.path.c_str());
    if (l.pending >= 0) ::close(l.pending);
    l.pending = fd.release();
    l.root = root;
    l.path = path;
    char byte = 1;
    ssize_t n = ::write(l.wake[1], &byte, 1);
    (void)n;
}

void post_to_others(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message < kFirstRegistered || message > 0xFFFF) return;
    const Request request = request_of(kPost, message, wParam, lParam);
    for (const auto& path : peers()) {
        int fd = reach(path, request);
        if (fd >= 0) ::close(fd);
    }
}

void send_to_others(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message < kFirstRegistered || message > 0xFFFF) return;
    const Request request = request_of(kSend, message, wParam, lParam);
    std::vector<std::string> paths = peers();
    if (paths.empty()) return;
    wait_running_sent([&] {
        std::vector<Descriptor> waiting;
        for (const auto& path : paths) {
            int fd = reach(path, request);
            if (fd >= 0) waiting.emplace_back(fd);
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
        while (!waiting.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            std::vector<pollfd> fds;
            for (auto& fd : waiting) fds.push_back({fd.get(), POLLIN, 0});
            int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
            if (ready < 0 && errno != EINTR) break;
            std::vector<Descriptor> still;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0) {
                    still.push_back(std::move(waiting[i]));
                    continue;
                }
                uint32_t answer;
                ssize_t n = ::recv(fds[i].fd, &answer, sizeof answer, MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    still.push_back(std::move(waiting[i]));
                // An answer, or a peer that went away: done with it.
            }
            waiting.swap(still);
        }
    });
}

}  // namespace tovel::platform::broadcast
