// One client's request as the engine has parsed it, and the way to answer it. The server's
// request handling (server.cpp) works on this interface only, so that it can be driven without
// sockets; the engine's side is in engine.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovel::web {

struct mg_connection;

// Used by one worker thread for one request; every text stays valid while it lives.
class Connection {
public:
    virtual ~Connection() = default;

    virtual const char* method() const = 0;
    // The path: percent-decoded, without the query, doubled slashes and dot segments as sent.
    virtual const char* path() const = 0;
    // Whether the decoded path holds a NUL ("%00"), which path() cannot carry: it ends there.
    virtual bool path_holds_nul() const { return false; }
    // The text after '?', still encoded; null when there is none.
    virtual const char* query() const = 0;
    virtual const char* http_version() const = 0;
    // A header's value (name matched without regard to case), null when absent.
    virtual const char* header(const char* name) const = 0;
    // The client's IPv4 address in host order (0 when the client is not IPv4) and port.
    virtual uint32_t remote_ipv4() const = 0;
    // The client's address as text ("127.0.0.1", "::1"); null when it is not known.
    virtual const char* remote_address() const = 0;
    virtual int remote_port() const = 0;
    // The server's port that the request came in on.
    virtual int local_port() const = 0;
    // The user id of the local account that opened the client's end of the connection; -1 when
    // the client is not on this machine or that cannot be told.
    virtual long long peer_owner() const { return -1; }

    // The declared body length, or -1 when the body is not announced by length (chunked, or none).
    virtual long long content_length() const = 0;
    // Up to length bytes of the body with its transfer coding undone: the count, 0 at its end,
    // negative when the client failed or stalled beyond the request time-out.
    virtual int read(void* data, size_t length) = 0;

    // Writes raw reply bytes; the count written, or 0 or negative when the client is gone.
    virtual int write(const void* data, size_t length) = 0;
    // Non-zero when the client sent data or closed within the wait, else 0.
    virtual int readable(long seconds, long microseconds) = 0;
    // Ends the connection once what was written has gone out: nothing more of the request is
    // read (the engine would otherwise read and drop the rest of an unread body first).
    virtual void end_connection() = 0;

    // Ties the request being answered to this connection for the engine's log messages (null
    // when it is done).
    virtual void attach(mg_connection*) {}
};

}  // namespace tovel::web
