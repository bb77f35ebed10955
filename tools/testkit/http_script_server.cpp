#include "tools/testkit/http_script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace tovel::testing {
namespace {

// Waits until fd is ready for events or stop_fd is readable; true for fd.
bool wait_ready(int fd, short events, int stop_fd) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || fds[1].revents) return false;
        if (fds[0].revents) return true;
    }
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

}  // namespace

std::string HttpPeer::read_head() {
    for (;;) {
        size_t end = pending_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = pending_.substr(0, end + 4);
            pending_.erase(0, end + 4);
            return head;
        }
        if (!fill()) return std::string();
    }
}

bool HttpPeer::fill() {
    if (!wait_ready(fd_, POLLIN, server_.stop_fd())) return false;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool HttpPeer::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (!wait_ready(fd_, POLLOUT, server_.stop_fd())) return false;
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool HttpPeer::send_chunked_head(int status, std::string_view reason) {
    return send("HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
}

bool HttpPeer::send_chunk(std::string_view bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    return send(std::string(size) + std::string(bytes) + "\r\n");
}

bool HttpPeer::wait_closed() {
    for (;;) {
        if (!wait_ready(fd_, POLLIN, server_.stop_fd())) return false;
        char buffer[4096];
        if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
    }
}

void HttpPeer::reset() {
    linger option{1, 0};  // closing then sends a reset
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::shutdown(fd_, SHUT_RDWR);
}

HttpScriptServer::HttpScriptServer(Script script, unsigned short port, bool ipv6)
    : script_(std::move(script)) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return;
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(&storage);
        six->sin6_family = AF_INET6;
        six->sin6_addr = in6addr_loopback;
        six->sin6_port = htons(port);
        length = sizeof *six;
    } else {
        *reinterpret_cast<sockaddr_in*>(&storage) = loopback(port);
        length = sizeof(sockaddr_in);
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (fd < 0 || ::bind(fd, address, length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, address, &length) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    acceptThread_ = std::thread([this] { accept_loop(); });
}

HttpScriptServer::~HttpScriptServer() {
    stop();
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
}

void HttpScriptServer::accept_loop() {
    while (wait_ready(listener_, POLLIN, stopPipe_[0])) {
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> guard(lock_);
        int index = ++accepted_;
        threads_.emplace_back([this, fd, index] {
            {
                HttpPeer peer(*this, fd, index);
                script_(peer);
            }
            ::close(fd);
        });
        changed_.notify_all();
    }
}

bool HttpScriptServer::wait_accepted(int count, int ms) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(ms),
                             [&] { return accepted_.load() >= count; });
}

void HttpScriptServer::stop() {
    if (stopped_.exchange(true)) return;
    if (stopPipe_[1] >= 0) {
        char byte = 1;
        ssize_t ignored = ::write(stopPipe_[1], &byte, 1);
        (void)ignored;
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(lock_);
        threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
    if (listener_ >= 0) ::close(listener_);
}

unsigned short free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    unsigned short port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

}  // namespace tovel::testing
