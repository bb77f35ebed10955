#include "starter/webserver/options.h"

#include <civetweb.h>

#include <cstring>

namespace tovel::web {
namespace {

// Short names that options files use, and the engine option each stands for.
struct Alias {
    const char* name;
    const char* engine_name;
};
constexpr Alias kAliases[] = {
    {"ports", "listening_ports"},
    {"root", "document_root"},
    {"auth_realm", "authentication_domain"},
    {"access_log", "access_log_file"},
    {"error_log", "error_log_file"},
    {"ssl_cert", "ssl_certificate"},
    {"ssl_chain_file", "ssl_certificate_chain"},
    {"dir_list", "enable_directory_listing"},
    {"protect", "protect_uri"},
    {"cgi_ext", "cgi_pattern"},
    {"cgi_interp", "cgi_interpreter"},
    {"cgi_env", "cgi_environment"},
    {"ssi_ext", "ssi_pattern"},
    {"auth_gpass", "global_auth_file"},
    {"global_passwords_file", "global_auth_file"},
    {"auth_PUT", "put_delete_auth_file"},
    {"put_delete_passwords_file", "put_delete_auth_file"},
    {"acl", "access_control_list"},
    {"mime_types", "extra_mime_types"},
    {"max_threads", "num_threads"},
    {"uid", "run_as_user"},
};

// Settings that hold whatever the options say: no cross-origin answers, no scripts run from the
// document folder, no folder listings, one request per connection (the handlers write whole raw
// replies), paths left encoded: the adapter decodes them itself, so that a "%00" in one is seen
// rather than cutting it short (engine.cpp). An empty pattern matches nothing.
constexpr std::pair<const char*, const char*> kFixed[] = {
    {"access_control_allow_origin", ""},
    {"access_control_allow_methods", ""},
    {"access_control_allow_headers", ""},
    {"cgi_pattern", ""},
    {"cgi2_pattern", ""},
    {"ssi_pattern", ""},
    {"enable_directory_listing", "no"},
    {"enable_keep_alive", "no"},
    {"allow_index_script_resource", "no"},
    {"decode_url", "no"},
};

// Defaults of this server where the engine's own would serve more than wanted, or less.
//
// The engine gives each accepted connection a worker thread of its own until the request is
// answered: a connection that sends nothing, or its head a byte at a time, holds its worker
// (with its request buffer of max_request_size) until the request time-out drops it, and a job
// event stream holds its worker as long as it runs. Accepted connections beyond the workers wait
// in the engine's queue (connection_queue), then in the kernel's (listen_backlog); past both, new
// connections are not taken until one goes. So the workers are many (idle ones cost a thread and
// its buffer, a few tens of KB each): enough for hundreds of stalled clients and every job event
// stream that portvane admits, with room left for the requests of the users; the queues are
// bounded too, so that what the load holds stays bounded whatever arrives.
constexpr std::pair<const char*, const char*> kDefaults[] = {
    {"listening_ports", kDefaultPorts},
    {"index_files", "index.html,index.htm"},
    {"num_threads", "768"},
    {"connection_queue", "256"},
    {"listen_backlog", "1024"},
    {"max_request_size", "16384"},
};

// The listening option with every entry that names no address ("8888", "8443s", "+8888")
// bound to 127.0.0.1: the web interface runs as the service and serves this machine's users only,
// never a peer on another machine. An entry with its own address is kept as it is.
std::string on_loopback(const std::string& ports) {
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t comma = ports.find(',', start);
        std::string entry = ports.substr(start, comma == std::string::npos ? comma : comma - start);
        if (!entry.empty() && entry.find(':') == std::string::npos) {
            if (entry[0] == '+') entry.erase(0, 1);  // every interface, both families
            entry = "127.0.0.1:" + entry;
        }
        out += entry;
        if (comma == std::string::npos) return out;
        out += ',';
        start = comma + 1;
    }
}

const char* engine_option(const char* name) {
    for (const mg_option* o = mg_get_valid_options(); o->name; ++o) {
        if (std::strcmp(o->name, name) == 0) return o->name;
    }
    return nullptr;
}

}  // namespace

const char* OptionSet::canonical(const char* name) {
    if (!name) return nullptr;
    for (const Alias& a : kAliases) {
        if (std::strcmp(a.name, name) == 0) return engine_option(a.engine_name);
    }
    return engine_option(name);
}

bool OptionSet::set(const char* name, const char* value) {
    const char* engine_name = canonical(name);
    if (!engine_name || !value) return false;
    values_[engine_name] =
        std::strcmp(engine_name, "listening_ports") == 0 ? on_loopback(value) : value;
    return true;
}

const char* OptionSet::get(const char* name) const {
    const char* engine_name = canonical(name);
    if (!engine_name) return nullptr;
    auto it = values_.find(engine_name);
    return it == values_.end() ? nullptr : it->second.c_str();
}

std::vector<std::pair<std::string, std::string>> OptionSet::engine_options(
    int request_timeout_ms) const {
    std::map<std::string, std::string> all = values_;
    for (const auto& [name, value] : kDefaults) all.emplace(name, value);
    for (const auto& [name, value] : kFixed) {
        if (engine_option(name)) all[name] = value;
    }
    all["request_timeout_ms"] = std::to_string(request_timeout_ms);
    return {all.begin(), all.end()};
}

void OptionSet::show_usage(FILE* stream) {
    std::fprintf(stream, "Usage: starter [-option value ...] [options_file]\n");
    std::fprintf(stream, "Options (in the options file one \"name value\" a line):\n");
    for (const Alias& a : kAliases) {
        std::fprintf(stream, "  -%s\t(same as -%s)\n", a.name, a.engine_name);
    }
    for (const mg_option* o = mg_get_valid_options(); o->name; ++o) {
        const char* fallback = o->default_value ? o->default_value : "";
        for (const auto& [name, value] : kDefaults) {
            if (std::strcmp(name, o->name) == 0) fallback = value;
        }
        std::fprintf(stream, "  -%s\t%s\n", o->name, fallback);
    }
}

}  // namespace tovel::web
