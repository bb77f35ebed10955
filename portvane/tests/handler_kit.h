// The web interface's handlers driven through the web server's request handling and its
// in-memory connection: a server context whose plug-in is made of portvane's own functions
// (linked into the test), requests built in memory, and their replies taken apart.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>

#include "portvane/tests/reply_head.h"
#include "starter/webserver/server.h"
#include "starter/webserver/tests/fake_connection.h"

extern "C" {
int auth_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void language_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void server_settings_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void login_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void logout_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void server_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void serverstatus_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void webui_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
}

namespace portvane::testing {

using tovel::web::testing::FakeConnection;
using tovel::web::testing::FunctionPlugin;

// A reply as the browser receives it: status, headers by lower-case name, body.
struct Reply : ReplyHead {
    std::string raw;
    std::string body;
};

inline Reply parse_reply(const std::string& raw) {
    Reply r;
    r.raw = raw;
    size_t end = raw.find("\r\n\r\n");
    parse_head(raw.substr(0, end), r);
    r.body = end == std::string::npos ? "" : raw.substr(end + 4);
    return r;
}

// A server context whose plug-in is portvane's handlers (and any the test adds); stopped with
// the object.
class Portvane {
public:
    explicit Portvane(std::map<std::string, void*> extra = {}) {
        std::map<std::string, void*> exports = {
            {"auth_callback", reinterpret_cast<void*>(&auth_callback)},
            {"language_callback", reinterpret_cast<void*>(&language_callback)},
            {"server_settings_callback", reinterpret_cast<void*>(&server_settings_callback)},
            {"login_callback", reinterpret_cast<void*>(&login_callback)},
            {"logout_callback", reinterpret_cast<void*>(&logout_callback)},
            {"server_callback", reinterpret_cast<void*>(&server_callback)},
            {"serverstatus_callback", reinterpret_cast<void*>(&serverstatus_callback)},
            {"webui_callback", reinterpret_cast<void*>(&webui_callback)},
        };
        for (auto& [name, function] : extra) exports[name] = function;
        ctx_ = tovel::web::start_context(std::make_unique<FunctionPlugin>(exports), 5000);
    }
    ~Portvane() { tovel::web::mg_stop(ctx_); }
    Portvane(const Portvane&) = delete;
    Portvane& operator=(const Portvane&) = delete;

    // Answers io's request; the reply as the browser gets it.
    Reply ask(FakeConnection& io) {
        tovel::web::answer_request(*ctx_, io);
        return parse_reply(io.written());
    }
    Reply ask(const char* method, const char* uri, const std::string& cookie = "") {
        FakeConnection io(method, uri);
        if (!cookie.empty()) io.add_header("Cookie", cookie);
        return ask(io);
    }
    // A POST with a body (a form, or JSON) and, when given, a Cookie header.
    Reply post(const char* uri, const std::string& body, const std::string& cookie = "") {
        FakeConnection io("POST", uri);
        io.set_body({body}, static_cast<long long>(body.size()));
        if (!cookie.empty()) io.add_header("Cookie", cookie);
        return ask(io);
    }

private:
    tovel::web::mg_context* ctx_ = nullptr;
};

}  // namespace portvane::testing
