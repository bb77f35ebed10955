// What the job event stream's tests share: the chunks they expect, a reader of chunked bytes, an
// observer that records what the dispatcher hands it, and a dispatcher timer that counts its
// firings.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "job/core/iocp_dispatcher.h"
#include "job/core/job_notify_manager.h"
#include "job/core/notify_event.h"

namespace portvane_tests {

// Only reached when something is wrong.
constexpr auto kBound = std::chrono::seconds(60);

inline JobNotifyManagerImpl* notify_manager() {
    return ATL::CComSingleton<JobNotifyManagerImpl>::instance();
}

inline std::string chunk(const std::string& text) {
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", text.size());
    return size + text + "\r\n";
}

inline constexpr char kStreamHead[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";

// The chunks of a chunked body, read independently of the code under test: each must be its
// size in lower-case hexadecimal without leading zeros, CRLF, the bytes, CRLF. Whatever follows
// the last whole chunk goes to rest; a malformed chunk is a test failure.
inline std::vector<std::string> read_chunks(const std::string& body, std::string* rest = nullptr) {
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t line = body.find("\r\n", at);
        if (line == std::string::npos) break;
        std::string size = body.substr(at, line - at);
        bool good = !size.empty() && size.size() <= 8 && (size == "0" || size[0] != '0') &&
                    size.find_first_not_of("0123456789abcdef") == std::string::npos;
        EXPECT_TRUE(good) << "bad chunk size line at " << at << ": " << size;
        if (!good) break;
        size_t length = std::stoul(size, nullptr, 16);
        if (body.size() < line + 2 + length + 2) break;
        EXPECT_EQ(body.substr(line + 2 + length, 2), "\r\n") << "chunk at " << at;
        out.push_back(body.substr(line + 2, length));
        at = line + 2 + length + 2;
        if (length == 0) break;
    }
    if (rest) *rest = body.substr(at);
    return out;
}

// Records every event text the dispatcher hands it, registered for its life.
class ProbeObserver : public JobNotifyObserver {
public:
    explicit ProbeObserver(const char* user = nullptr) : JobNotifyObserver(user) {
        notify_manager()->registerObserver(this);
    }
    ~ProbeObserver() override { notify_manager()->unregisterObserver(this); }

    bool Post(const std::string& event) override {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(event);
        changed_.notify_all();
        return true;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    bool wait_for(size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return events_.size() >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// A dispatcher timer that fires every 10 ms while it lives.
class TickingTimer : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    TickingTimer() { Iocp_Dispatcher::instance()->schedule_after_ms(this, 10); }
    ~TickingTimer() {
        stopped_ = true;
        Iocp_Dispatcher::instance()->cancel_timer(this);
    }
    void handle_timeout(uint64_t) override {
        ++ticks_;
        if (!stopped_) Iocp_Dispatcher::instance()->schedule_after_ms(this, 10);
    }
    int ticks() const { return ticks_.load(); }

private:
    std::atomic<int> ticks_{0};
    std::atomic<bool> stopped_{false};
};

// A state event of the user's job with a name of the given length, as the job engine makes it.
inline std::string post_state(const char* user, const std::string& id, int state,
                              size_t name_length = 8) {
    std::wstring name(name_length, L'n');
    auto* event = new Event_State(user, id.c_str(), name.c_str(), static_cast<unsigned>(state));
    std::string text = event->event();
    EXPECT_TRUE(notify_manager()->post(event));
    return text;
}

}  // namespace portvane_tests
