// The updater's HTTP client: one process-wide synchronous WinHTTP session,
// one connection to the remote web server named by the agent's settings, and
// requests that are opened, sent, answered and read on the calling thread,
// every call blocking (within the session's time-outs: connect 60 s, send
// 60 s, 120 s of silence while receiving). Plain HTTP, no request bodies.
//
// Results are 0 for success, -1 for failure, or a count. The calls that say
// so keep the caller's Win32 last-error value on success; on failure the last
// error holds the reason. Failures are logged here. One thread uses the
// client; the session's opening is guarded for any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace tovel::updater {

// The time-outs of the session, milliseconds.
inline constexpr int kConnectLimitMs = 60000;
inline constexpr int kSendLimitMs = 60000;
inline constexpr int kReceiveLimitMs = 120000;

// The size of the buffer that read_chunk fills.
inline constexpr int kChunkSize = 0x200000;

// Opens the process's session when it is not open: 0, or -1.
int open_winhttp_session();
// Closes it: 0, or -1 (the session stays).
int close_winhttp_session();

// A connection handle, closed with its owner.
class ConnectorRoot {
public:
    ConnectorRoot() = default;
    virtual ~ConnectorRoot();
    ConnectorRoot(const ConnectorRoot&) = delete;
    ConnectorRoot& operator=(const ConnectorRoot&) = delete;

    HINTERNET handle() const { return connection_; }
    // Closes the connection when open: 0, or -1 (the handle stays).
    int close();

protected:
    HINTERNET connection_ = nullptr;
    std::string host_;
    unsigned short port_ = 0;
};

// The remote web server of the agent's settings (read at construction).
class ServerConnector : public ConnectorRoot {
public:
    ServerConnector();
    // For tests and tools: a given host and port.
    ServerConnector(std::string host, unsigned short port);
    ~ServerConnector() override = default;

    // Connects (opening the session when needed): 0, or -1 logged; 87 for no
    // host or port, 1247 when already connected.
    virtual int open();

private:
    int connect();
};

class RequestRoot {
public:
    RequestRoot() = default;
    virtual ~RequestRoot();
    RequestRoot(const RequestRoot&) = delete;
    RequestRoot& operator=(const RequestRoot&) = delete;

    // Opens verb path (null or empty: "/") on the connection, asking caches
    // not to answer from a stored copy: 0, or -1 (1247 when already open).
    int open(const char* verb, const ConnectorRoot& connector, const char* path);
    int close();
    // Adds "Name: value\r\n" lines, replacing headers of the same name.
    int add_headers(const char* text, size_t length);
    // Sends without a body: 0, or -1.
    virtual int send();
    // Waits for the response head: 0, or -1.
    int receive();

    // A header of the response as text; empty when it has none (or on any
    // failure). name is for WINHTTP_QUERY_CUSTOM only.
    std::string query_header(DWORD level, const wchar_t* name = nullptr);
    // The status code, or -1.
    int status_code();
    // The Content-Length, or -1 (last error 12150 when the response has
    // none); a value that is not a decimal number also gives -1.
    int64_t content_length();
    // Reads the next part of the body into buffer (kChunkSize bytes): the
    // count, 0 at the end of the body, -1 on a read failure. A body that
    // goes on past a full buffer logs a warning; the rest is for the next
    // call.
    int read_chunk(char* buffer);
    // Appends the body to out until it ends or out holds more than limit
    // bytes: out's size, or -1.
    int64_t read_all(std::string& out, size_t limit);

    HINTERNET handle() const { return request_; }

protected:
    HINTERNET request_ = nullptr;
};

class Request : public RequestRoot {
protected:
    std::string body_;  // always empty here
};

class MD5Request : public Request {};
class InstallerHeadRequest : public Request {};
class InstallerGetRequest : public Request {
public:
    // Asks for the bytes from offset on ("RANGE: bytes=<offset>-"); offset 0
    // adds nothing. 0, or -1.
    int set_range(int64_t offset);
};

}  // namespace tovel::updater
