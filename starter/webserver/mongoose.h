// The embedded web server that the service host starts and whose worker threads call the web
// interface plug-in's handlers (portvane). A small shared library (tovel_web) that the starter and
// portvane both link, so that both see the one server.
//
// The server's engine is hidden behind these calls; its own header is never included here, and
// every name lives in tovel::web so that nothing clashes with the engine's C names.
//
// Life of a context:
//   mg_set_create_thread_callback(cb);     // optional, before mg_start
//   mg_context* ctx = mg_start();          // holds options; opens no socket
//   mg_set_log_callback(ctx, log);
//   mg_set_option(ctx, "ports", "...");    // as many as wanted, also mg_get_option
//   mg_listen(ctx);                        // loads the plug-in, binds, starts serving
//   ...                                    // requests run the plug-in's handlers
//   mg_set_stopping(ctx);                  // new requests get 503 from now on
//   mg_stop(ctx);                          // ends every worker and frees ctx
//
// Options are held by the context until mg_listen and handed to the engine then, so the options
// file and the command line can be read after mg_start. Option names are the engine's own
// ("listening_ports", "document_root", ...) or the short names that options files use ("ports",
// "root", "auth_realm", ...). Whatever the options say, the server never answers cross-origin
// preflights, never runs CGI or server-side includes, never lists folders, closes each
// connection after one request (handlers write whole raw replies) and gives up on a client that
// stalls longer than its request time-out.
//
// A client that is not on this machine (outside 127.0.0.0/8 and ::1), and a request whose "Host"
// is not this machine's loopback name with the server's port, whose "Origin" is another than that
// host's, or that a page of another origin made (another site's, or one on another port of this
// machine; the start pages and the files of the document folder aside) gets "403 Forbidden"
// before the plug-in sees it. A "ports" entry without an address listens on 127.0.0.1. The
// authorisation hook sees the request's head before any of its body is read, and a body shorter
// than its Content-Length reaches no handler.
// A GET or HEAD that no handler takes is answered from the document folder ("root"): a regular
// file inside it (no path or link leads out), sent with its type, "Content-Security-Policy:
// default-src 'self'" and "X-Content-Type-Options: nosniff", or 404 (see documents.h).
//
// Handlers of the plug-in are looked up by name in "libportvane.so" in the folder of the running
// program; the URI decides which one runs (see bindings.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tovel::web {

// One server: its options, its engine once listening, its plug-in. Opaque.
struct mg_context;

// One request being answered. Opaque; valid only during the handler call it is given to.
struct mg_connection;

// What a handler learns of its request. Every pointer stays valid for the handler call.
struct mg_request_info {
    const char* request_method;  // "GET", "POST", ...; null in a log line that has no request
    const char* uri;             // path only: percent-decoded, no query, doubled slashes kept
    const char* query_string;    // the text after '?', still encoded; null when there is none
    const char* http_version;    // "1.0", "1.1"
    const char* post_data;       // the whole body, transfer coding undone, NUL-terminated
    size_t post_data_len;        // bytes of the body (0 when there is none)
    uint32_t remote_ip;          // client's IPv4 address in host order (0 for other families)
    int remote_port;             // client's port
};

// A thread body as the create-thread callback starts it.
typedef void* (*mg_thread_func_t)(void* param);

// Starts func(param) on a new thread; returns 0 when the thread runs, -1 when it could not start.
typedef int (*mg_create_thread_callback_t)(mg_thread_func_t func, void* param);

// Receives the server's error and warning messages. request is never null: a message that
// belongs to no request carries a record whose request_method is null. conn may be null.
// Called on any of the server's threads, or on the caller's own for start-up failures.
typedef void (*mg_log_callback_t)(mg_connection* conn, const mg_request_info* request,
                                  const char* message);

// The plug-in's handlers: one call per request on a worker thread, concurrently with others.
typedef void (*mg_handler_t)(mg_connection* conn, const mg_request_info* request);

// The plug-in's authorisation hook ("auth_callback"), called before the handler of every
// request; it lets the request through by calling mg_authorize and returns what that returned.
typedef int (*mg_auth_callback_t)(mg_connection* conn, const mg_request_info* request);

// ---- Server context ---------------------------------------------------------------------------

// Stores the function through which the server is to make its threads; call before mg_start.
// Process-wide. (The engine makes its worker threads itself; the callback is kept and can be
// read back with mg_get_create_thread_callback.)
void mg_set_create_thread_callback(mg_create_thread_callback_t callback);
mg_create_thread_callback_t mg_get_create_thread_callback();

// A new context holding no options and serving nothing yet, or null when out of memory.
// The caller owns it and ends it with mg_stop.
mg_context* mg_start();

// Starts serving with the options held: loads the plug-in, binds the listening ports and starts
// the worker threads. Returns 1 when the server listens; on failure (a port that cannot be
// bound, a refused option, a second call) prints the engine's reason on standard error, passes
// it to the log callback and returns 0; the context then still has to be stopped.
int mg_listen(mg_context* ctx);

// From now on every new request is answered "503 Service Unavailable" without reaching the
// plug-in; requests already in a handler go on. Any thread; idempotent; null is ignored.
void mg_set_stopping(mg_context* ctx);

// Stops serving: running handlers see mg_is_stopping, a client that stalls is dropped after the
// request time-out, and the call returns once every worker has ended; then frees ctx and
// unloads the plug-in. Null is ignored.
void mg_stop(mg_context* ctx);

// Sets an option by its engine name or short name. Returns 1 when accepted, 0 for an unknown
// name, a null argument, or a call after mg_listen. An empty value counts as set.
int mg_set_option(mg_context* ctx, const char* name, const char* value);

// The option's value, or null when it is unset or the name is unknown. The text stays valid
// until the option is set again or the context is stopped.
const char* mg_get_option(const mg_context* ctx, const char* name);

// The server's version text (static).
const char* mg_version();

// Sets the context's log callback (null: messages go to standard error).
void mg_set_log_callback(mg_context* ctx, mg_log_callback_t callback);

// Adds, changes or (with a null password) removes user's entry in the passwords file, whose
// entries are "user:realm:md5(user:realm:password)", the realm being the context's "auth_realm"
// option. Returns 1 on success, 0 on failure (file not writable, bad user name).
int mg_modify_passwords_file(mg_context* ctx, const char* file, const char* user,
                             const char* password);

// Writes the command-line usage with every option name and its default to stream.
void mg_show_usage_string(FILE* stream);

// ---- Per request (only inside a handler or the hook, on the request's own thread) -------------

// The value of the request's header name (case-insensitive), or null when it is absent.
const char* mg_get_header(const mg_connection* conn, const char* name);

// A form variable: looked for first in the body (as application/x-www-form-urlencoded), then in
// the query string; decoded ('+' is a blank). A copy that the caller frees with mg_free, or null
// when the variable is absent.
char* mg_get_var(const mg_connection* conn, const char* name);
void mg_free(void* p);

// The same for a variable of the body only: the query string is not looked at.
char* mg_get_body_var(const mg_connection* conn, const char* name);

// Write raw bytes of the reply to the client (the handler writes the status line and headers
// itself). Return the bytes written: fewer, 0 or -1 when the client is gone or stalled beyond
// the request time-out.
int mg_printf(mg_connection* conn, const char* format, ...) __attribute__((format(printf, 2, 3)));
int mg_write(mg_connection* conn, const void* data, size_t length);

// Non-zero when the client sent more data or closed the connection within the wait, else 0.
int mg_readable(mg_connection* conn, long seconds, long microseconds);

// Non-zero once mg_stop has begun: long-running handlers end when they see it.
int mg_is_stopping(const mg_connection* conn);

// Whether uri's handler needs a session cookie: 1 yes, 0 no (an open handler), -1 when no
// handler is bound to it (a file of the document folder).
int mg_uri_callback_require_auth(mg_connection* conn, const char* uri);

// Lets the request reach its handler after the hook returns; returns 1. Without this call the
// handler does not run.
int mg_authorize(mg_connection* conn);

// Who the client is, for quotas: "account <user id>" when the client's end of the connection is
// a socket of this machine (the account that opened it, as the kernel records it; any program
// may take any 127.0.0.0/8 address, so on loopback the address alone tells nothing apart), else
// "address <client's IPv4 address, dotted>" ("address 0.0.0.0" for other families). Never null;
// valid during the handler call; the first call looks the owner up, later ones give the same text.
const char* mg_get_peer_identity(mg_connection* conn);

}  // namespace tovel::web
