// The inside of a server context and of a request, shared by the adapter's sources and its tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "starter/webserver/bindings.h"
#include "starter/webserver/connection.h"
#include "starter/webserver/mongoose.h"
#include "starter/webserver/options.h"
#include "starter/webserver/plugin.h"

namespace tovel::web {

// The largest request body read; a longer one is answered 413 and reaches no handler.
inline constexpr size_t kMaxBody = size_t{16} << 20;

// How long a client may stall one read or write of its request before it is dropped; mg_stop
// waits no longer than this for a stalled worker.
inline constexpr int kRequestTimeoutMs = 10000;

class Engine;

// The plug-in's entry points, looked up once when the plug-in is loaded.
struct Exports {
    mg_auth_callback_t auth = nullptr;
    std::vector<mg_handler_t> handlers;  // by index of bindings(); null where not exported
};

// Owned by whoever called mg_start; options and callbacks are touched only by the thread that
// starts and stops it, the flags by any thread.
struct mg_context {
    mg_context();
    ~mg_context();

    OptionSet options;
    std::atomic<mg_log_callback_t> log_callback{nullptr};
    int request_timeout_ms = kRequestTimeoutMs;
    std::unique_ptr<Plugin> plugin;  // loaded by mg_listen unless a test gave one
    Exports exports;
    std::unique_ptr<Engine> engine;  // set while listening
    bool listen_called = false;
    std::string document_folder;  // of the "root" option, links resolved; set before listening
    std::atomic<bool> refusing{false};  // mg_set_stopping: new requests get 503
    std::atomic<bool> stopping{false};  // mg_stop has begun

    // Takes the plug-in and looks up its exports.
    void use_plugin(std::unique_ptr<Plugin> p);
    // Passes message to the log callback, or to standard error without one.
    void log(mg_connection* conn, const char* message);
};

// One request during the handler call; lives on the worker's stack.
struct mg_connection {
    mg_connection(mg_context& c, Connection& i) : ctx(c), io(i) {}

    mg_context& ctx;
    Connection& io;
    mg_request_info info{};
    std::string uri;
    std::string body;
    bool authorized = false;
    long long written = 0;
    int status = 0;    // of the reply's status line, once written
    std::string head;  // the reply's first bytes until the status is known
    std::string peer;  // mg_get_peer_identity's text once asked for
};

enum class Outcome {
    answered,  // the reply is written (or the client is gone)
    unbound,   // no handler is bound and the request may go on to the document folder
};

// Answers one request: 503 while refusing, 403 for a client that is not on this machine
// (loopback_peer) and for a request that names another host or comes from another site's page
// (see origin.h), 413 for a body announced over kMaxBody, then the plug-in's authorisation hook
// on the head alone (or, without one, 401 for handlers that need a cookie), then 404 when the
// plug-in does not export the bound handler; only then is the body read: 413 past kMaxBody, 400
// when it ends before its Content-Length, 408 when the client failed; then the bound handler.
// A reply given before the body was read ends the connection (Connection::end_connection).
// The reply's status goes to status when it is answered (500 when nothing readable was
// written). Any worker thread.
Outcome answer_request(mg_context& ctx, Connection& io, int* status = nullptr);

// For tests: a context whose plug-in is the given one instead of the program folder's, and
// whose clients may stall request_timeout_ms.
mg_context* start_context(std::unique_ptr<Plugin> plugin, int request_timeout_ms);

// The ports the engine listens on, in the order of the "ports" option (empty when not listening).
std::vector<int> listening_ports(const mg_context* ctx);

}  // namespace tovel::web
