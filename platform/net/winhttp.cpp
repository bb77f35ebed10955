// The WinHTTP functions: argument checks and handles here, the requests'
// states in winhttp_request.cpp, their transfers and callbacks in
// winhttp_engine.cpp.
#include "platform/win/winhttp.h"

#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/net/winhttp_engine.h"
#include "platform/net/winhttp_handles.h"
#include "platform/net/winhttp_request.h"
#include "platform/win/errors.h"

using tovel::platform::winhttp::add_handle;
using tovel::platform::winhttp::Connection;
using tovel::platform::winhttp::Engine;
using tovel::platform::winhttp::find;
using tovel::platform::winhttp::find_handle;
using tovel::platform::winhttp::Notification;
using tovel::platform::winhttp::remove_handle;
using tovel::platform::winhttp::Request;
using tovel::platform::winhttp::Session;
using tovel::platform::winhttp::Timeouts;

namespace {

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Visible ASCII only, as it goes on the wire; false for anything else.
bool ascii_text(LPCWSTR text, std::string& out) {
    out.clear();
    for (; *text; ++text) {
        if (*text <= L' ' || *text > L'~') return false;
        out += static_cast<char>(*text);
    }
    return true;
}

bool host_text(LPCWSTR host, std::string& out) {
    if (!ascii_text(host, out)) return false;
    for (char c : out) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letter && c != '.' && c != '-' && c != '_' && c != ':' && c != '[' && c != ']')
            return false;
    }
    if (out.find(':') != std::string::npos && out.front() != '[') out = "[" + out + "]";
    return true;
}

// A limit of WinHttpSetTimeouts: 0 and -1 stand for none.
bool limit(int value, DWORD& out) {
    if (value < -1) return false;
    out = value <= 0 ? 0 : static_cast<DWORD>(value);
    return true;
}

std::shared_ptr<Request> find_request(HINTERNET handle) { return find<Request>(handle); }

// A synchronous request's operation: waits for its notification; FALSE with
// the error of a REQUEST_ERROR.
template <class Operation>
BOOL settle(const std::shared_ptr<Request>& request, Operation operation, Notification& n) {
    if (!Engine::instance().wait(request, operation, n)) return FALSE;
    if (n.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) return fail(n.result.dwError);
    return TRUE;
}

// The header's value as WinHTTP gives text: UTF-16 units with a terminator,
// lengths in bytes.
BOOL copy_text(const std::string& value, LPVOID buffer, LPDWORD bufferLength) {
    DWORD needed = static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR));
    if (!buffer || *bufferLength < needed) {
        *bufferLength = needed;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    auto* out = static_cast<WCHAR*>(buffer);
    for (char c : value) *out++ = static_cast<unsigned char>(c);
    *out = 0;
    *bufferLength = needed - sizeof(WCHAR);
    return TRUE;
}

// The port that TOVEL_WINHTTP_PORT_MAP maps port to (tests only), or port.
INTERNET_PORT mapped_port(INTERNET_PORT port) {
    const char* map = std::getenv("TOVEL_WINHTTP_PORT_MAP");
    while (map && *map) {
        char* end = nullptr;
        unsigned long from = std::strtoul(map, &end, 10);
        if (end == map || *end != '=') break;
        const char* toText = end + 1;
        unsigned long to = std::strtoul(toText, &end, 10);
        if (end == toText || to == 0 || to > 65535) break;
        if (from == port) return static_cast<INTERNET_PORT>(to);
        if (*end != ',') break;
        map = end + 1;
    }
    return port;
}

}  // namespace

HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                      DWORD flags) {
    if ((flags & ~WINHTTP_FLAG_ASYNC) != 0 || accessType > WINHTTP_ACCESS_TYPE_NO_PROXY ||
        proxyName || proxyBypass) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string agentText;
    for (LPCWSTR c = agent; c && *c; ++c) {
        if (*c < L' ' || *c > L'~') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        agentText += static_cast<char>(*c);
    }
    if (!Engine::instance().usable()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return add_handle(std::make_shared<Session>(agentText, flags == 0));
}

HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD reserved) {
    auto owner = find<Session>(session);
    if (!owner) return nullptr;
    if (!host || !*host || reserved != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string hostText;
    if (!host_text(host, hostText)) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return nullptr;
    }
    if (port == INTERNET_DEFAULT_PORT) port = INTERNET_DEFAULT_HTTP_PORT;
    return add_handle(std::make_shared<Connection>(owner, hostText, mapped_port(port)));
}

HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
    auto owner = find<Connection>(connection);
    if (!owner) return nullptr;
    bool head = verb && std::wcscmp(verb, L"HEAD") == 0;
    if ((verb && !head && std::wcscmp(verb, L"GET") != 0) ||
        (version && std::wcscmp(version, L"HTTP/1.1") != 0) || referrer || acceptTypes ||
        (flags & ~WINHTTP_FLAG_REFRESH) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path = "/";
    if (objectName && *objectName) {
        if (!ascii_text(objectName, path)) {
            SetLastError(ERROR_WINHTTP_INVALID_URL);
            return nullptr;
        }
        if (path.front() != '/') path.insert(path.begin(), '/');
    }
    auto request =
        std::make_shared<Request>(owner, path, head, (flags & WINHTTP_FLAG_REFRESH) != 0);
    HINTERNET handle = add_handle(request);
    Engine::instance().with(request, [&](Request& r) {
        r.handle(handle);
        return 0;
    });
    return handle;
}

BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout) {
    auto object = find_handle(handle);
    if (!object) return FALSE;
    Timeouts timeouts;
    DWORD resolve = 0;
    if (!limit(resolveTimeout, resolve) || !limit(connectTimeout, timeouts.connect_ms) ||
        !limit(sendTimeout, timeouts.send_ms) || !limit(receiveTimeout, timeouts.receive_ms))
        return fail(ERROR_INVALID_PARAMETER);
    if (auto session = std::dynamic_pointer_cast<Session>(object)) {
        session->timeouts(timeouts);
        return TRUE;
    }
    if (auto request = std::dynamic_pointer_cast<Request>(object)) {
        Engine::instance().with(request, [&](Request& r) {
            r.timeouts(timeouts);
            return 0;
        });
        return TRUE;
    }
    return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
}

WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
                                                 DWORD flags, DWORD_PTR /*reserved*/) {
    auto request = find_request(handle);
    if (!request) return WINHTTP_INVALID_STATUS_CALLBACK;
    return Engine::instance().with(request,
                                   [&](Request& r) { return r.callback(callback, flags); });
}

BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context) {
    auto r = find_request(request);
    if (!r) return FALSE;
    if (headers || headersLength || optional || optionalLength || totalLength)
        return fail(ERROR_INVALID_PARAMETER);
    Notification n;
    if (r->synchronous())
        return settle(
            r, [&](Request& q) { return q.send(context); }, n);
    return Engine::instance().with(r, [&](Request& q) { return q.send(context); }) ? TRUE : FALSE;
}

BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved) {
    auto r = find_request(request);
    if (!r) return FALSE;
    if (reserved) return fail(ERROR_INVALID_PARAMETER);
    Notification n;
    if (r->synchronous())
        return settle(
            r, [](Request& q) { return q.receive(); }, n);
    return Engine::instance().with(r, [](Request& q) { return q.receive(); }) ? TRUE : FALSE;
}

BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         LPDWORD bufferLength, LPDWORD index) {
    auto r = find_request(request);
    if (!r) return FALSE;
    if (index || !bufferLength) return fail(ERROR_INVALID_PARAMETER);
    if ((infoLevel == WINHTTP_QUERY_CUSTOM) != (name != nullptr))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD status = 0;
    if (!Engine::instance().with(r, [&](Request& q) { return q.status_code(status); }))
        return FALSE;
    std::string text;
    if (infoLevel == WINHTTP_QUERY_STATUS_CODE)
        return copy_text(std::to_string(status), buffer, bufferLength);
    if (infoLevel == WINHTTP_QUERY_CONTENT_LENGTH || infoLevel == WINHTTP_QUERY_CUSTOM) {
        std::string wanted = "Content-Length";
        if (name && !ascii_text(name, wanted)) return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
        if (!Engine::instance().with(r, [&](Request& q) { return q.header(wanted, text); }))
            return FALSE;
        return copy_text(text, buffer, bufferLength);
    }
    if (infoLevel != (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER))
        return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    if (!buffer || *bufferLength < sizeof status) {
        *bufferLength = sizeof status;
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    *static_cast<DWORD*>(buffer) = status;
    *bufferLength = sizeof status;
    return TRUE;
}

BOOL WinHttpQueryDataAvailable(HINTERNET request, LPDWORD bytesAvailable) {
    auto r = find_request(request);
    if (!r) return FALSE;
    if (r->synchronous()) {
        Notification n;
        if (!settle(
                r, [](Request& q) { return q.query_data(); }, n))
            return FALSE;
        if (bytesAvailable) *bytesAvailable = n.count;
        return TRUE;
    }
    return Engine::instance().with(r, [](Request& q) { return q.query_data(); }) ? TRUE : FALSE;
}

BOOL WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD bytesRead) {
    auto r = find_request(request);
    if (!r) return FALSE;
    if (r->synchronous()) {
        Notification n;
        if (!settle(
                r, [&](Request& q) { return q.read(buffer, toRead, nullptr); }, n))
            return FALSE;
        if (bytesRead) *bytesRead = n.length;
        return TRUE;
    }
    return Engine::instance().with(r, [&](Request& q) { return q.read(buffer, toRead, bytesRead); })
               ? TRUE
               : FALSE;
}

BOOL WinHttpAddRequestHeaders(HINTERNET request, LPCWSTR headers, DWORD headersLength,
                              DWORD modifiers) {
    auto r = find_request(request);
    if (!r) return FALSE;
    const DWORD known = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
    if (!headers || (modifiers & ~known) != 0 || (modifiers & WINHTTP_ADDREQ_FLAG_ADD) == 0)
        return fail(ERROR_INVALID_PARAMETER);
    size_t length = headersLength == static_cast<DWORD>(-1) ? std::wcslen(headers) : headersLength;
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        WCHAR c = headers[i];
        if (c != L'\r' && c != L'\n' && (c < L' ' || c > L'~'))
            return fail(ERROR_WINHTTP_INVALID_HEADER);
        text += static_cast<char>(c);
    }
    bool replace = (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) != 0;
    return Engine::instance().with(r, [&](Request& q) { return q.add_headers(text, replace); })
               ? TRUE
               : FALSE;
}

BOOL WinHttpWriteData(HINTERNET request, LPCVOID, DWORD, LPDWORD) {
    if (!find_request(request)) return FALSE;
    return fail(ERROR_NOT_SUPPORTED);
}

BOOL WinHttpCloseHandle(HINTERNET handle) {
    auto object = remove_handle(handle);
    if (!object) return FALSE;
    if (auto request = std::dynamic_pointer_cast<Request>(object)) {
        Engine::instance().with(request, [](Request& r) {
            r.close();
            return 0;
        });
    }
    return TRUE;
}
