// One request to the remote service as a complete, retried exchange: a
// command pairs a request with its response, a state and a name; an Invoker
// owns the connection object of one server and drives the command through a
// small state machine, retried once. Everything runs on the caller's thread;
// a command and its invoker belong to one thread at a time.
//
// Failures travel in the thread's last error: each step puts the caller's
// value back unless it fails, and a failure leaves the socket error of the
// connection (or 87). After a successful exchange the caller reads the
// response's status: 200 is success, any other status is the error code
// kHttpErrorBase | status.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The message classes bring ACE, whose headers must come before the platform layer's.
#include "wirekit/service_messages.h"
//
#include "wirekit/error_codes.h"

// The states of a command, as bits.
enum CommandState {
    CMD_READY = 0,
    CMD_DONE = 1,
    CMD_CONNECT_FAILED = 64,
    CMD_SENDING = 256,
    CMD_SENT = 512,
    CMD_SEND_FAILED = 1024,
    CMD_RECEIVING = 4096,
    CMD_RECEIVED = 8192,
    CMD_RECEIVE_FAILED = 16384,
};
inline constexpr int kCommandBusyMask = 0x1110;
// Redirects one command follows; the next one is its final answer.
inline constexpr int kMaxRedirects = 5;
inline constexpr int kCommandFailureMask = 0x4440;

template <class Request, class Response>
class Command {
public:
    // A null or empty name gives "name less command".
    explicit Command(const char* name = nullptr)
        : name_(name && *name ? name : "name less command") {}
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;
    virtual ~Command() = default;

    // Called when a response is complete; may set the state back to
    // CMD_READY to have the request sent again.
    virtual void onResponse() {}
    // Called just before each send.
    virtual void onBeforeSend() {}

    Request& request() { return request_; }
    Response& response() { return response_; }
    int state() const { return state_; }
    void state(int state) { state_ = state; }
    const std::string& name() const { return name_; }
    // Redirects followed so far (at most kMaxRedirects).
    int& redirects() { return redirects_; }

protected:
    Request request_;
    Response response_;
    int state_ = CMD_READY;
    std::string name_;
    int redirects_ = 0;
};

// A command whose reply keeps the session cookies of the cookie store up to
// date: a new Set-Cookie replaces the request's cookie for its user, and a
// 401 removes the request's cookie and is sent again with the user's next
// cookie, as long as the store has one. A 401 whose cookie cannot be removed
// fails the exchange (kExchangeAborted, a network failure) instead of
// sending the same cookie again. After the exchange request().cookie() is
// the session cookie to send next.
template <class Request, class Response>
class Command_To_Server : public Command<Request, Response> {
public:
    using Command<Request, Response>::Command;
    void onResponse() override;
};

enum class Cookie_Upkeep {
    KEEP,    // the reply stands
    RESEND,  // send the request again with its new cookie
    FAILED,  // the refused cookie is still stored: the exchange failed
};

// Cookie upkeep of a reply (the body of Command_To_Server::onResponse).
Cookie_Upkeep update_session_cookie(HTTP_Request& request, const HTTP_Response& response);

template <class Request, class Response>
void Command_To_Server<Request, Response>::onResponse() {
    switch (update_session_cookie(this->request_, this->response_)) {
        case Cookie_Upkeep::RESEND:
            this->state_ = CMD_READY;
            break;
        case Cookie_Upkeep::FAILED:
            this->state_ = CMD_RECEIVE_FAILED;
            SetLastError(kExchangeAborted);
            break;
        case Cookie_Upkeep::KEEP:
            break;
    }
}

class Invoker {
public:
    Invoker() = default;
    // Targets host:port at once, as server() does; when server() refuses
    // them the invoker has no server, and every command run on it fails with
    // CMD_CONNECT_FAILED (last error 87).
    Invoker(const char* host, unsigned short port, int sendBufferSize) {
        server(host, port, sendBufferSize);
    }
    Invoker(const Invoker&) = delete;
    Invoker& operator=(const Invoker&) = delete;
    virtual ~Invoker();

    // Targets a server (nothing is connected yet); false for an empty host
    // or port 0, logged. sendBufferSize 0 leaves the system's. Every command
    // starts at this server: a redirect holds for the rest of its own
    // exchange only.
    bool server(const char* host, unsigned short port, int sendBufferSize);
    bool hasServer() const { return invoker_ != nullptr; }
    // The server that the connection object now talks to ("" and 0 without
    // one): the configured one, except within a redirected exchange.
    std::string currentHost() const { return invoker_ ? invoker_->host() : ""; }
    unsigned short currentPort() const { return invoker_ ? invoker_->port() : 0; }

    // Asked while an exchange waits for the connection, at least every
    // HTTP_Invoker::kPollMs: true ends the exchange at once with
    // ERROR_CANCELLED, which is not retried. Not owned; null for none.
    void stopCheck(interrupter* check);

    // The longest response body that the following exchanges accept, also
    // after a redirect (0: the connection's default bound). A longer one is
    // not read: the exchange fails with kMalformedReply.
    void maxBodyLength(uint64_t limit);
    uint64_t maxBodyLength() const { return maxBodyLength_; }

    // One step of the exchange: 0 asks for another step, -1 ends it.
    template <class Request, class Response>
    int invokeStep(Command<Request, Response>& command);
    // Runs the command to its end with one retry after a failure (none after
    // a stop): 0 when it ended with a response (look at its status), -1 when
    // it failed (last error set). Each attempt, and each redirect or resend
    // of it, must end within the deadline that HTTP_Timeouts gives for the
    // request body and the reply expected. The invoker is back at its
    // configured server afterwards.
    template <class Request, class Response>
    int invokeWithRetry(Command<Request, Response>& command);

protected:
    // The steps of invokeStep that do not depend on the message types.
    // Each returns the step's result, or 1 to go on to the next stage.
    int beginStep(int& state, const std::string& name, DWORD saved);
    int sendFailed(int& state, const std::string& name);
    int receiveFailed(int& state, const std::string& name, const char* what);
    // After a complete response: closes a connection the server does not
    // keep, follows a redirect to an absolute "http://" URL (true: the
    // request goes out again); a relative Location is the final reply. A
    // request that carries a session cookie or credentials follows a
    // redirect only to the same host name and port: one to another server
    // is its final reply.
    bool received(HTTP_Request& request, HTTP_Response& response, const std::string& name,
                  int& redirects);
    // Before an attempt is sent: its deadline and its reply bound.
    void beginAttempt(uint64_t bytes, uint64_t replyBound);
    // Points the connection object at host:port, keeping the configured
    // server, the send-buffer size and the stop check.
    bool retarget(const std::string& host, unsigned short port);
    // Back to the configured server after a redirected exchange.
    void returnHome();
    int refusedStep(int& state, const std::string& name);
    // Receives the head and, when there is one, the body through a stream.
    template <class Response>
    bool receive(Response& response, int& state, const std::string& name);

    std::unique_ptr<HTTP_Invoker> invoker_;
    int sendBufferSize_ = 0;
    uint64_t maxBodyLength_ = 0;
    std::string homeHost_;
    unsigned short homePort_ = 0;
    interrupter* stopCheck_ = nullptr;
};

// An invoker bound to the web server of the settings; without a server there
// every command fails (state 64, last error 87).
class Web_Server_Invoker : public Invoker {
public:
    Web_Server_Invoker();
};

template <class Request, class Response>
int Invoker::invokeStep(Command<Request, Response>& command) {
    DWORD saved = GetLastError();
    if (command.state() == CMD_READY)
        beginAttempt(command.request().body_size() + command.request().expected_reply(),
                     command.request().reply_bound());
    int state = command.state();
    int begun = beginStep(state, command.name(), saved);
    command.state(state);
    if (begun != 1) return begun;
    if (state == CMD_READY) {
        if (command.request().refused()) {
            int result = refusedStep(state, command.name());
            command.state(state);
            return result;
        }
        command.onBeforeSend();
        command.state(CMD_SENDING);
        if (command.request().send(*invoker_) < 0) {
            state = CMD_SENDING;
            int result = sendFailed(state, command.name());
            command.state(state);
            return result;
        }
        command.state(CMD_SENT);
        SetLastError(saved);
        return 0;
    }
    if (state == CMD_SENT) {
        command.state(CMD_RECEIVING);
        if (!receive(command.response(), state, command.name())) {
            command.state(state);
            return 0;  // the next step closes the connection and stops
        }
        command.state(CMD_RECEIVED);
        if (received(command.request(), command.response(), command.name(), command.redirects())) {
            command.state(CMD_READY);
            SetLastError(saved);
            return 0;
        }
        state = CMD_RECEIVED;
    }
    if (state == CMD_RECEIVED) {
        command.state(CMD_DONE);
        command.onResponse();
        // A hook that failed the exchange has set the last error; the next
        // step closes the connection and stops.
        if (!(command.state() & kCommandFailureMask)) SetLastError(saved);
        return 0;
    }
    log_message(LM_ERROR, "%s: Unknown command state(%d).\n", command.name().c_str(), state);
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
}

template <class Response>
bool Invoker::receive(Response& response, int& state, const std::string& name) {
    if (invoker_->recv_head(response) < 0) {
        receiveFailed(state, name, "Receive response header failed");
        return false;
    }
    if (response.content_length() != 0 || response.chunked_transfer_encoding()) {
        HTTP_Input_Stream in(*invoker_);
        int read = response.read(in);
        // The body is whole only when the connection reached its end: still
        // open and complete, or closed after it without a failure. A stream
        // that ended on a failed receive (a drop, a chunked body that cannot
        // be decoded, a stop) has lost the reply.
        int after = invoker_->state();
        bool whole = after == HTTP_Invoker::STATE_COMPLETE ||
                     (after == HTTP_Invoker::STATE_IDLE && invoker_->error() == 0);
        if (read < 0 || !whole) {
            receiveFailed(state, name, "Receive response data failed");
            return false;
        }
    }
    return true;
}

template <class Request, class Response>
int Invoker::invokeWithRetry(Command<Request, Response>& command) {
    const std::string uri = command.request().uri() ? command.request().uri() : "";
    const std::string cookie = command.request().cookie() ? command.request().cookie() : "";
    while (invokeStep(command) >= 0) {
    }
    if ((command.state() & kCommandFailureMask) && !command.request().refused() &&
        GetLastError() != ERROR_CANCELLED) {
        log_message(LM_INFO, "%s: Failed, retrying...\n", command.name().c_str());
        if (command.redirects() > 0) {
            // The retry starts over at the configured server.
            returnHome();
            command.request().uri(uri.c_str());
            command.request().cookie(cookie.empty() ? nullptr : cookie.c_str());
            command.redirects() = 0;
        }
        command.state(CMD_READY);
        while (invokeStep(command) >= 0) {
        }
    }
    DWORD code = GetLastError();
    returnHome();
    if (invoker_) invoker_->clear_deadline();
    SetLastError(code);
    return (command.state() & kCommandFailureMask) ? -1 : 0;
}
