// The owner of a connection's client end, as the kernel's socket table gives it: this process's
// account for its own connections (IPv4 and IPv6), another account's for a child that switched
// to it, none for an end that is not there.
#include "starter/webserver/peer_owner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tovel::web::testing {
namespace {

sockaddr_storage loopback(int family, int port) {
    sockaddr_storage a{};
    if (family == AF_INET) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        v6->sin6_addr = in6addr_loopback;
    }
    return a;
}

// Address text and port of a socket's end.
std::pair<std::string, int> end_of(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return {text, ntohs(v4->sin_port)};
    }
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return {text, ntohs(v6->sin6_port)};
}

// A server socket on the family's loopback address and the connections accepted on it.
class Server {
public:
    explicit Server(int family) : family_(family), listener_(socket(family, SOCK_STREAM, 0)) {
        sockaddr_storage a = loopback(family, 0);
        socklen_t length = sizeof a;
        listening_ = bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                     listen(listener_, 8) == 0 &&
                     getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) == 0;
        port_ = end_of(a).second;
    }
    ~Server() {
        for (int fd : accepted_) close(fd);
        close(listener_);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool listening() const { return listening_; }
    int port() const { return port_; }
    // A client socket connected here, or -1.
    int connect_client() const {
        int fd = socket(family_, SOCK_STREAM, 0);
        sockaddr_storage a = loopback(family_, port_);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        close(fd);
        return -1;
    }
    // The next connection's client end, as the server sees it.
    std::pair<std::string, int> accept_peer() {
        sockaddr_storage a{};
        socklen_t length = sizeof a;
        int fd = accept(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        if (fd < 0) return {"", 0};
        accepted_.push_back(fd);
        return end_of(a);
    }

private:
    int family_;
    int listener_;
    bool listening_ = false;
    int port_ = 0;
    std::vector<int> accepted_;
};

TEST(PeerOwner, OwnConnectionsAreThisAccountsAndGoneEndsHaveNone) {
    for (int family : {AF_INET, AF_INET6}) {
        Server server(family);
        if (!server.listening()) {
            // A machine without IPv6 on loopback: the IPv4 case still runs.
            std::printf("no %s loopback here: its case is skipped\n",
                        family == AF_INET ? "IPv4" : "IPv6");
            continue;
        }
        int client = server.connect_client();
        ASSERT_GE(client, 0);
        auto [address, port] = server.accept_peer();
        EXPECT_EQ(local_socket_owner(address.c_str(), port, server.port()),
                  static_cast<long long>(geteuid()))
            << address << ":" << port;
        EXPECT_EQ(local_socket_owner(address.c_str(), port, server.port() ^ 1), -1)
            << "no end goes to that port";
        close(client);
        EXPECT_EQ(local_socket_owner(address.c_str(), port, server.port()), -1)
            << "a closed end has no owner";
    }
    EXPECT_EQ(local_socket_owner("not an address", 1, 2), -1);
    EXPECT_EQ(local_socket_owner(nullptr, 1, 2), -1);
}

// The quota of the job event streams rests on this: a connection opened by another account is
// that account's, whatever address it comes from.
TEST(PeerOwner, AnotherAccountsConnectionIsThatAccounts) {
    if (geteuid() != 0) {
        std::printf("not run as root: no other account to connect as, the case is skipped\n");
        GTEST_SKIP();
    }
    constexpr uid_t kOther = 65534;
    Server server(AF_INET);
    ASSERT_TRUE(server.listening());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        if (setgid(kOther) != 0 || setuid(kOther) != 0) _exit(2);
        int fd = server.connect_client();
        char done = fd >= 0 ? 'y' : 'n';
        if (write(ready[1], &done, 1) != 1) _exit(3);
        pause();  // holding the connection until the parent ends it
        _exit(0);
    }
    close(ready[1]);
    char done = 0;
    ASSERT_EQ(read(ready[0], &done, 1), 1);
    ASSERT_EQ(done, 'y');
    auto [address, port] = server.accept_peer();
    EXPECT_EQ(local_socket_owner(address.c_str(), port, server.port()),
              static_cast<long long>(kOther));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
}

}  // namespace
}  // namespace tovel::web::testing
