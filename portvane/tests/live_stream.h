// The agent's web interface (web_fixture.h) serving the test pages, and a raw socket client of it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "portvane/tests/web_fixture.h"
#include "tools/testkit/machine_fixture.h"

namespace portvane_tests {

// The agent's web interface with the test pages as its document folder.
class LiveServer : public portvane::testing::WebFixture {
protected:
    LiveServer() {
        const char* source = std::getenv("TOVEL_SOURCE_DIR");
        pages_ = std::string(source ? source : ".") + "/portvane/tests/pages";
        documentRoot_ = pages_;
    }

    std::string url(const std::string& path) const { return base() + path; }
    // A request head as a client of this server sends it.
    std::string request(const std::string& uri) const {
        return "GET " + uri + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) + "\r\n\r\n";
    }

    // The reply of a plain server of another origin that serves the test pages: the file that
    // the request head names (a page or its script), else the page fallback.
    std::string pageReply(const std::string& head, const std::string& fallback) const {
        std::string target = head.substr(head.find(' ') + 1);
        target = target.substr(0, target.find_first_of(" ?"));
        bool js = target.size() > 3 && target.compare(target.size() - 3, 3, ".js") == 0;
        std::string body = tovel::testing::read_host_file(pages_ + (js ? target : "/" + fallback));
        return std::string("HTTP/1.1 200 OK\r\nContent-Type: ") +
               (js ? "text/javascript" : "text/html") +
               "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

    std::string pages_;
};

// A TCP client of 127.0.0.1:port whose reads give up after 30 s; receive_buffer, when not 0, is
// set before it connects.
class RawClient {
public:
    explicit RawClient(int port, int receive_buffer = 0) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        if (receive_buffer)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        timeval wait{30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool send(const std::string& bytes) {
        return connected_ && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(bytes.size());
    }
    // Ends what this client sends; it still reads.
    void close_writing() { shutdown(fd_, SHUT_WR); }
    // Reads until the received text holds at least size bytes; false at the end or time-out.
    bool read_until(std::string& received, size_t size) {
        char data[65536];
        while (received.size() < size) {
            ssize_t n = recv(fd_, data, sizeof data, 0);
            if (n <= 0) return false;
            received.append(data, static_cast<size_t>(n));
        }
        return true;
    }
    // Reads to the end of the stream: true when the server closed (or reset) it, false when it
    // stayed silent for the read time-out.
    bool read_to_end(std::string& received) {
        char data[65536];
        for (;;) {
            ssize_t n = recv(fd_, data, sizeof data, 0);
            if (n > 0) {
                received.append(data, static_cast<size_t>(n));
                continue;
            }
            return n == 0 || errno == ECONNRESET;
        }
    }
    // Reads once, what has come; false at the end.
    bool read_some(std::string& received) {
        char data[65536];
        ssize_t n = recv(fd_, data, sizeof data, 0);
        if (n <= 0) return false;
        received.append(data, static_cast<size_t>(n));
        return true;
    }

private:
    int fd_;
    bool connected_ = false;
};

}  // namespace portvane_tests
