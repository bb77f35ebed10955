// The server context: options held until it listens, the plug-in, start and stop.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "starter/webserver/engine.h"
#include "starter/webserver/server.h"

namespace tovel::web {
namespace {

std::atomic<mg_create_thread_callback_t> g_create_thread{nullptr};

// The listening option with each port 0 replaced by the port the engine bound for it.
std::string with_bound_ports(const std::string& configured, const std::vector<int>& bound) {
    std::string out;
    size_t start = 0;
    for (size_t i = 0; start <= configured.size(); ++i) {
        size_t comma = configured.find(',', start);
        std::string entry = configured.substr(
            start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t colon = entry.rfind(':');
        size_t digits = colon == std::string::npos ? 0 : colon + 1;
        size_t end = entry.find_first_not_of("0123456789", digits);
        std::string port =
            entry.substr(digits, end == std::string::npos ? std::string::npos : end - digits);
        if (port == "0" && i < bound.size()) {
            entry.replace(digits, port.size(), std::to_string(bound[i]));
        }
        if (!out.empty()) out += ',';
        out += entry;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace

mg_context::mg_context() = default;
mg_context::~mg_context() {
    engine.reset();  // no handler runs once the engine has stopped; then the plug-in may go
    plugin.reset();
}

void mg_context::use_plugin(std::unique_ptr<Plugin> p) {
    plugin = std::move(p);
    exports = Exports{};
    if (!plugin) return;
    exports.auth = reinterpret_cast<mg_auth_callback_t>(plugin->symbol("auth_callback"));
    for (const Binding& b : bindings()) {
        exports.handlers.push_back(reinterpret_cast<mg_handler_t>(plugin->symbol(b.export_name)));
    }
}

void mg_context::log(mg_connection* conn, const char* message) {
    mg_log_callback_t callback = log_callback.load();
    if (!callback) {
        std::fprintf(stderr, "%s\n", message);
        return;
    }
    mg_request_info none{};
    callback(conn, conn ? &conn->info : &none, message);
}

void mg_set_create_thread_callback(mg_create_thread_callback_t callback) {
    g_create_thread.store(callback);
}

mg_create_thread_callback_t mg_get_create_thread_callback() { return g_create_thread.load(); }

mg_context* mg_start() { return new (std::nothrow) mg_context; }

mg_context* start_context(std::unique_ptr<Plugin> plugin, int request_timeout_ms) {
    auto* ctx = new mg_context;
    ctx->request_timeout_ms = request_timeout_ms;
    ctx->use_plugin(std::move(plugin));
    return ctx;
}

int mg_listen(mg_context* ctx) {
    if (!ctx) return 0;
    if (ctx->listen_called) {
        std::fprintf(stderr, "%s\n", "the web server is already started");
        return 0;
    }
    ctx->listen_called = true;
    if (!ctx->plugin) {
        std::string path = default_plugin_path(), error;
        ctx->use_plugin(load_plugin(path, error));
        // The server still serves its document folder; every handler answers 404.
        if (!ctx->plugin) ctx->log(nullptr, ("cannot load the web interface: " + error).c_str());
    }
    std::string reason;
    ctx->engine = Engine::start(*ctx, reason);
    if (!ctx->engine) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        ctx->log(nullptr, reason.c_str());
        return 0;
    }
    const char* configured = ctx->options.get("listening_ports");
    ctx->options.set(
        "listening_ports",
        with_bound_ports(configured ? configured : kDefaultPorts, ctx->engine->ports()).c_str());
    return 1;
}

std::vector<int> listening_ports(const mg_context* ctx) {
    return ctx && ctx->engine ? ctx->engine->ports() : std::vector<int>{};
}

void mg_set_stopping(mg_context* ctx) {
    if (ctx) ctx->refusing.store(true);
}

void mg_stop(mg_context* ctx) {
    if (!ctx) return;
    ctx->refusing.store(true);
    ctx->stopping.store(true);
    delete ctx;
}

int mg_set_option(mg_context* ctx, const char* name, const char* value) {
    if (!ctx || ctx->listen_called) return 0;
    return ctx->options.set(name, value) ? 1 : 0;
}

const char* mg_get_option(const mg_context* ctx, const char* name) {
    return ctx ? ctx->options.get(name) : nullptr;
}

const char* mg_version() { return engine_version(); }

void mg_set_log_callback(mg_context* ctx, mg_log_callback_t callback) {
    if (ctx) ctx->log_callback.store(callback);
}

int mg_modify_passwords_file(mg_context* ctx, const char* file, const char* user,
                             const char* password) {
    if (!file || !user) return 0;
    const char* realm = ctx ? ctx->options.get("authentication_domain") : nullptr;
    if (!realm) realm = engine_default("authentication_domain");
    return engine_modify_passwords(file, realm, user, password) ? 1 : 0;
}

void mg_show_usage_string(FILE* stream) { OptionSet::show_usage(stream ? stream : stderr); }

}  // namespace tovel::web
