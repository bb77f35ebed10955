#include "wirekit/server_command.h"

#include <ace/Log_Msg.h>

#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "common/ace_log_wrapper.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "wirekit/connector_mgr.h"
#include "wirekit/http_url.h"

// ---- bodies

uint8_t* Download_Data_Type::reserve(uint64_t length) {
    if (buffer_.size() < length + 1) buffer_.resize(length + 1);
    size_ = 0;
    return buffer_.data();
}

int send_text_body(HTTP_Invoker& invoker, HTTP_Request& request, const std::string& text) {
    request.headers().put(HTTP_HEAD_TRANSFER_ENCODING, nullptr);
    request.content_length(text.size());
    if (invoker.send_head(request) < 0) return -1;
    if (text.empty()) return 0;
    return invoker.send_body(text.data(), text.size());
}

template <>
int Request_T<FBuffer>::send(HTTP_Invoker& invoker) {
    headers().put(HTTP_HEAD_TRANSFER_ENCODING, nullptr);
    content_length(body_.length());
    if (invoker.send_head(*this) < 0) return -1;
    iovec pieces[3] = {
        http_iovec(body_.head.data(), body_.head.size()),
        http_iovec(body_.data, static_cast<size_t>(body_.size)),
        http_iovec(body_.tail.data(), body_.tail.size()),
    };
    return invoker.send_body_v(pieces, 3);
}

Body_Source Body_Source::of(std::string text) {
    auto whole = std::make_shared<std::string>(std::move(text));
    auto given = std::make_shared<bool>(false);
    Body_Source body;
    body.length = whole->size();
    body.rewind = [given] {
        *given = false;
        return true;
    };
    body.next = [whole, given](std::string& piece) {
        piece.clear();
        if (!*given) piece = *whole;
        *given = true;
        return true;
    };
    return body;
}

template <>
int Request_T<Body_Source>::send(HTTP_Invoker& invoker) {
    headers().put(HTTP_HEAD_TRANSFER_ENCODING, nullptr);
    content_length(body_.length);
    if (!body_.rewind || !body_.next) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!body_.rewind()) return -1;
    if (invoker.send_head(*this) < 0) return -1;
    uint64_t sent = 0;
    std::string piece;
    int result = 0;
    for (;;) {
        if (!body_.next(piece)) return -1;
        if (piece.empty()) break;
        if (sent + piece.size() > body_.length) break;
        result = invoker.send_body(piece.data(), piece.size());
        if (result < 0) return -1;
        sent += piece.size();
    }
    if (sent != body_.length) {
        log_message(LM_ERROR, "Request body of %s bytes made %s bytes or more.\n",
                    std::to_string(body_.length).c_str(),
                    std::to_string(sent + piece.size()).c_str());
        SetLastError(ERROR_INVALID_DATA);
        return -1;
    }
    return result;
}

namespace {

// Appends what is left of the stream to text, a block at a time, straight into the text (the
// web server's worker threads that run this have small stacks). expected, the length that the
// head announced (0: none), is read first in one piece: a short reply then costs neither a
// block's room nor its filling.
void read_rest(std::istream& in, std::string& text, uint64_t expected = 0) {
    constexpr size_t kBlock = 16384;
    std::streambuf* buffer = in.rdbuf();
    if (expected > 0 && expected <= kBlock) {
        size_t have = text.size();
        text.resize(have + static_cast<size_t>(expected));
        std::streamsize got = buffer->sgetn(&text[have], static_cast<std::streamsize>(expected));
        text.resize(have + static_cast<size_t>(got > 0 ? got : 0));
        if (got <= 0) return;
        char probe;  // the end of the stream, looked for without a block of room
        if (buffer->sgetn(&probe, 1) != 1) return;
        text += probe;
    }
    for (;;) {
        size_t have = text.size();
        text.resize(have + kBlock);
        std::streamsize got = buffer->sgetn(&text[have], kBlock);
        text.resize(have + static_cast<size_t>(got > 0 ? got : 0));
        if (got <= 0) return;
    }
}

}  // namespace

template <>
int Response_T<json_spirit::Value>::read(std::istream& in) {
    DWORD saved = GetLastError();
    // The body is read whole first, so that the connection is left at the end
    // of the reply whatever the parser makes of it.
    std::string text;
    read_rest(in, text, chunked_transfer_encoding() ? 0 : content_length());
    body_ = json_spirit::Value();
    if (in.bad()) {
        log_message(LM_ERROR, "Read response data failed. error = %d.\n",
                    static_cast<int>(GetLastError()));
        return -1;
    }
    try {
        json_spirit::read_or_throw(text, body_);
    } catch (const json_spirit::Error_position& error) {
        body_ = json_spirit::Value();
        log_message(LM_WARNING,
                    "Response data is not json_object type: line = %d, column = %d, reason = "
                    "%s.\n",
                    error.line_, error.column_, error.reason_.c_str());
        return 0;
    }
    SetLastError(saved);
    return 0;
}

// The end of a body's read: -1 (logged) when the stream failed, else 0 with the caller's last
// error put back.
static int endOfBodyRead(const std::istream& in, DWORD saved) {
    if (in.bad()) {
        log_message(LM_WARNING, "Read response data failed, error = %d.\n",
                    static_cast<int>(GetLastError()));
        return -1;
    }
    SetLastError(saved);
    return 0;
}

template <>
int Response_T<std::string>::read(std::istream& in) {
    DWORD saved = GetLastError();
    body_.clear();
    read_rest(in, body_, chunked_transfer_encoding() ? 0 : content_length());
    return endOfBodyRead(in, saved);
}

template <>
int Response_T<Streamed_Body>::read(std::istream& in) {
    DWORD saved = GetLastError();
    body_.text.clear();
    if (status() >= 200 && status() <= 299 && body_.reader) {
        body_.reader(in);
        // Whatever the reader left is read and dropped, so that the connection
        // ends at the end of the reply.
        in.clear(in.rdstate() & std::ios_base::badbit);
        in.ignore(std::numeric_limits<std::streamsize>::max());
    } else {
        read_rest(in, body_.text);
    }
    return endOfBodyRead(in, saved);
}

template <>
int Response_T<Download_Data_Type>::read(std::istream& in) {
    DWORD saved = GetLastError();
    if (chunked_transfer_encoding()) {
        // No length is announced: the body is what the stream gives.
        std::string whole;
        read_rest(in, whole);
        if (in.bad()) {
            body_.commit(0);
            return -1;
        }
        std::memcpy(body_.reserve(whole.size()), whole.data(), whole.size());
        body_.commit(whole.size());
        SetLastError(saved);
        return 0;
    }
    uint64_t length = content_length();
    uint8_t* buffer = body_.reserve(length);
    in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(length));
    if (static_cast<uint64_t>(in.gcount()) != length) {
        body_.commit(0);
        log_message(LM_WARNING, "Read response data failed, error = %d.\n",
                    static_cast<int>(GetLastError()));
        return -1;
    }
    body_.commit(static_cast<size_t>(length));
    SetLastError(saved);
    return 0;
}

// ---- cookies

Cookie_Upkeep update_session_cookie(HTTP_Request& request, const HTTP_Response& response) {
    const char* fresh = response.set_cookie();
    bool refused = response.status() == 401;
    if (!(fresh && *fresh) && !refused) return Cookie_Upkeep::KEEP;
    std::string old = request.cookie() ? request.cookie() : "";
    CookieManagerImpl* cookies =
        ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
    std::string user;
    bool known = !old.empty() && cookies->findUser(old.c_str(), user);
    bool removed = !old.empty() && cookies->removeCookie(old.c_str());
    if (!known) return Cookie_Upkeep::KEEP;
    if (refused) {
        // A refused cookie that stays in the store would be found again and
        // sent again for ever.
        if (!removed && cookies->isCookieValid(old.c_str())) {
            log_message(LM_ERROR,
                        "The refused session cookie could not be removed from the store.\n");
            return Cookie_Upkeep::FAILED;
        }
        std::string other;
        if (cookies->findCookie(user.c_str(), other) && !other.empty() && other != old) {
            request.cookie(other.c_str());
            return Cookie_Upkeep::RESEND;
        }
        return Cookie_Upkeep::KEEP;
    }
    cookies->saveCookie(user.c_str(), fresh);
    request.cookie(fresh);  // the caller's next request carries the new one
    return Cookie_Upkeep::KEEP;
}

// ---- Invoker

namespace {

bool same_host(const std::string& a, const char* b) {
    if (!b || a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

Invoker::~Invoker() = default;

bool Invoker::server(const char* host, unsigned short port, int sendBufferSize) {
    if (!host || !*host) {
        log_message(LM_ERROR, "Invalid host name(=null).\n");
        return false;
    }
    if (port == 0) {
        log_message(LM_ERROR, "Invalid server port(=0).\n");
        return false;
    }
    sendBufferSize_ = sendBufferSize;
    homeHost_ = host;
    homePort_ = port;
    return retarget(homeHost_, port);
}

bool Invoker::retarget(const std::string& host, unsigned short port) {
    if (host.empty() || port == 0) return false;
    invoker_ = std::make_unique<HTTP_Invoker>(host.c_str(), port);
    if (maxBodyLength_) invoker_->max_body_length(maxBodyLength_);
    invoker_->stop_check(stopCheck_);
    return true;
}

void Invoker::returnHome() {
    if (!invoker_ || homeHost_.empty()) return;
    if (homeHost_ == invoker_->host() && homePort_ == invoker_->port()) return;
    invoker_->close();
    retarget(homeHost_, homePort_);
}

void Invoker::stopCheck(interrupter* check) {
    stopCheck_ = check;
    if (invoker_) invoker_->stop_check(check);
}

void Invoker::beginAttempt(uint64_t bytes, uint64_t replyBound) {
    if (!invoker_) return;
    invoker_->deadline_in(invoker_->timeouts().exchange_deadline_ms(bytes));
    uint64_t bound = maxBodyLength_ ? maxBodyLength_ : replyBound;
    invoker_->max_body_length(bound ? bound : HTTP_Invoker::kDefaultMaxBodyLength);
}

void Invoker::maxBodyLength(uint64_t limit) {
    maxBodyLength_ = limit;
    if (invoker_) invoker_->max_body_length(limit ? limit : HTTP_Invoker::kDefaultMaxBodyLength);
}

int Invoker::beginStep(int& state, const std::string& name, DWORD saved) {
    if (state & kCommandBusyMask) {
        SetLastError(saved);
        return 0;
    }
    if (state == CMD_DONE) {
        SetLastError(saved);
        return -1;
    }
    if (state & kCommandFailureMask) {
        if (invoker_) invoker_->close();
        SetLastError(saved);
        return -1;
    }
    if (!invoker_) {
        state = CMD_CONNECT_FAILED;
        log_message(LM_ERROR,
                    "%s: The connection can't established, the connection is not initialized.\n",
                    name.c_str());
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (invoker_->state() == 1) {
        if (invoker_->connect(Connector_Mgr_Impl::instance()->connector()) < 0) {
            DWORD error = static_cast<DWORD>(invoker_->error());
            log_message(LM_ERROR, "%s: Connect to server failed. error = %d.\n", name.c_str(),
                        static_cast<int>(error));
            // Back to idle, so that the retry connects again instead of
            // sending on a connection that never came.
            invoker_->close();
            state = CMD_CONNECT_FAILED;
            SetLastError(error);
            return -1;
        }
        if (sendBufferSize_ > 0) invoker_->send_buffer_size(sendBufferSize_);
    }
    return 1;
}

int Invoker::sendFailed(int& state, const std::string& name) {
    DWORD error = static_cast<DWORD>(invoker_->error());
    invoker_->close();
    log_message(LM_ERROR, "%s: Send request failed. error = %d.\n", name.c_str(),
                static_cast<int>(error));
    state = CMD_SEND_FAILED;
    SetLastError(error);
    return -1;
}

int Invoker::receiveFailed(int& state, const std::string& name, const char* what) {
    DWORD error = static_cast<DWORD>(invoker_->error());
    invoker_->close();
    log_message(LM_ERROR, "%s: %s. error = %d.\n", name.c_str(), what, static_cast<int>(error));
    state = CMD_RECEIVE_FAILED;
    SetLastError(error);
    return 0;
}

int Invoker::refusedStep(int& state, const std::string& name) {
    log_message(LM_ERROR, "%s: The request is not sent, it could not be built.\n", name.c_str());
    state = CMD_SEND_FAILED;
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
}

bool Invoker::received(HTTP_Request& request, HTTP_Response& response, const std::string& name,
                       int& redirects) {
    if (!response.keep_alive()) {
        log_message(LM_INFO, "%s: connection closed.\n", name.c_str());
        invoker_->close();
    }
    int status = response.status();
    if (status < 300 || status > 399) return false;
    const char* location = response.headers().get(kHeaderLocation);
    log_message(LM_DEBUG, "%s: redirect to %s.\n", name.c_str(), location ? location : "unkown");
    if (!location || !*location) return false;
    if (!url_is_absolute_http(location)) return false;  // no host to go to: the final reply
    if (redirects >= kMaxRedirects) {
        log_message(LM_ERROR, "%s: too many redirects.\n", name.c_str());
        return false;
    }
    std::string host = url_host(location);
    std::string path = url_path(location);
    int port = url_port(location);
    if (host.empty() || path.empty() || port <= 0 || port > 65535) return false;
    // A session cookie or a password is for the server it was sent to: a redirect elsewhere
    // (another host name, another port) is the final reply, which the caller hands on.
    bool elsewhere = !same_host(host, invoker_->host()) || port != invoker_->port();
    const char* cookie = request.cookie();
    if (elsewhere && ((cookie && *cookie) || request.credentials())) {
        log_message(LM_ERROR,
                    "%s: redirect to another server not followed, the request carries "
                    "credentials.\n",
                    name.c_str());
        return false;
    }
    invoker_->close();
    if (!retarget(host, static_cast<unsigned short>(port))) return false;
    request.uri(path.c_str());
    ++redirects;
    return true;
}

// ---- Web_Server_Invoker

Web_Server_Invoker::Web_Server_Invoker() {
    std::string host;
    unsigned short port = 0;
    OptionsImpl::instance()->getServerInfo(host, port);
    if (host.empty() || port == 0) {
        log_message(LM_ERROR, "Invalid host name or port, host = %s, port = %d.\n", host.c_str(),
                    static_cast<int>(port));
        return;
    }
    server(host.c_str(), port, 0);
}
