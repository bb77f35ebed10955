#include "platform/net/winhttp_request.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>

namespace tovel::platform::winhttp {
namespace {

// The WinHTTP error of a transfer's end.
DWORD error_of(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return 0;
        case CURLE_COULDNT_RESOLVE_HOST:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_OUT_OF_MEMORY:
        case CURLE_WRITE_ERROR:  // the body could not be buffered
            return ERROR_NOT_ENOUGH_MEMORY;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_BAD_CONTENT_ENCODING:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        default:  // sending, receiving, a body cut short or malformed
            return ERROR_WINHTTP_CONNECTION_ERROR;
    }
}

long limit_of(DWORD ms) { return ms ? static_cast<long>(ms) : static_cast<long>(INT_MAX); }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? b[i] + 32 : b[i];
        if (x != y) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

Request::Request(std::shared_ptr<Connection> connection, std::string path, bool head, bool refresh)
    : connection_(std::move(connection)),
      url_("http://" + connection_->host() + ":" + std::to_string(connection_->port()) + path),
      headOnly_(head),
      refresh_(refresh),
      timeouts_(connection_->session()->timeouts()) {}

Request::~Request() = default;

WINHTTP_STATUS_CALLBACK Request::callback(WINHTTP_STATUS_CALLBACK callback, DWORD flags) {
    WINHTTP_STATUS_CALLBACK previous = callback_;
    callback_ = callback;
    flags_ = flags;
    return previous;
}

bool Request::open_check() const {
    if (closed_) SetLastError(ERROR_INVALID_HANDLE);
    return !closed_;
}

bool Request::send(DWORD_PTR context) {
    if (!open_check()) return false;
    if (pending_ != Pending::kNone) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    context_ = context;
    restart_ = true;
    pending_ = Pending::kSend;
    sentTold_ = false;
    receiving_ = false;
    headTold_ = false;
    return true;
}

bool Request::receive() {
    if (!open_check()) return false;
    if (!sentTold_ || receiving_ || pending_ != Pending::kNone) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    receiving_ = true;
    pending_ = Pending::kReceive;
    waitingSince_ = Clock::now();
    return true;
}

bool Request::query_data() {
    if (!open_check()) return false;
    if (!headTold_ || pending_ != Pending::kNone) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    pending_ = Pending::kQuery;
    waitingSince_ = Clock::now();
    return true;
}

bool Request::read(void* buffer, DWORD size, DWORD* bytesRead) {
    if (!open_check()) return false;
    if (!headTold_ || pending_ != Pending::kNone) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (bytesRead) *bytesRead = 0;
    if (buffered() > 0 || (done_ && error_ == 0)) {
        Notification n;
        n.status = WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
        n.buffer = buffer;
        n.length = take_body(buffer, size);
        if (bytesRead) *bytesRead = n.length;
        queue_.push_back(n);
        return true;
    }
    pending_ = Pending::kRead;
    readBuffer_ = buffer;
    readSize_ = size;
    waitingSince_ = Clock::now();
    return true;
}

bool Request::status_code(DWORD& status) const {
    if (!open_check()) return false;
    if (!headTold_) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    status = status_;
    return true;
}

bool Request::header(std::string_view name, std::string& value) const {
    if (!open_check()) return false;
    if (!headTold_) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
        return false;
    }
    for (const auto& [key, text] : received_) {
        if (!same_name(key, name)) continue;
        value = text;
        return true;
    }
    SetLastError(ERROR_WINHTTP_HEADER_NOT_FOUND);
    return false;
}

bool Request::add_headers(std::string_view text, bool replace) {
    if (!open_check()) return false;
    std::vector<std::pair<std::string, std::string>> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        bool good = colon != std::string_view::npos && colon > 0;
        for (char c : line) good = good && c >= ' ' && c <= '~';
        for (char c : name) good = good && c != ' ';
        if (!good) {
            SetLastError(ERROR_WINHTTP_INVALID_HEADER);
            return false;
        }
        lines.emplace_back(std::string(name), std::string(trimmed(line.substr(colon + 1))));
    }
    for (auto& line : lines) {
        auto same = [&](const auto& h) { return same_name(h.first, line.first); };
        if (replace) std::erase_if(added_, same);
        added_.push_back(std::move(line));
    }
    return true;
}

bool Request::take_settled(Notification& notification) {
    if (queue_.empty()) return false;
    notification = queue_.front();
    queue_.pop_front();
    return true;
}

void Request::close() {
    closed_ = true;
    restart_ = false;
    pending_ = Pending::kNone;
    queue_.clear();
    if (synchronous()) return;  // nobody to tell
    Notification n;
    n.status = WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING;
    n.closed = handle_;
    queue_.push_back(n);
}

CURL* Request::start(Clock::time_point now) {
    restart_ = false;
    paused_ = false;
    sent_ = false;
    head_ = false;
    status_ = 0;
    done_ = false;
    error_ = 0;
    body_.clear();
    bodyRead_ = 0;
    easy_.reset(curl_easy_init());
    received_.clear();
    headers_.reset(curl_slist_append(nullptr, "Accept:"));  // none, as WinHTTP sends
    bool ok = headers_ != nullptr;
    std::vector<std::string> extra;
    if (refresh_) extra = {"Cache-Control: no-cache", "Pragma: no-cache"};
    for (const auto& [name, value] : added_)
        extra.push_back(value.empty() ? name + ";" : name + ": " + value);
    for (const std::string& line : extra) {
        curl_slist* more = ok ? curl_slist_append(headers_.get(), line.c_str()) : nullptr;
        ok = more != nullptr;
    }
    CURL* easy = easy_.get();
    ok = ok && easy;
    const std::string& agent = connection_->session()->agent();
    ok = ok && curl_easy_setopt(easy, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PRIVATE, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get()) == CURLE_OK &&
         (!headOnly_ || curl_easy_setopt(easy, CURLOPT_NOBODY, 1L) == CURLE_OK) &&
         (agent.empty() || curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK) &&
         curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, limit_of(timeouts_.connect_ms)) ==
             CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Request::on_header) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Request::on_body) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK &&
         // The debug channel tells when the request head has been written.
         curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Request::on_debug) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L) == CURLE_OK;
    if (!ok) {
        easy_.reset();
        done_ = true;
        error_ = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    waitingSince_ = now;
    return easy;
}

void Request::finished(CURLcode code) {
    done_ = true;
    error_ = error_of(code);
    if (error_ == 0 && !head_) error_ = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

bool Request::take_resume() {
    if (!paused_ || !inMulti_ || buffered() >= kResumeBytes) return false;
    paused_ = false;
    return true;
}

Clock::time_point Request::receive_deadline() const {
    bool waiting = (pending_ == Pending::kReceive && !head_) ||
                   ((pending_ == Pending::kQuery || pending_ == Pending::kRead) && buffered() == 0);
    if (closed_ || restart_ || done_ || !inMulti_ || !waiting || timeouts_.receive_ms == 0)
        return Clock::time_point::max();
    return waitingSince_ + std::chrono::milliseconds(timeouts_.receive_ms);
}

bool Request::check_receive_limit(Clock::time_point now) {
    if (now < receive_deadline()) return false;
    done_ = true;
    error_ = ERROR_WINHTTP_TIMEOUT;
    return true;
}

void Request::queue_error(DWORD api, DWORD error) {
    Notification n;
    n.status = WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
    n.result.dwResult = api;
    n.result.dwError = error;
    queue_.push_back(n);
    pending_ = Pending::kNone;
}

void Request::resolve() {
    if (closed_ || restart_) return;
    Notification n;
    switch (pending_) {
        case Pending::kNone:
            return;
        case Pending::kSend:
            if (sent_) {
                n.status = WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE;
                sentTold_ = true;
            } else if (done_) {
                queue_error(API_SEND_REQUEST, error_);
                return;
            } else {
                return;
            }
            break;
        case Pending::kReceive:
            if (head_) {
                n.status = WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE;
                headTold_ = true;
            } else if (done_) {
                queue_error(API_RECEIVE_RESPONSE, error_);
                return;
            } else {
                return;
            }
            break;
        case Pending::kQuery:
            if (buffered() == 0 && !done_) return;
            if (buffered() == 0 && error_ != 0) {
                queue_error(API_QUERY_DATA_AVAILABLE, error_);
                return;
            }
            n.status = WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE;
            n.count = static_cast<DWORD>(std::min<size_t>(buffered(), UINT32_MAX));
            break;
        case Pending::kRead:
            if (buffered() == 0 && !done_) return;
            if (buffered() == 0 && error_ != 0) {
                queue_error(API_READ_DATA, error_);
                return;
            }
            n.status = WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
            n.buffer = readBuffer_;
            n.length = take_body(readBuffer_, readSize_);
            break;
    }
    pending_ = Pending::kNone;
    queue_.push_back(n);
}

bool Request::take(Delivery& delivery) {
    if (queue_.empty()) return false;
    delivery.callback = callback_;
    delivery.flags = flags_;
    delivery.context = context_;
    delivery.handle = handle_;
    delivery.notification = queue_.front();
    queue_.pop_front();
    return true;
}

DWORD Request::take_body(void* buffer, DWORD size) {
    DWORD n = static_cast<DWORD>(std::min<size_t>(size, buffered()));
    if (n > 0) std::memcpy(buffer, body_.data() + bodyRead_, n);
    bodyRead_ += n;
    if (bodyRead_ == body_.size()) {
        body_.clear();
        bodyRead_ = 0;
    } else if (bodyRead_ >= kResumeBytes) {
        body_.erase(0, bodyRead_);
        bodyRead_ = 0;
    }
    return n;
}

size_t Request::on_header(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    size_t n = size * count;
    r->waitingSince_ = Clock::now();
    if (r->head_) return n;  // trailers of a chunked body
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        size_t space = line.find(' ');
        r->status_ = 0;
        r->received_.clear();
        for (size_t i = space + 1; space != std::string_view::npos && i < space + 4 && i < n; ++i)
            if (line[i] >= '0' && line[i] <= '9') r->status_ = r->status_ * 10 + (line[i] - '0');
    } else if (line == "\r\n" || line == "\n") {
        if (r->status_ >= 100 && r->status_ < 200)
            r->status_ = 0;  // an interim head; the final one follows
        else
            r->head_ = true;
    } else if (size_t colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        try {
            r->received_.emplace_back(std::string(line.substr(0, colon)),
                                      std::string(trimmed(line.substr(colon + 1))));
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    return n;
}

size_t Request::on_body(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    size_t n = size * count;
    if (r->buffered() >= kPauseBytes) {
        r->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    try {
        r->body_.append(data, n);
    } catch (const std::bad_alloc&) {
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    r->waitingSince_ = Clock::now();
    return n;
}

int Request::on_debug(CURL*, curl_infotype type, char*, size_t, void* self) {
    if (type == CURLINFO_HEADER_OUT) static_cast<Request*>(self)->sent_ = true;
    return 0;
}

}  // namespace tovel::platform::winhttp
