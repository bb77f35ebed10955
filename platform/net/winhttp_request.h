// One WinHTTP request: the state of its response, its pending operation and
// the notifications due to its callback, over one libcurl transfer per send.
// A request of a synchronous session keeps its notifications for the caller
// that waits for them (Engine::wait) instead of a callback.
// It starts no thread and takes no lock: every member is called with the
// engine's lock held (winhttp_engine.h), the transfer's callbacks from inside
// the engine's curl calls on the worker thread.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/net/winhttp_handles.h"

namespace tovel::platform::winhttp {

using Clock = std::chrono::steady_clock;

// A notification waiting for delivery; its information lives here.
struct Notification {
    DWORD status = 0;
    DWORD count = 0;                   // DATA_AVAILABLE
    WINHTTP_ASYNC_RESULT result = {};  // REQUEST_ERROR
    void* buffer = nullptr;            // READ_COMPLETE
    DWORD length = 0;                  // READ_COMPLETE
    HINTERNET closed = nullptr;        // HANDLE_CLOSING
};

// What the callback gets for one notification, taken out under the lock.
struct Delivery {
    WINHTTP_STATUS_CALLBACK callback = nullptr;
    DWORD flags = 0;
    DWORD_PTR context = 0;
    HINTERNET handle = nullptr;
    Notification notification;
};

class Request : public InternetObject {
public:
    // A response with more body bytes buffered than this pauses its transfer
    // until the reader has taken them below kResumeBytes.
    static constexpr size_t kPauseBytes = 256 * 1024;
    static constexpr size_t kResumeBytes = 64 * 1024;

    // head: a HEAD request (no body is read after its response head).
    // refresh: asks caches on the way not to answer from a stored copy.
    Request(std::shared_ptr<Connection> connection, std::string path, bool head, bool refresh);
    ~Request() override;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    void handle(HINTERNET handle) { handle_ = handle; }
    HINTERNET handle() const { return handle_; }
    void timeouts(const Timeouts& timeouts) { timeouts_ = timeouts; }
    WINHTTP_STATUS_CALLBACK callback(WINHTTP_STATUS_CALLBACK callback, DWORD flags);

    // The caller's operations. false with the last error set: 6 once closed,
    // 12019 out of order (see platform/win/winhttp.h).
    bool send(DWORD_PTR context);
    bool receive();
    bool query_data();
    // *bytesRead: what was copied at once (0 when the read is pending).
    bool read(void* buffer, DWORD size, DWORD* bytesRead);
    bool status_code(DWORD& status) const;
    // The value of the final response head's first header of the name (any
    // case): false with 12150 when it has none, 12019 before the head.
    bool header(std::string_view name, std::string& value) const;
    // Adds request headers for the sends to come: "Name: value" lines. With
    // replace an earlier header of the same name (any case) is replaced, else
    // the new one is added beside it. false with 12153 for a malformed line.
    bool add_headers(std::string_view text, bool replace);
    // Cancels what is pending and queues HANDLE_CLOSING as the last notification.
    void close();

    // The worker's side. A send asked for a new transfer: the caller removes
    // the old one from the multi handle, then start() makes the new one (null
    // with the error set in the request when curl cannot).
    bool restart_wanted() const { return restart_; }
    CURL* start(Clock::time_point now);
    CURL* transfer() const { return easy_.get(); }
    bool in_multi() const { return inMulti_; }
    void in_multi(bool in) { inMulti_ = in; }
    // The transfer ended (CURLE_OK or a failure).
    void finished(CURLcode code);
    // Whether the transfer was paused and may now go on (clears the mark).
    bool take_resume();
    // Fails a pending operation that has waited for the server longer than
    // the receive limit: true when the transfer must be removed.
    bool check_receive_limit(Clock::time_point now);
    // The time at which check_receive_limit may next act; max() when none.
    Clock::time_point receive_deadline() const;
    // Turns the pending operation into its notification when it can complete.
    void resolve();
    bool take(Delivery& delivery);
    // Whether the worker still has something to do for it.
    bool busy() const {
        return inMulti_ || restart_ || (!synchronous() && !queue_.empty()) ||
               pending_ != Pending::kNone;
    }
    bool closed() const { return closed_; }
    // Synchronous requests: whether a notification waits, and taking it.
    bool synchronous() const { return connection_->session()->synchronous(); }
    bool take_settled(Notification& notification);

private:
    enum class Pending { kNone, kSend, kReceive, kQuery, kRead };
    struct EasyCleanup {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };
    struct ListCleanup {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    static size_t on_header(char* data, size_t size, size_t count, void* self);
    static size_t on_body(char* data, size_t size, size_t count, void* self);
    static int on_debug(CURL* easy, curl_infotype type, char* data, size_t size, void* self);

    size_t buffered() const { return body_.size() - bodyRead_; }
    // Moves up to size buffered bytes into buffer; the count.
    DWORD take_body(void* buffer, DWORD size);
    void queue_error(DWORD api, DWORD error);
    bool open_check() const;

    const std::shared_ptr<Connection> connection_;
    const std::string url_;
    const bool headOnly_;
    const bool refresh_;
    std::vector<std::pair<std::string, std::string>> added_;  // request headers
    HINTERNET handle_ = nullptr;
    Timeouts timeouts_;
    WINHTTP_STATUS_CALLBACK callback_ = nullptr;
    DWORD flags_ = 0;
    DWORD_PTR context_ = 0;

    std::unique_ptr<CURL, EasyCleanup> easy_;
    std::unique_ptr<curl_slist, ListCleanup> headers_;
    bool inMulti_ = false;
    bool restart_ = false;
    bool paused_ = false;
    bool closed_ = false;

    // The response of the current send.
    bool sent_ = false;       // the request head went out
    bool sentTold_ = false;   // SENDREQUEST_COMPLETE queued
    bool receiving_ = false;  // WinHttpReceiveResponse accepted
    bool head_ = false;       // the final response head is complete
    bool headTold_ = false;   // HEADERS_AVAILABLE queued
    DWORD status_ = 0;
    std::vector<std::pair<std::string, std::string>> received_;  // response headers
    bool done_ = false;                                          // the transfer ended
    DWORD error_ = 0;   // and how (0: the body is complete)
    std::string body_;  // decoded body bytes not yet read start at bodyRead_
    size_t bodyRead_ = 0;

    Pending pending_ = Pending::kNone;
    void* readBuffer_ = nullptr;
    DWORD readSize_ = 0;
    Clock::time_point waitingSince_;  // the pending operation's start, or the last byte since

    std::deque<Notification> queue_;
};

}  // namespace tovel::platform::winhttp
