// A scripted HTTP server for tests of HTTP clients: it listens on a loopback
// port and runs a script of the test on each connection it accepts, on a
// thread of that connection, with plain sockets (it shares no code with the
// clients under test). Every wait of a script ends when the server stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tovel::testing {

class HttpScriptServer;

// One accepted connection, as a script sees it. Used by its script's thread.
class HttpPeer {
public:
    HttpPeer(HttpScriptServer& server, int fd, int index)
        : server_(server), fd_(fd), index_(index) {}
    HttpPeer(const HttpPeer&) = delete;
    HttpPeer& operator=(const HttpPeer&) = delete;

    // The connection's number, from 1 in the order of acceptance.
    int index() const { return index_; }
    // Reads up to the end of a request head ("\r\n\r\n"); the head, or "" when
    // the client closed first or the server stops.
    std::string read_head();
    // Sends all of bytes; false once the client has gone or the server stops.
    bool send(std::string_view bytes);
    // "HTTP/1.1 <status> <reason>" and a chunked body's headers.
    bool send_chunked_head(int status = 200, std::string_view reason = "OK");
    // One chunk: its size in hexadecimal, CRLF, the bytes, CRLF (bytes not empty).
    bool send_chunk(std::string_view bytes);
    // The last chunk, which ends the body.
    bool end_chunks() { return send("0\r\n\r\n"); }
    // Waits until the client closes or resets the connection (true) or the
    // server stops (false). Bytes the client sends meanwhile are dropped.
    bool wait_closed();
    // Resets the connection (the client sees an error, not an end).
    void reset();

private:
    // Waits for bytes and appends them to pending_; false at the end or stop.
    bool fill();

    HttpScriptServer& server_;
    int fd_;
    int index_;
    std::string pending_;
};

class HttpScriptServer {
public:
    using Script = std::function<void(HttpPeer&)>;

    // Listens on 127.0.0.1 (ipv6: on ::1) at port (0: a free one).
    // listening() tells whether it could (a given port may be taken, a
    // machine may have no IPv6 loopback).
    explicit HttpScriptServer(Script script, unsigned short port = 0, bool ipv6 = false);
    ~HttpScriptServer();
    HttpScriptServer(const HttpScriptServer&) = delete;
    HttpScriptServer& operator=(const HttpScriptServer&) = delete;

    bool listening() const { return listener_ >= 0; }
    unsigned short port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // Waits until count connections have been accepted; false after ms.
    bool wait_accepted(int count, int ms = 30000);
    // Ends every script's waits, joins their threads and closes every socket.
    void stop();

    // The descriptor that becomes readable when the server stops.
    int stop_fd() const { return stopPipe_[0]; }

private:
    void accept_loop();

    Script script_;
    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    unsigned short port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopped_{false};
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread acceptThread_;
    std::vector<std::thread> threads_;
};

// A loopback port that nothing listens on now (bound once, then let go).
unsigned short free_loopback_port();

}  // namespace tovel::testing
