#include "updater/update_client.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "job/stores/options.h"

namespace tovel::updater {
namespace {

std::atomic<HINTERNET> g_session{nullptr};
std::mutex g_sessionLock;

// Keeps the caller's last error unless the call fails.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    int ok() {
        SetLastError(saved_);
        return 0;
    }

private:
    DWORD saved_;
};

}  // namespace

int open_winhttp_session() {
    if (g_session.load()) return 0;
    std::lock_guard<std::mutex> guard(g_sessionLock);
    if (g_session.load()) return 0;
    HINTERNET session = WinHttpOpen(L"Tovel Agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return -1;
    // A stalled server must not hold the updater (and its single-instance
    // lock) for good.
    WinHttpSetTimeouts(session, 0, kConnectLimitMs, kSendLimitMs, kReceiveLimitMs);
    g_session.store(session);
    return 0;
}

int close_winhttp_session() {
    std::lock_guard<std::mutex> guard(g_sessionLock);
    HINTERNET session = g_session.load();
    if (!session) return 0;
    if (!WinHttpCloseHandle(session)) return -1;
    g_session.store(nullptr);
    return 0;
}

ConnectorRoot::~ConnectorRoot() { close(); }

int ConnectorRoot::close() {
    if (!connection_) return 0;
    if (!WinHttpCloseHandle(connection_)) return -1;
    connection_ = nullptr;
    return 0;
}

ServerConnector::ServerConnector() {
    std::string host;
    unsigned short port = 0;
    OptionsImpl::instance()->getServerInfo(host, port);
    if (host.empty() || port == 0) {
        log_message(LM_ERROR,
                    "Failed to initialize Web_WConnector, get web server information failed.\n");
        return;
    }
    host_ = host;
    port_ = port;
}

ServerConnector::ServerConnector(std::string host, unsigned short port) {
    host_ = std::move(host);
    port_ = port;
}

int ServerConnector::open() {
    if (host_.empty() || port_ == 0) {
        log_message(LM_ERROR,
                    "Failed to open connection to server, the server host address is "
                    "empty or invalid port.\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (connect() != 0) {
        DWORD error = GetLastError();
        std::wstring host = from_utf8(host_);
        log_message(LM_ERROR, "Failed to open connection to server, %W:%d  error-code = %d.\n",
                    host.c_str(), static_cast<int>(port_), static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    return 0;
}

int ServerConnector::connect() {
    if (connection_) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return -1;
    }
    if (host_.empty() || port_ == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::wstring host = from_utf8(host_);
    if (open_winhttp_session() != 0) return -1;
    connection_ = WinHttpConnect(g_session.load(), host.c_str(), port_, 0);
    return connection_ ? 0 : -1;
}

RequestRoot::~RequestRoot() { close(); }

int RequestRoot::open(const char* verb, const ConnectorRoot& connector, const char* path) {
    LastErrorKeeper keeper;
    if (request_) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return -1;
    }
    std::wstring wideVerb = from_utf8(verb ? verb : "GET");
    std::wstring widePath = from_utf8(path && *path ? path : "/");
    request_ =
        WinHttpOpenRequest(connector.handle(), wideVerb.c_str(), widePath.c_str(), nullptr,
                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_REFRESH);
    if (!request_) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to open HTTP request to: %W %W, ErrorCode = %d.\n",
                    wideVerb.c_str(), widePath.c_str(), static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    return keeper.ok();
}

int RequestRoot::close() {
    LastErrorKeeper keeper;
    if (!request_) return keeper.ok();
    if (!WinHttpCloseHandle(request_)) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to close HTTP request, ErrorCode = %d.\n",
                    static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    request_ = nullptr;
    return keeper.ok();
}

int RequestRoot::add_headers(const char* text, size_t length) {
    LastErrorKeeper keeper;
    std::wstring wide = from_utf8(std::string(text ? text : "", text ? length : 0));
    if (!request_) {
        log_message(LM_ERROR, "Failed to set: %W, HTTP request is not opened.\n", wide.c_str());
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!WinHttpAddRequestHeaders(request_, wide.c_str(), static_cast<DWORD>(wide.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to add request headers: %W, ErrorCode = %d.\n", wide.c_str(),
                    static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    return keeper.ok();
}

int RequestRoot::send() {
    LastErrorKeeper keeper;
    if (!request_) {
        log_message(LM_ERROR, "Failed to send request, HTTP request is not opened.\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0)) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to send request, ErrorCode = %d.\n", static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    return keeper.ok();
}

int RequestRoot::receive() {
    LastErrorKeeper keeper;
    if (!request_) {
        log_message(LM_ERROR, "Failed to receive response, invlaid request handle.\n");
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!WinHttpReceiveResponse(request_, nullptr)) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to receive response, ErrorCode = %d.\n",
                    static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    return keeper.ok();
}

std::string RequestRoot::query_header(DWORD level, const wchar_t* name) {
    std::vector<WCHAR> buffer(256 / sizeof(WCHAR));
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(WCHAR));
    if (!WinHttpQueryHeaders(request_, level, name, buffer.data(), &length,
                             WINHTTP_NO_HEADER_INDEX)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
        buffer.assign(length / sizeof(WCHAR) + 1, 0);
        length = static_cast<DWORD>(buffer.size() * sizeof(WCHAR));
        if (!WinHttpQueryHeaders(request_, level, name, buffer.data(), &length,
                                 WINHTTP_NO_HEADER_INDEX))
            return "";
    }
    return to_utf8(std::wstring(buffer.data(), length / sizeof(WCHAR)));
}

int RequestRoot::status_code() {
    std::string text = query_header(WINHTTP_QUERY_STATUS_CODE);
    return text.empty() ? -1 : std::atoi(text.c_str());
}

int64_t RequestRoot::content_length() {
    std::string text = query_header(WINHTTP_QUERY_CONTENT_LENGTH);
    if (text.empty()) return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

int RequestRoot::read_chunk(char* buffer) {
    LastErrorKeeper keeper;
    int count = 0;
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request_, &available)) available = 0;
    while (available != 0) {
        if (count >= kChunkSize) {
            log_message(LM_WARNING,
                        "Read response data incompletely, content-length = %q, buffer-size = "
                        "%d, readed-size = %d.\n",
                        static_cast<long long>(content_length()), kChunkSize, count);
            break;
        }
        DWORD amount = std::min<DWORD>(available, static_cast<DWORD>(kChunkSize - count));
        DWORD read = 0;
        if (!WinHttpReadData(request_, buffer + count, amount, &read)) {
            DWORD error = GetLastError();
            log_message(LM_WARNING, "Read response data failed, ErrorCode = %d.\n",
                        static_cast<int>(error));
            SetLastError(error);
            return -1;
        }
        count += static_cast<int>(read);
        if (!WinHttpQueryDataAvailable(request_, &available)) available = 0;
    }
    keeper.ok();
    return count;
}

int64_t RequestRoot::read_all(std::string& out, size_t limit) {
    LastErrorKeeper keeper;
    int64_t length = content_length();
    if (length < 0 && GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND) {
        DWORD error = GetLastError();
        log_message(LM_ERROR,
                    "Read response data failed, failed to get the \"Content-Length\", ErrorCode "
                    "= %d.\n",
                    static_cast<int>(error));
        SetLastError(error);
        return -1;
    }
    if (length == 0) {
        out.clear();
        keeper.ok();
        return 0;
    }
    char buffer[512];
    DWORD available = 0;
    while (out.size() <= limit) {
        // A body cut short is a failure, not a shorter body.
        if (!WinHttpQueryDataAvailable(request_, &available)) {
            DWORD error = GetLastError();
            log_message(LM_ERROR,
                        "Read response data failed. Failed to read response data, ErrorCode = "
                        "%d.\n",
                        static_cast<int>(error));
            SetLastError(error);
            return -1;
        }
        if (available == 0) break;
        DWORD amount = std::min<DWORD>(available, sizeof buffer);
        DWORD read = 0;
        if (!WinHttpReadData(request_, buffer, amount, &read)) {
            DWORD error = GetLastError();
            log_message(LM_ERROR,
                        "Read response data failed. Failed to read response data, ErrorCode = "
                        "%d.\n",
                        static_cast<int>(error));
            SetLastError(error);
            return -1;
        }
        out.append(buffer, read);
    }
    keeper.ok();
    return static_cast<int64_t>(out.size());
}

int InstallerGetRequest::set_range(int64_t offset) {
    if (offset == 0) return 0;
    char header[128];
    int length = std::snprintf(header, sizeof header, "RANGE: bytes=%" PRId64 "-\r\n", offset);
    return add_headers(header, static_cast<size_t>(length));
}

}  // namespace tovel::updater
