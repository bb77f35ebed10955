#include "starter/tests/http_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include <gtest/gtest.h>

#include "tools/testkit/machine_fixture.h"

namespace tovel::starter::testing {

std::string http_exchange(unsigned short port, const std::string& request, int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char chunk[4096];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            reply.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    return reply;
}

std::string http_get(unsigned short port, const std::string& path, const std::string& headers) {
    return http_exchange(port, "GET " + path +
                                   " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
                                   headers + "Connection: close\r\n\r\n");
}

int status_of(const std::string& reply) {
    static const std::regex kStatus("^HTTP/1\\.[01] ([0-9]{3})");
    std::smatch match;
    return std::regex_search(reply, match, kStatus) ? std::stoi(match[1]) : 0;
}

std::string header_of(const std::string& reply, const std::string& name) {
    size_t end = reply.find("\r\n\r\n");
    size_t line = reply.find("\r\n");
    while (line != std::string::npos && line < end) {
        size_t next = reply.find("\r\n", line + 2);
        std::string text = reply.substr(line + 2, next - line - 2);
        size_t colon = text.find(':');
        if (colon == name.size() && strncasecmp(text.c_str(), name.c_str(), colon) == 0) {
            size_t value = text.find_first_not_of(' ', colon + 1);
            return value == std::string::npos ? "" : text.substr(value);
        }
        line = next;
    }
    return "";
}

unsigned short listening_port(const std::string& output) {
    static const std::regex kPorts("started on port\\(s\\) \\[[^\\]:]*:([0-9]+)");
    std::smatch match;
    return std::regex_search(output, match, kPorts)
               ? static_cast<unsigned short>(std::stoi(match[1]))
               : 0;
}

std::string curl(unsigned short port, const std::string& method, const std::string& path,
                 const std::string& cookie, const std::string& body, const std::string& type) {
    using tovel::testing::shell_quote;
    std::string command = "curl -s -i --max-time 60 -X " + method;
    if (!cookie.empty()) command += " -H " + shell_quote("Cookie: " + cookie);
    if (!body.empty())
        command +=
            " -H " + shell_quote("Content-Type: " + type) + " --data-binary " + shell_quote(body);
    command += " " + shell_quote("http://127.0.0.1:" + std::to_string(port) + path);
    std::string reply;
    EXPECT_EQ(tovel::testing::run_command(command, &reply), 0) << command;
    return reply;
}

}  // namespace tovel::starter::testing
