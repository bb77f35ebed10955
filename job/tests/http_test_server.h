// A scripted HTTP peer for the client's tests: it listens on a free loopback
// port and runs a script of the test on each connection it accepts, on a
// thread of that connection. It shares no code with the client.
#pragma once

#include <ace/ACE.h>
#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace http_tests {

class Scripted_Server;

// One accepted connection, as a script sees it. Every wait ends when the
// server stops.
class Peer {
public:
    Peer(Scripted_Server& server, ACE_SOCK_Stream& stream, int index)
        : server_(server), stream_(stream), index_(index) {}

    // The connection's number, from 1 in the order of acceptance.
    int index() const { return index_; }
    ACE_SOCK_Stream& stream() { return stream_; }

    // Reads up to the end of a request head ("\r\n\r\n"); the head, or "" when
    // the client closed first or the server stops. Bytes after the head are
    // kept for read_exactly.
    std::string read_head();
    // Reads n bytes (kept ones first); fewer when the client closed.
    std::string read_exactly(size_t n);
    // Reads a chunked body up to and including its last chunk's CRLF, raw.
    std::string read_chunked_raw();
    // Sends all of text.
    void send(const std::string& text) { stream_.send_n(text.data(), text.size()); }
    // Sends text in pieces of the given sizes (the rest last), pausing between
    // them so that they arrive apart.
    void send_split(const std::string& text, const std::vector<size_t>& pieces);
    // Sends text one byte at a time, pausing between bytes.
    void send_bytewise(const std::string& text);
    // Waits until the server stops.
    void wait_for_stop();
    // Whether the client has closed its side, or reset the connection (no
    // bytes within the wait).
    bool client_closed(int wait_ms);

private:
    bool fill(int wait_ms);

    Scripted_Server& server_;
    ACE_SOCK_Stream& stream_;
    int index_;
    std::string pending_;
};

class Scripted_Server {
public:
    using Script = std::function<void(Peer&)>;

    // Listens on 127.0.0.1 at a free port; backlog 0 with accept false makes
    // a black hole once the queue is full (see fill_backlog).
    explicit Scripted_Server(Script script, bool accept = true, int backlog = 16)
        : script_(std::move(script)) {
        ACE_INET_Addr any(static_cast<unsigned short>(0), "127.0.0.1");
        EXPECT_EQ(acceptor_.open(any, 1, PF_INET, backlog), 0);
        ACE_INET_Addr bound;
        acceptor_.get_local_addr(bound);
        port_ = bound.get_port_number();
        if (accept) acceptThread_ = std::thread([this] { accept_loop(); });
    }
    ~Scripted_Server() { stop(); }

    unsigned short port() const { return port_; }
    int accepts() const { return accepts_.load(); }
    // The accept count once it reached count, or after 10 s: a client's
    // connect can return before the server's accept does.
    int accepts_reaching(int count) const {
        for (int waited = 0; accepts_.load() < count && waited < 10000; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return accepts_.load();
    }
    bool stopping() const { return stop_.load(); }

    // Ends every script (their waits return) and closes everything.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_.exchange(true)) return;
        }
        stopped_.notify_all();
        if (acceptThread_.joinable()) acceptThread_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            threads.swap(threads_);
        }
        for (auto& t : threads) t.join();
        for (auto& s : fillers_) s->close();
        acceptor_.close();
    }

    // Waits until the server stops, or for at most ms milliseconds.
    void wait_for_stop(int ms = -1) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (ms < 0)
            stopped_.wait(lock, [this] { return stop_.load(); });
        else
            stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    }

    // For a server that does not accept: starts connections until the listen
    // queue is full, so that a further connect gets no answer at all.
    void fill_backlog(int count = 4) {
        ACE_INET_Addr address(port_, "127.0.0.1");
        for (int i = 0; i < count; ++i) {
            auto stream = std::make_unique<ACE_SOCK_Stream>();
            ACE_SOCK_Connector connector;
            ACE_Time_Value none(ACE_Time_Value::zero);
            connector.connect(*stream, address, &none);  // EWOULDBLOCK for those not answered
            fillers_.push_back(std::move(stream));
        }
    }

private:
    void accept_loop() {
        while (!stop_.load()) {
            auto stream = std::make_shared<ACE_SOCK_Stream>();
            ACE_Time_Value wait(0, 20000);
            if (acceptor_.accept(*stream, nullptr, &wait) != 0) continue;
            int index = ++accepts_;
            std::lock_guard<std::mutex> lock(mutex_);
            threads_.emplace_back([this, stream, index] {
                Peer peer(*this, *stream, index);
                script_(peer);
                stream->close();
            });
        }
    }

    Script script_;
    ACE_SOCK_Acceptor acceptor_;
    unsigned short port_ = 0;
    std::atomic<int> accepts_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable stopped_;
    std::thread acceptThread_;
    std::vector<std::thread> threads_;
    std::vector<std::unique_ptr<ACE_SOCK_Stream>> fillers_;
};

inline bool Peer::fill(int wait_ms) {
    for (int waited = 0; !server_.stopping() && (wait_ms < 0 || waited < wait_ms); waited += 20) {
        ACE_Time_Value wait(0, 20000);
        if (ACE::handle_read_ready(stream_.get_handle(), &wait) <= 0) continue;
        char buffer[4096];
        ssize_t n = stream_.recv(buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return false;
}

inline std::string Peer::read_head() {
    for (;;) {
        size_t end = pending_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string head = pending_.substr(0, end + 4);
            pending_.erase(0, end + 4);
            return head;
        }
        if (!fill(-1)) return std::string();
    }
}

inline std::string Peer::read_exactly(size_t n) {
    while (pending_.size() < n)
        if (!fill(-1)) break;
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

inline std::string Peer::read_chunked_raw() {
    for (;;) {
        size_t end = pending_.compare(0, 5, "0\r\n\r\n") == 0 ? 0 : pending_.find("\r\n0\r\n\r\n");
        if (end != std::string::npos) {
            size_t length = end == 0 ? 5 : end + 7;
            std::string out = pending_.substr(0, length);
            pending_.erase(0, length);
            return out;
        }
        if (!fill(-1)) return pending_;
    }
}

inline void Peer::send_split(const std::string& text, const std::vector<size_t>& pieces) {
    size_t at = 0;
    for (size_t piece : pieces) {
        size_t n = std::min(piece, text.size() - at);
        stream_.send_n(text.data() + at, n);
        at += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    if (at < text.size()) stream_.send_n(text.data() + at, text.size() - at);
}

inline void Peer::send_bytewise(const std::string& text) {
    for (char c : text) {
        stream_.send_n(&c, 1);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

inline void Peer::wait_for_stop() { server_.wait_for_stop(); }

inline bool Peer::client_closed(int wait_ms) {
    ACE_Time_Value wait(wait_ms / 1000, (wait_ms % 1000) * 1000);
    if (ACE::handle_read_ready(stream_.get_handle(), &wait) <= 0) return false;
    char c;
    return stream_.recv(&c, 1) <= 0;
}

}  // namespace http_tests
