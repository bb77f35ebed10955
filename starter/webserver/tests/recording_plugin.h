// Handlers for the tests: each one notes its call and answers 200 with its own name.
#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "starter/webserver/bindings.h"
#include "starter/webserver/mongoose.h"

namespace tovel::web::testing {

struct Call {
    std::string handler, method, uri, query, body;
    uint32_t remote_ip = 0;
};

inline std::mutex g_calls_lock;
inline std::vector<Call> g_calls;

inline std::vector<Call> calls() {
    std::lock_guard<std::mutex> hold(g_calls_lock);
    return g_calls;
}
inline void clear_calls() {
    std::lock_guard<std::mutex> hold(g_calls_lock);
    g_calls.clear();
}

template <size_t I>
void record(mg_connection* conn, const mg_request_info* info) {
    const char* name = bindings()[I].export_name;
    {
        std::lock_guard<std::mutex> hold(g_calls_lock);
        g_calls.push_back({name, info->request_method, info->uri,
                           info->query_string ? info->query_string : "",
                           std::string(info->post_data, info->post_data_len), info->remote_ip});
    }
    mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Length: %zu\r\n\r\n%s", std::strlen(name), name);
}

template <size_t... I>
std::map<std::string, void*> recording_exports(std::index_sequence<I...>) {
    return {{bindings()[I].export_name, reinterpret_cast<void*>(&record<I>)}...};
}

// Every bound name answered by a recording handler.
inline std::map<std::string, void*> recording_exports() {
    return recording_exports(std::make_index_sequence<23>());
}

inline int authorize_all(mg_connection* conn, const mg_request_info*) { return mg_authorize(conn); }

}  // namespace tovel::web::testing
