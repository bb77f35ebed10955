// The control channel between a controller and a running service process:
// a Unix stream socket of mode 0600 in the service's folder. A controller
// connects, sends one request (a control code) and reads one answer (an error
// code and the service's status) once the service's handler has run. Every
// number travels as 32 bits little-endian. Internal.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <memory>
#include <string>

#include "platform/kernel/descriptor.h"
#include "platform/win/service.h"

namespace tovel::platform::service {

// The socket address of a path, or of an abstract name when the path starts
// with '@' (and abstract is set). A path that does not fit (107 bytes, an
// abstract name's '@' counted) fails with last error 206 and a line on
// standard error naming the path and what it is for; it is never cut.
bool socket_address(const std::string& path, bool abstract, const char* purpose,
                    sockaddr_un* address, socklen_t* length);

struct ControlAnswer {
    DWORD error = 0;  // 0: the handler ran
    SERVICE_STATUS status = {};
};

// Sends a control to the service process listening at path and waits for its
// answer, without a time limit. False with the last error: 206 for a path
// that does not fit, 1062 when nothing listens there or the process ends
// before answering, 5 when the socket refuses the caller.
bool send_control(const std::string& path, DWORD code, ControlAnswer* answer);

// One request taken from the listener: answer it once, then let it go.
class ControlRequest {
public:
    ControlRequest(Descriptor connection, DWORD code)
        : connection_(std::move(connection)), code_(code) {}
    DWORD code() const { return code_; }
    // Best effort: a controller that went away meanwhile is no failure.
    void answer(const ControlAnswer& answer);

private:
    Descriptor connection_;
    DWORD code_;
};

// The service process's end: bound at a path with mode 0600 while it lives,
// the path unlinked when it goes. One thread uses it.
class ControlListener {
public:
    ControlListener() = default;
    ~ControlListener();
    ControlListener(const ControlListener&) = delete;
    ControlListener& operator=(const ControlListener&) = delete;

    // Binds and listens at path (replacing a stale socket left there). The
    // socket is bound under a temporary name in the same folder, given mode
    // 0600 and then renamed into place, so it is never open to others. False
    // with the last error (206 for a path that does not fit).
    bool open(const std::string& path);
    int descriptor() const { return socket_.get(); }
    // Takes the next connection when one is pending; null when none is, or
    // when it comes from another user than this process's (or root) or sends
    // no well-formed request within five seconds (it is closed).
    std::unique_ptr<ControlRequest> accept();

private:
    Descriptor socket_;
    std::string path_;
};

}  // namespace tovel::platform::service
