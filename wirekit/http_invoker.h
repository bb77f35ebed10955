// The blocking HTTP/1.1 client of one server address.
#pragma once

#include <ace/ACE.h>
#include <ace/Connector.h>
#include <ace/INET_Addr.h>
#include <ace/Message_Block.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/SOCK_Connector.h>
#include <ace/Strategies_T.h>
#include <ace/Synch_Options.h>
#include <ace/os_include/netinet/os_tcp.h>
#include <ace/os_include/sys/os_uio.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/file_stream.h"
#include "common/holders.h"
#include "platform/win32.h"
#include "wirekit/http_message.h"
#include "wirekit/http_parser.h"
#include "wirekit/http_receive_buffer.h"
#include "wirekit/http_svc_handler.h"
#include "wirekit/http_tables.h"
#include "wirekit/http_timeouts.h"
#include "wirekit/message_block_ptr.h"

// A gather-write buffer over size bytes at data (which it does not own).
inline iovec http_iovec(const void* data, size_t size) {
    iovec part;
    part.iov_base = static_cast<char*>(const_cast<void*>(data));
    part.iov_len = size;
    return part;
}

// One exchange after another with the server at host:port, on the caller's
// thread: connect (through the process-wide connection cache), send a request
// head and its body, receive the response head and its body, close (the
// connection goes back to the cache while the server keeps it alive).
//
// Every int result is -1 for a failure unless said otherwise. A failure
// stores its code in error() and in the thread's last error: a Winsock code
// (10060 when a time-out or the exchange's deadline ran out, 10061 for a
// refused connect, 10054 when the server closed the connection or sent a
// chunked body that cannot be decoded), 1223 (ERROR_CANCELLED) when the stop
// check asked to stop, 7 for a body longer than its Content-Length,
// 8 when memory ran out, 87 for a request that cannot be sent as it stands,
// or kMalformedReply for a response that cannot be read or passes a bound.
// The state stays where the failure happened, and only close() brings the
// invoker back to idle, except after a malformed response: the connection,
// whose position in the stream is then unknown, is closed at once and the
// invoker is idle. Each connect, send and receive is bounded by the invoker's
// time-outs (see HTTP_Timeouts) and by the deadline, when one is set; every
// wait asks the stop check, when one is set, at least every kPollMs.
//
// Bounds of a response: a head of at most 8192 bytes and
// HTTP_Parser::kMaxHeaders header lines; a Content-Length that is a decimal
// number; a body of at most max_body_length() bytes (the Content-Length, or
// the sum of the chunk sizes of a chunked body); chunks as
// HTTP_Receive_Buffer bounds them.
//
// An invoker belongs to one thread at a time.
template <class Connector, class Handler>
class HTTP_Invoker_T {
public:
    enum State {
        STATE_DONE_CLOSING = 0,  // complete, the server closes: set just before close()
        STATE_IDLE = 1,          // no connection
        STATE_CONNECTING = 2,    // also where a failed connect leaves it
        STATE_CONNECTED = 3,     // nothing sent yet
        STATE_SENDING_HEAD = 4,
        STATE_HEAD_SENT = 5,  // request body to follow
        STATE_SENDING_BODY = 6,
        STATE_REQUEST_SENT = 7,
        STATE_RECEIVING_HEAD = 8,
        STATE_HEAD_RECEIVED = 9,  // response body to follow
        STATE_RECEIVING_BODY = 10,
        STATE_COMPLETE = 11,  // the connection may carry the next request
    };
    // A response that is not HTTP as this client reads it.
    static constexpr int kMalformedReply = 0x20010258;
    static constexpr size_t kHeadBufferSize = 8193;
    // The body limit of a new invoker.
    static constexpr uint64_t kDefaultMaxBodyLength = uint64_t{16} << 20;
    // The longest wait between two questions to the stop check.
    static constexpr DWORD kPollMs = 200;
    // How long an exchange with a deadline goes on before the stop check is
    // asked: one that completes within it is never cut short (its request
    // may have been carried out), so a stop takes effect between exchanges,
    // or within about a second of a slow one.
    static constexpr DWORD kStopGraceMs = 1000;

    // Copies host; starts idle with the process-wide time-outs.
    HTTP_Invoker_T(const char* host, unsigned short port)
        : host_(http_copy_text(host ? host : "")), port_(port), timeouts_(http_client_timeouts()) {}
    // close(), then frees the buffers.
    virtual ~HTTP_Invoker_T() { close(); }
    HTTP_Invoker_T(const HTTP_Invoker_T&) = delete;
    HTTP_Invoker_T& operator=(const HTTP_Invoker_T&) = delete;

    const char* host() const { return host_.get(); }
    unsigned short port() const { return port_; }
    Handler* handler() const { return handler_; }
    int state() const { return state_; }
    int error() const { return error_; }
    bool chunked() const { return chunked_; }
    bool keep_alive() const { return keepAlive_; }
    uint64_t length() const { return length_; }
    uint64_t done() const { return done_; }

    const HTTP_Timeouts& timeouts() const { return timeouts_; }
    // Replaces this invoker's time-outs (a 0 field takes its default) from
    // the next operation on.
    void timeouts(const HTTP_Timeouts& timeouts) { timeouts_ = timeouts.resolved(); }

    // The longest response body accepted; a longer one is malformed. Set it
    // before recv_head: it holds from there on, for every later response too
    // (UINT64_MAX: no bound but the chunk size's).
    uint64_t max_body_length() const { return maxBody_; }
    void max_body_length(uint64_t limit) { maxBody_ = limit; }

    // Every operation from now on ends, at the latest, ms milliseconds from
    // now (10060), until the deadline is set again or cleared.
    void deadline_in(uint64_t ms) {
        begun_ = now_ms();
        deadline_ = begun_ + std::max<uint64_t>(ms, 1);
    }
    void clear_deadline() { deadline_ = begun_ = 0; }
    bool has_deadline() const { return deadline_ != 0; }

    // Asked, on this invoker's thread, at least every kPollMs while an
    // operation waits for the connection (with a deadline set, only from
    // kStopGraceMs after it was set on); when it answers true the operation
    // fails with ERROR_CANCELLED. Not owned; null for none.
    void stop_check(interrupter* check) { stopCheck_ = check; }
    interrupter* stop_check() const { return stopCheck_; }

    // The text of the Host header when the request leaves it empty: the
    // host, an IPv6 address in brackets.
    std::string host_header() const {
        std::string host;
        append_host_header(host);
        return host;
    }
    // Appends the text of host_header() to out.
    void append_host_header(std::string& out) const {
        bool bracketed = std::strchr(host_.get(), ':') != nullptr;
        if (bracketed) out += '[';
        out += host_.get();
        if (bracketed) out += ']';
    }

    // Idle only: takes an idle cached connection to the address or opens a
    // new one within the connect time-out, and sets TCP_NODELAY on it. On
    // failure the state stays STATE_CONNECTING.
    int connect(Connector& connector);

    // SO_SNDBUF of the connection: the result of setting it; -1 without one.
    int send_buffer_size(int size);

    // Connected or complete only (else -1, nothing logged): sends the request
    // line and every header slot that holds a text in one write (an empty Host
    // slot goes out as the invoker's host); the extra headers are never sent.
    // POST and PUT with a chunked body or a Content-Length other than 0 then
    // expect the body (STATE_HEAD_SENT); everything else is complete. A head
    // whose body follows goes out in the same write as the body's first part
    // (the bytes on the wire are the same, in one packet instead of two), so
    // that a failure to send it is reported by that body send.
    // A URI with a space or a control character, or a header text (the
    // invoker's host included) with a control character other than HTAB,
    // such as CR or LF, is refused before anything is sent or changed: 87,
    // and one LM_ERROR line that names the header but not its text.
    int send_head(HTTP_Request& request);

    // Body of a Content-Length request: sends at most the bytes still owed;
    // the bytes sent. The request is complete when all are sent.
    int send_body(const void* data, size_t size);
    // Sends every buffer; the bytes sent. Going past the Content-Length has
    // still sent them: -1 with error 7, the connection unusable.
    int send_body_v(const iovec* iov, int count);

    // One chunk of a chunked request ("%x\r\n", data, "\r\n"); size 0 ends
    // the body ("0\r\n\r\n", no trailers). The chunk's size (0 for the last).
    int send_chunk(const void* data, size_t size);
    // One chunk made of the given buffers; a total of 0 ends the body.
    int send_chunk_v(const iovec* iov, int count);

    // Reads once when bytes arrive within the receive time-out: the byte
    // count (at least 1).
    int recv(void* buf, size_t size);
    // Reads exactly size bytes, waiting at most the receive time-out for each
    // part: size.
    int recv_n(void* buf, size_t size);

    // Request complete only: receives and parses the response head into
    // response (which it resets first, headers included). A head past the
    // bounds above, and a Content-Length that is no decimal number or is over
    // the body limit, is malformed. Body bytes that came with the head stay
    // buffered. Afterwards STATE_COMPLETE when there is no body (not chunked,
    // Content-Length 0), else STATE_HEAD_RECEIVED.
    int recv_head(HTTP_Response& response);

    // Head received or receiving the body only: delivers body bytes into the
    // space of out (from its write pointer, which it advances) and stores
    // their count in *got (0 first). A Content-Length body: buffered bytes
    // first; then, unless mode 0 delivered some already, one read (mode 2:
    // exactly the rest of what out can take of the body). A chunked body: see
    // HTTP_Receive_Buffer::read_chunked for the modes; a malformed chunked
    // body fails (-1) even when this call delivered bytes before the fault,
    // whose count is in *got. At the body's end the state is STATE_COMPLETE,
    // or, when the server does not keep the connection, the connection is
    // closed (idle afterwards). Result: the bytes delivered, or -1.
    int recv_body(ACE_Message_Block& out, size_t* got, int mode);

    // Gives the connection up: back to the cache as idle when connected and
    // unused or complete on a kept-alive connection, else closed. Idle
    // afterwards: 0; -1 without a connection or when already idle.
    int close();

private:
    // Stores code as the error and the thread's last error, logs format with
    // the host and port, and returns -1.
    int fail(int code, const char* format) {
        error_ = code;
        SetLastError(static_cast<DWORD>(code));
        log_message(LM_ERROR, format, host_.get(), static_cast<unsigned>(port_));
        return -1;
    }
    // Closes the connection of a malformed response (idle afterwards), then
    // fails with kMalformedReply as fail() does.
    int malformed(const char* format) {
        if (handler_) handler_->close(0);
        handler_ = nullptr;
        state_ = STATE_IDLE;
        return fail(kMalformedReply, format);
    }
    // Whether text may stand in a head line: no control character but HTAB.
    static bool head_text_allowed(const char* text) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
            if ((*p < 0x20 && *p != '\t') || *p == 0x7F) return false;
        return true;
    }
    // Whether text may stand as the request URI: no space or control character.
    static bool uri_allowed(const char* text) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
            if (*p <= 0x20 || *p == 0x7F) return false;
        return true;
    }
    // Whether the Content-Length text of response, if it has one, is a
    // decimal number that content_length() read.
    static bool length_text_allowed(const HTTP_Response& response, uint64_t length) {
        const char* text = response.headers().get(HTTP_HEAD_CONTENT_LENGTH);
        if (!text) return true;
        if (!*text || text[std::strspn(text, "0123456789")] != '\0') return false;
        return length != 0 || text[std::strspn(text, "0")] == '\0';
    }
    // 0 when the URI and header texts of request may be sent; else 87,
    // stored and logged as fail() does.
    int refuse_head(HTTP_Request& request);
    static uint64_t now_ms() {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    // The code of a wait that cannot go on: ERROR_CANCELLED when the stop
    // check asks to stop, WSAETIMEDOUT when the deadline has passed, else 0.
    int wait_refused() {
        uint64_t now = now_ms();
        if (stopCheck_ && (!begun_ || now >= begun_ + kStopGraceMs) && stopCheck_->interrupted())
            return ERROR_CANCELLED;
        if (deadline_ && now >= deadline_) return WSAETIMEDOUT;
        return 0;
    }
    // The next slice of a wait that may last until end (steady ms): at most
    // kPollMs, and no further than the deadline; 0 when nothing is left.
    DWORD next_slice(uint64_t end) const {
        uint64_t now = now_ms();
        if (deadline_ && deadline_ < end) end = deadline_;
        if (now >= end) return 0;
        return static_cast<DWORD>(std::min<uint64_t>(end - now, kPollMs));
    }
    // Writes every byte of the buffers (which it changes), waiting at most
    // the send time-out for the connection to take each part. Each write is
    // one non-blocking gather send: the descriptor's own mode is never
    // changed, which costs no call of its own. 0, or -1 with the code in *code.
    int write_all(iovec* iov, int count, int* code) {
        uint64_t end = now_ms() + timeouts_.send_ms;
        while (count > 0 && iov->iov_len == 0) ++iov, --count;
        const ACE_HANDLE socket = handler_->peer().get_handle();
        while (count > 0) {
            if ((*code = wait_refused()) != 0) return -1;
            msghdr message{};
            message.msg_iov = iov;
            message.msg_iovlen = static_cast<size_t>(std::min(count, IOV_MAX));
            errno = 0;
            ssize_t n = ACE_OS::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EWOULDBLOCK && errno != EAGAIN) {
                    *code = WSAGetLastError();
                    return -1;
                }
                // The connection takes nothing now: wait until it does.
                DWORD slice = next_slice(end);
                if (slice == 0) {
                    *code = WSAETIMEDOUT;
                    return -1;
                }
                ACE_Time_Value timeout = http_time_value(slice);
                errno = 0;
                int ready = ACE::handle_write_ready(socket, &timeout);
                if (ready < 0 && errno != EINTR && errno != ETIME) {
                    *code = WSAGetLastError();
                    return -1;
                }
                continue;
            }
            size_t sent = static_cast<size_t>(n);
            if (sent > 0) end = now_ms() + timeouts_.send_ms;  // the connection took bytes
            while (count > 0 && sent >= iov->iov_len) {
                sent -= iov->iov_len;
                ++iov, --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<char*>(iov->iov_base) + sent;
                iov->iov_len -= sent;
            }
        }
        return 0;
    }
    // The gather list of the next write, in a vector the invoker keeps: the
    // pending head first, when there is one.
    void start_parts() {
        parts_.clear();
        if (headPending_) parts_.push_back(http_iovec(head_.data(), head_.size()));
    }
    int write_started_parts(int* code) {
        headPending_ = false;
        return write_all(parts_.data(), static_cast<int>(parts_.size()), code);
    }
    // Writes the pending head, if any, and the buffers (which it does not change).
    int write_parts(const iovec* iov, int count, int* code) {
        start_parts();
        parts_.insert(parts_.end(), iov, iov + count);
        return write_started_parts(code);
    }
    // Waits for the socket to be readable, at most the receive time-out: 0,
    // or -1 with the code in *code.
    int wait_readable(int* code) {
        uint64_t end = now_ms() + timeouts_.recv_ms;
        for (;;) {
            if ((*code = wait_refused()) != 0) return -1;
            DWORD slice = next_slice(end);
            if (slice == 0) {
                *code = WSAETIMEDOUT;
                return -1;
            }
            ACE_Time_Value timeout = http_time_value(slice);
            errno = 0;
            int ready = ACE::handle_read_ready(handler_->peer().get_handle(), &timeout);
            if (ready > 0) return 0;
            if (ready < 0 && errno != EINTR && errno != ETIME) {
                *code = WSAGetLastError();
                return -1;
            }
        }
    }
    int send_chunk_i(const iovec* data, int count, size_t size);
    int read_length(ACE_Message_Block& out, size_t* delivered, int mode);

    std::unique_ptr<char[]> host_;
    unsigned short port_;
    Handler* handler_ = nullptr;
    // The head of the request being sent, and whether it still waits for
    // the body's first part; the gather list of a write. Kept between
    // requests, so that their space is reused.
    std::string head_;
    bool headPending_ = false;
    std::vector<iovec> parts_;
    int state_ = STATE_IDLE;
    int error_ = 0;
    bool chunked_ = false;
    bool keepAlive_ = false;
    uint64_t length_ = 0;
    uint64_t done_ = 0;
    Message_Block_Ptr headBuffer_;
    std::unique_ptr<HTTP_Receive_Buffer> chunkReader_;
    HTTP_Timeouts timeouts_;
    uint64_t maxBody_ = kDefaultMaxBodyLength;
    uint64_t deadline_ = 0;  // steady milliseconds; 0: none
    uint64_t begun_ = 0;     // when the deadline was set
    interrupter* stopCheck_ = nullptr;
};

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::connect(Connector& connector) {
    if (state_ != STATE_IDLE) return -1;
    state_ = STATE_CONNECTING;
    error_ = 0;
    ACE_INET_Addr address;
    if (address.set(port_, host_.get()) != 0) {
        // A name that does not resolve: what connecting to no address gives.
        error_ = WSAEADDRNOTAVAIL;
    } else {
        // A connect is not cut into slices: it waits at most its time-out or
        // up to the deadline, whichever comes first.
        uint64_t wait = timeouts_.connect_ms;
        if (deadline_) {
            uint64_t now = now_ms();
            wait = std::min<uint64_t>(wait, deadline_ > now ? deadline_ - now : 1);
        }
        ACE_Synch_Options options(ACE_Synch_Options::USE_TIMEOUT,
                                  http_time_value(static_cast<DWORD>(wait)));
        Handler* handler = nullptr;
        errno = 0;
        if (connector.connect(handler, address, options) == 0 && handler) {
            handler_ = handler;
        } else {
            // The connection cache reports a connect that ran out of time as ENOTSUP.
            error_ = errno == ENOTSUP ? WSAETIMEDOUT : WSAGetLastError();
            if (error_ == 0) error_ = WSAENOTCONN;
        }
    }
    if (!handler_) {
        SetLastError(static_cast<DWORD>(error_));
        log_message(LM_ERROR, "Failed to connect HTTP %s:%u, %d: %m\n", host_.get(),
                    static_cast<unsigned>(port_), error_);
        return -1;
    }
    int one = 1;
    errno = 0;
    if (handler_->peer().set_option(ACE_IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        int code = WSAGetLastError();
        last_error_restorer keep;
        SetLastError(static_cast<DWORD>(code));
        log_message(LM_ERROR, "Failed to disable nagle algorithm: %s:%u, %d: %m\n", host_.get(),
                    static_cast<unsigned>(port_), code);
    }
    state_ = STATE_CONNECTED;
    return 0;
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_buffer_size(int size) {
    if (!handler_) return -1;
    return handler_->peer().set_option(SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::refuse_head(HTTP_Request& request) {
    auto refuse = [this](const char* what, const char* name) {
        error_ = ERROR_INVALID_PARAMETER;
        SetLastError(ERROR_INVALID_PARAMETER);
        log_message(LM_ERROR, what, host_.get(), static_cast<unsigned>(port_), name);
        return ERROR_INVALID_PARAMETER;
    };
    if (request.uri() && !uri_allowed(request.uri()))
        return refuse(
            "Refused to send HTTP request to %s:%u: its %s holds a space or a control "
            "character.\n",
            "URI");
    const HTTP_Headers& headers = request.headers();
    for (int i = 0; i < HTTP_HEAD_COUNT; ++i) {
        const char* value = headers.get(i);
        // The brackets of host_header() hold no control character.
        if (i == HTTP_HEAD_HOST && (!value || !*value)) value = host_.get();
        if (value && !head_text_allowed(value))
            return refuse(
                "Refused to send HTTP request to %s:%u: its %s header holds a control "
                "character.\n",
                http_head_string(i));
    }
    return 0;
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_head(HTTP_Request& request) {
    if (state_ != STATE_CONNECTED && state_ != STATE_COMPLETE) return -1;
    if (refuse_head(request) != 0) return -1;
    state_ = STATE_SENDING_HEAD;
    error_ = 0;
    length_ = 0;
    done_ = 0;
    headPending_ = false;
    chunked_ = request.chunked_transfer_encoding();
    keepAlive_ = request.keep_alive();
    const char* method = http_method_string(request.method());
    if (!method) return fail(ERROR_INVALID_PARAMETER, "Unable to send HTTP request to %s:%u: %m\n");
    if (!handler_) return fail(WSAENOTCONN, "Unable to send HTTP request to %s:%u: %m\n");

    // The head is written into one text that the invoker keeps for the next
    // request: no allocation once it has grown to the size of a head.
    head_.clear();
    head_ += method;
    head_ += ' ';
    head_ += request.uri() && *request.uri() ? request.uri() : "/";
    const int major = request.major_version(), minor = request.minor_version();
    if (major >= 0 && major <= 9 && minor >= 0 && minor <= 9) {
        head_ += " HTTP/";
        head_ += static_cast<char>('0' + major);
        head_ += '.';
        head_ += static_cast<char>('0' + minor);
        head_ += "\r\n";
    } else {
        char version[32];
        std::snprintf(version, sizeof version, " HTTP/%d.%d\r\n", major, minor);
        head_ += version;
    }
    const HTTP_Headers& headers = request.headers();
    for (int i = 0; i < HTTP_HEAD_COUNT; ++i) {
        const char* value = headers.get(i);
        if (i == HTTP_HEAD_HOST && (!value || !*value)) {
            head_ += http_head_string(i);
            head_ += ": ";
            append_host_header(head_);
            head_ += "\r\n";
            continue;
        }
        if (!value) continue;
        head_ += http_head_string(i);
        head_ += ": ";
        head_ += value;
        head_ += "\r\n";
    }
    head_ += "\r\n";

    int index = request.method();
    if (index == HTTP_METHOD_POST || index == HTTP_METHOD_PUT) {
        length_ = request.content_length();
        if (chunked_ || length_ != 0) {
            // Sent with the body's first part.
            headPending_ = true;
            state_ = STATE_HEAD_SENT;
            return 0;
        }
    }
    iovec part = http_iovec(head_.data(), head_.size());
    int code = 0;
    if (write_all(&part, 1, &code) != 0)
        return fail(code, "Unable to send HTTP request to %s:%u: %m\n");
    state_ = STATE_REQUEST_SENT;
    return 0;
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_body(const void* data, size_t size) {
    if (state_ != STATE_HEAD_SENT && state_ != STATE_SENDING_BODY) return -1;
    state_ = STATE_SENDING_BODY;
    error_ = 0;
    size_t n = static_cast<size_t>(
        std::min<uint64_t>({size, length_ - done_, static_cast<uint64_t>(INT_MAX)}));
    iovec part = http_iovec(data, n);
    int code = 0;
    if ((n > 0 || headPending_) && write_parts(&part, n > 0 ? 1 : 0, &code) != 0)
        return fail(code, "Unable to send HTTP request to %s:%u: %m\n");
    done_ += n;
    if (done_ == length_) state_ = STATE_REQUEST_SENT;
    return static_cast<int>(n);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_body_v(const iovec* iov, int count) {
    if (state_ != STATE_HEAD_SENT && state_ != STATE_SENDING_BODY) return -1;
    state_ = STATE_SENDING_BODY;
    error_ = 0;
    if (count < 0 || (count > 0 && !iov))
        return fail(ERROR_INVALID_PARAMETER,
                    "Failed to send HTTP request data chunk to %s:%u: %m\n");
    uint64_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    int code = 0;
    if ((total > 0 || headPending_) && write_parts(iov, count, &code) != 0)
        return fail(code, "Failed to send HTTP request data chunk to %s:%u: %m\n");
    done_ += total;
    if (done_ > length_) {
        fail(7, "Send too much request content to %s:%u and the connection is corrupted.\n");
        errno = E2BIG;
        return -1;
    }
    if (done_ == length_) state_ = STATE_REQUEST_SENT;
    return static_cast<int>(std::min<uint64_t>(total, INT_MAX));
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_chunk(const void* data, size_t size) {
    iovec part = http_iovec(data, size);
    return send_chunk_i(&part, size ? 1 : 0, size);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_chunk_v(const iovec* iov, int count) {
    if (count < 0 || (count > 0 && !iov)) count = 0;
    size_t size = 0;
    for (int i = 0; i < count; ++i) size += iov[i].iov_len;
    return send_chunk_i(iov, size ? count : 0, size);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::send_chunk_i(const iovec* data, int count, size_t size) {
    if (state_ != STATE_HEAD_SENT && state_ != STATE_SENDING_BODY) return -1;
    state_ = STATE_SENDING_BODY;
    error_ = 0;
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    static const char kEnd[] = "\r\n";
    start_parts();
    parts_.push_back(http_iovec(line, std::strlen(line)));
    for (int i = 0; i < count; ++i)
        if (data[i].iov_len) parts_.push_back(data[i]);
    parts_.push_back(http_iovec(kEnd, 2));
    int code = 0;
    if (write_started_parts(&code) != 0)
        return fail(code, "Failed to send HTTP request data chunk to %s:%u: %m\n");
    if (size == 0) {
        state_ = STATE_REQUEST_SENT;
        return 0;
    }
    done_ += size;
    return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::recv(void* buf, size_t size) {
    if (!handler_) return fail(WSAENOTCONN, "Failed to receive HTTP data from %s:%u %m\n");
    int code = 0;
    if (wait_readable(&code) != 0)
        return fail(code, "Failed to wait for HTTP ready to read from %s:%u %m\n");
    errno = 0;
    ssize_t n = handler_->peer().recv(buf, std::min<size_t>(size, INT_MAX));
    if (n < 0) return fail(WSAGetLastError(), "Failed to receive HTTP data from %s:%u %m\n");
    if (n == 0) return fail(WSAECONNRESET, "The HTTP connection is closed by %s:%u.\n");
    return static_cast<int>(n);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::recv_n(void* buf, size_t size) {
    if (!handler_) return fail(WSAENOTCONN, "Failed to receive HTTP data from %s:%u %m\n");
    size = std::min<size_t>(size, INT_MAX);
    size_t got = 0;
    while (got < size) {
        int n = recv(static_cast<char*>(buf) + got, size - got);
        if (n < 0) return -1;
        got += static_cast<size_t>(n);
    }
    return static_cast<int>(got);
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::recv_head(HTTP_Response& response) {
    if (state_ != STATE_REQUEST_SENT) return -1;
    state_ = STATE_RECEIVING_HEAD;
    error_ = 0;
    length_ = 0;
    done_ = 0;
    if (headBuffer_) {
        headBuffer_->reset();
    } else if (!(headBuffer_ = make_message_block(kHeadBufferSize))) {
        return fail(ERROR_NOT_ENOUGH_MEMORY, "Failed to receive HTTP data from %s:%u %m\n");
    }
    response.reset();
    response.headers().reset();
    HTTP_Response_Parser parser;
    for (;;) {
        // The whole head stays in the buffer, one byte of which stays free:
        // a head of more than 8192 bytes is refused.
        size_t space = headBuffer_->space();
        if (space <= 1) return malformed("The HTTP response head from %s:%u is too long.\n");
        int n = recv(headBuffer_->wr_ptr(), space - 1);
        if (n < 0) return -1;
        headBuffer_->wr_ptr(static_cast<size_t>(n));
        int parsed = parser.parse(*headBuffer_, response);
        if (parsed < 0) return malformed("The HTTP response head from %s:%u is malformed.\n");
        if (parsed == HTTP_PARSER_DONE) break;
    }
    keepAlive_ = response.keep_alive();
    chunked_ = response.chunked_transfer_encoding();
    if (!chunked_) {
        length_ = response.content_length();
        if (!length_text_allowed(response, length_))
            return malformed("The HTTP response head from %s:%u has a malformed length.\n");
        if (length_ > maxBody_)
            return malformed("The HTTP response body from %s:%u is over its limit.\n");
        state_ = length_ == 0 ? STATE_COMPLETE : STATE_HEAD_RECEIVED;
        return 0;
    }
    int made = 0;
    if (chunkReader_) {
        made = chunkReader_->reset(headBuffer_.get());
    } else {
        chunkReader_.reset(new (std::nothrow) HTTP_Receive_Buffer(this, headBuffer_.get()));
        made = chunkReader_ && chunkReader_->block() ? 0 : -1;
    }
    if (made != 0)
        return fail(ERROR_NOT_ENOUGH_MEMORY, "Failed to receive HTTP data from %s:%u %m\n");
    chunkReader_->max_body(maxBody_);
    state_ = STATE_HEAD_RECEIVED;
    return 0;
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::recv_body(ACE_Message_Block& out, size_t* got, int mode) {
    if (got) *got = 0;
    if (state_ != STATE_HEAD_RECEIVED && state_ != STATE_RECEIVING_BODY) return -1;
    state_ = STATE_RECEIVING_BODY;
    error_ = 0;
    size_t delivered = 0;
    int result;
    if (chunked_) {
        result = chunkReader_->read_chunked(out, &delivered, mode);
        if (chunkReader_->state() == HTTP_Receive_Buffer::CHUNK_END) {
            state_ = STATE_COMPLETE;
        } else if (chunkReader_->state() == HTTP_Receive_Buffer::CHUNK_ERROR && error_ == 0) {
            // A read that failed has set the error; without one the reader
            // ran out of memory (-1) or found the body malformed.
            // A body that cannot be decoded fails the exchange as a dropped
            // connection would: the connection is unusable, the reply lost.
            if (result < 0) {
                result =
                    fail(ERROR_NOT_ENOUGH_MEMORY, "Failed to receive HTTP data from %s:%u %m\n");
            } else if (chunkReader_->over_bound()) {
                result =
                    malformed("The chunked HTTP response body from %s:%u is over its limit.\n");
            } else {
                malformed("The chunked HTTP response body from %s:%u is malformed.\n");
                error_ = WSAECONNRESET;
                SetLastError(WSAECONNRESET);
                result = -1;
            }
        }
    } else {
        result = read_length(out, &delivered, mode);
        if (done_ + delivered == length_) state_ = STATE_COMPLETE;
    }
    done_ += delivered;
    if (got) *got = delivered;
    if (state_ == STATE_COMPLETE && !keepAlive_) {
        state_ = STATE_DONE_CLOSING;
        close();
    }
    return result;
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::read_length(ACE_Message_Block& out, size_t* delivered,
                                                    int mode) {
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(out.space(), length_ - done_));
    size_t copied = std::min(headBuffer_->length(), wanted);
    std::memcpy(out.wr_ptr(), headBuffer_->rd_ptr(), copied);
    out.wr_ptr(copied);
    headBuffer_->rd_ptr(copied);
    *delivered = copied;
    // Mode 0 hands over buffered bytes before it waits for more.
    if (copied == wanted || (copied > 0 && mode == 0))
        return static_cast<int>(std::min<size_t>(copied, INT_MAX));
    size_t rest = std::min<size_t>(wanted - copied, INT_MAX);
    int n = mode == 2 ? recv_n(out.wr_ptr(), rest) : recv(out.wr_ptr(), rest);
    if (n < 0) return -1;
    out.wr_ptr(static_cast<size_t>(n));
    *delivered += static_cast<size_t>(n);
    return static_cast<int>(std::min<size_t>(*delivered, INT_MAX));
}

template <class Connector, class Handler>
int HTTP_Invoker_T<Connector, Handler>::close() {
    if (!handler_) {
        state_ = STATE_IDLE;
        return -1;
    }
    if (state_ == STATE_IDLE) return -1;
    headPending_ = false;
    if (state_ == STATE_CONNECTED || (state_ == STATE_COMPLETE && keepAlive_))
        handler_->idle(0);
    else
        handler_->close(0);
    if (headBuffer_) headBuffer_->reset();
    handler_ = nullptr;
    state_ = STATE_IDLE;
    return 0;
}

using HTTP_Invoker =
    HTTP_Invoker_T<ACE_Strategy_Connector<HTTP_Svc_Handler, ACE_SOCK_Connector>, HTTP_Svc_Handler>;

extern template class HTTP_Invoker_T<ACE_Strategy_Connector<HTTP_Svc_Handler, ACE_SOCK_Connector>,
                                     HTTP_Svc_Handler>;
