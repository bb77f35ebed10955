#include "job/remote/job_notify_client.h"

#include <algorithm>
#include <exception>

#include "common/ace_log_wrapper.h"
#include "common/json.h"
#include "job/core/job_state.h"
#include "job/remote/json_stream_scanner.h"

namespace {

long last_hresult() { return HRESULT_FROM_WIN32(GetLastError()); }

}  // namespace

JobNotifyClient::~JobNotifyClient() { Close(); }

long JobNotifyClient::Open(const wchar_t* host, unsigned short port) {
    if (!session_.get()) {
        HINTERNET session =
            WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!session) return last_hresult();
        session_.attach(session);
    }
    if (!connection_.get()) {
        HINTERNET connection = WinHttpConnect(session_.get(), host, port, 0);
        if (!connection) return last_hresult();
        connection_.attach(connection);
    }
    if (!get()) {
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stop_.valid()) return last_hresult();
        HINTERNET request = WinHttpOpenRequest(connection_.get(), L"GET", L"/jobnotify/", nullptr,
                                               WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        if (!request) return last_hresult();
        attach(request);
        // No resolve limit, 60 s to connect, 30 s to send, no receive limit.
        if (!WinHttpSetTimeouts(request, 0, 60000, 30000, -1) ||
            WinHttpSetStatusCallback(request, &JobNotifyClient::statusCallback,
                                     WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                     0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            long result = last_hresult();
            close();  // never sent: no notification will come; the next Open starts here
            return result;
        }
    }
    return send();
}

long JobNotifyClient::send() {
    bool first = !closed_.valid();
    if (first) {
        closed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!closed_.valid()) return last_hresult();
    }
    if (!WinHttpSendRequest(get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                            reinterpret_cast<DWORD_PTR>(this))) {
        long result = last_hresult();
        if (first) closed_.reset();
        return result;
    }
    return 0;
}

void JobNotifyClient::Close() {
    if (stop_.valid()) SetEvent(stop_.get());
    if (HINTERNET request = get()) {
        WinHttpCloseHandle(request);
        // The handle stays recorded until no callback can read it any more.
        if (closed_.valid()) WaitForSingleObject(closed_.get(), INFINITE);
        release();
    }
    closed_.reset();
    stop_.reset();
    connection_.close();
    session_.close();
    text_.clear();
    braces_.clear();
}

void JobNotifyClient::statusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                                     DWORD) {
    auto* client = reinterpret_cast<JobNotifyClient*>(context);
    if (!client) return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // The last notification: Close may destroy the client right after.
        SetEvent(client->closed_.get());
        return;
    }
    if (WaitForSingleObject(client->stop_.get(), 0) == WAIT_OBJECT_0) return;
    long result = client->handle(status, information);
    if (result < 0) client->OnResponseComplete(result);
}

long JobNotifyClient::handle(DWORD status, LPVOID information) {
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
            return WinHttpReceiveResponse(get(), nullptr) ? 0 : last_hresult();
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
            // A new response: nothing of an earlier one carries over.
            text_.clear();
            braces_.clear();
            DWORD code = 0;
            DWORD size = sizeof code;
            if (!WinHttpQueryHeaders(get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &code, &size,
                                     WINHTTP_NO_HEADER_INDEX))
                return last_hresult();
            if (code != 200) return E_FAIL;
            return WinHttpQueryDataAvailable(get(), nullptr) ? 0 : last_hresult();
        }
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            return readAvailable(*static_cast<DWORD*>(information));
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            OnRequestError(static_cast<WINHTTP_ASYNC_RESULT*>(information));
            return 0;
        default:
            return 0;
    }
}

long JobNotifyClient::readAvailable(DWORD available) {
    if (available == 0) {
        // The stream has ended; an event it cut off is dropped. The client
        // stays silent until it is opened again, and says so through
        // OnResponseComplete, so that its owner may open it again.
        text_.clear();
        braces_.clear();
        return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
    }
    DWORD read = 0;
    DWORD wanted = std::min<DWORD>(available, sizeof buffer_);
    if (!WinHttpReadData(get(), buffer_, wanted, &read)) return last_hresult();
    long result = scan(buffer_, read);
    if (result < 0) return result;
    return WinHttpQueryDataAvailable(get(), nullptr) ? 0 : last_hresult();
}

long JobNotifyClient::scan(const char* data, size_t size) {
    JsonStreamScanner scanner(braces_);
    while (size > 0) {
        JsonStreamScanner::Piece piece;
        size_t used = scanner.next(data, size, piece);
        if (piece.tooDeep) {
            log_message(LM_WARNING,
                        "JobNotifyClient: the job event stream nests deeper than %d levels; "
                        "it is no longer read.\n",
                        static_cast<int>(JsonStreamScanner::kMaxDepth));
            text_.clear();
            braces_.clear();
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        data += used;
        size -= used;
        // An object whose start was dropped (too long) has no text: its
        // further pieces are skipped up to its end.
        bool dropped = !piece.opens && text_.empty();
        if (piece.size > 0 && !dropped) {
            if (text_.size() + piece.size > kMaxEventBytes) {
                log_message(LM_WARNING,
                            "JobNotifyClient: a job event of more than %d bytes is dropped.\n",
                            static_cast<int>(kMaxEventBytes));
                text_.clear();
                text_.shrink_to_fit();
            } else {
                OnReadComplete(piece.data, piece.size);
            }
        }
        if (piece.closes && !text_.empty()) OnResponseComplete(0);
    }
    return 0;
}

long JobNotifyClient::OnReadComplete(const void* data, unsigned long size) {
    text_.append(static_cast<const char*>(data), size);
    return 0;
}

void JobNotifyClient::OnResponseComplete(long /*result*/) {
    std::string id;
    std::string state;
    bool event = false;
    try {
        json_spirit::Value value;
        json_spirit::read_or_throw(text_, value);
        if (value.type() == json_spirit::obj_type) {
            const json_spirit::Object& object = value.get_obj();
            state = json_spirit::object_get_str_or_throw(object, "state");
            id = json_spirit::object_get_str_or_throw(object, "id");
            event = true;
        }
    } catch (const std::exception&) {
        // Not an event: dropped.
    }
    text_.clear();
    if (event) OnJobStateChanged(id.c_str(), jobStateFromString(state.c_str()));
}

void JobNotifyClient::OnRequestError(WINHTTP_ASYNC_RESULT* result) {
    if (!result || result->dwResult != API_SEND_REQUEST) return;
    // The wait ends early when the client is stopped; then nothing is sent.
    if (WaitForSingleObject(stop_.get(), kRetryDelayMs) != WAIT_TIMEOUT) return;
    send();  // a failure here leaves the client silent, as any other
}
