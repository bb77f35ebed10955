// The objects behind HINTERNET values, and their table. A value names one
// object of one kind (session, connection or request) and is never reused in
// a process. Any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/win/errors.h"
#include "platform/win/winhttp.h"

namespace tovel::platform::winhttp {

// Milliseconds; 0 stands for no limit.
struct Timeouts {
    DWORD connect_ms = 60000;
    DWORD send_ms = 30000;
    DWORD receive_ms = 30000;
};

class InternetObject {
public:
    virtual ~InternetObject() = default;
};

class Session : public InternetObject {
public:
    Session(std::string agent, bool synchronous)
        : agent_(std::move(agent)), synchronous_(synchronous) {}

    // The User-Agent text; empty: none is sent.
    const std::string& agent() const { return agent_; }
    // Opened without WINHTTP_FLAG_ASYNC: every call returns when done.
    bool synchronous() const { return synchronous_; }
    Timeouts timeouts() const {
        std::lock_guard<std::mutex> guard(lock_);
        return timeouts_;
    }
    void timeouts(const Timeouts& timeouts) {
        std::lock_guard<std::mutex> guard(lock_);
        timeouts_ = timeouts;
    }

private:
    const std::string agent_;
    const bool synchronous_;
    mutable std::mutex lock_;
    Timeouts timeouts_;
};

// A server's address. Requests hold their connection, so closing its handle
// first leaves them working.
class Connection : public InternetObject {
public:
    Connection(std::shared_ptr<Session> session, std::string host, INTERNET_PORT port)
        : session_(std::move(session)), host_(std::move(host)), port_(port) {}

    const std::shared_ptr<Session>& session() const { return session_; }
    // The host as it goes into a URL (an IPv6 address in brackets).
    const std::string& host() const { return host_; }
    INTERNET_PORT port() const { return port_; }

private:
    const std::shared_ptr<Session> session_;
    const std::string host_;
    const INTERNET_PORT port_;
};

// Registers an object; its new value.
HINTERNET add_handle(std::shared_ptr<InternetObject> object);

// The object of a value; null with the last error set: 6 for a value that is
// null or not open, 12018 for an object of another kind.
std::shared_ptr<InternetObject> find_handle(HINTERNET handle);
template <class T>
std::shared_ptr<T> find(HINTERNET handle) {
    std::shared_ptr<InternetObject> object = find_handle(handle);
    if (!object) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return typed;
}

// Takes the value out of the table and gives its object; null (6) when it is
// not open.
std::shared_ptr<InternetObject> remove_handle(HINTERNET handle);

}  // namespace tovel::platform::winhttp
