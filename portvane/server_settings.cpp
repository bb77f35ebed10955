// The remote web server that the agent works with: reading and binding it, its status, and the
// redirect to its own web interface.
// The remote service's requests of this file come first: they bring ACE.
#include "portvane/forwarding.h"
#include "portvane/remote_requests.h"
//
#include <exception>

#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"

using namespace tovel::web;
using portvane::kReply200;
using portvane::kReply400;
using portvane::kReply401;
using portvane::kReply403;
using portvane::kReply404;
using portvane::kReply500;
using portvane::kReply503;
using portvane::reply;

namespace {

using Status_Command = Command<Server_Status_Request, Response_T<std::string>>;

// Asks host:port for its status with the command layer's one retry; the command's final state.
int askStatus(const std::string& host, unsigned short port, Status_Command& command) {
    Invoker invoker(host.c_str(), port, 0);
    invoker.invokeWithRetry(command);
    return command.state();
}

// A host as a URL or a Host header writes it: an IPv6 address in brackets.
std::string urlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Whether text may be a host name or an IP address at all (the options store checks the rest):
// nothing but letters, digits, '.', '-' and the ':' of an IPv6 address.
bool hostCharacters(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == ':';
        if (!ok) return false;
    }
    return true;
}

// Binds the server that the body names, once it answers; see server_callback.
void bindServer(mg_connection* conn, const mg_request_info* request) {
    OptionsImpl* options = OptionsImpl::instance();
    std::string boundHost;
    unsigned short boundPort = 80;
    options->getServerInfo(boundHost, boundPort);
    std::string user;
    if (!boundHost.empty() && portvane::userFromCookie(conn, user).empty()) {
        log_message(LM_ERROR,
                    "Bind server failed, a server is bound and the request has no "
                    "session cookie.\n");
        reply(conn, kReply401);
        return;
    }

    std::string name, host;
    int64_t port = 0;
    try {
        json_spirit::Value value;
        json_spirit::read_or_throw(std::string(request->post_data, request->post_data_len), value);
        if (value.type() != json_spirit::obj_type) {
            reply(conn, kReply400);
            return;
        }
        const json_spirit::Object& object = value.get_obj();
        auto field = [&](const char* key) -> const json_spirit::Value* {
            auto it = object.find(key);
            return it == object.end() ? nullptr : &it->second;
        };
        if (const json_spirit::Value* v = field("name"); v && v->type() == json_spirit::str_type) {
            name = v->get_str();
        }
        const json_spirit::Value* portValue = field("port");
        if (!portValue || portValue->type() != json_spirit::int_type) {
            reply(conn, kReply400);
            return;
        }
        port = portValue->is_uint64() ? -1 : portValue->get_int64();
        const json_spirit::Value* hostValue = field("host");
        if (!hostValue || hostValue->type() != json_spirit::str_type) {
            reply(conn, kReply400);
            return;
        }
        host = hostValue->get_str();
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR,
                    "Bind server failed, failed to parse server-configuration-json when binding "
                    "server, line %d, column %d, %s.\n",
                    static_cast<int>(error.line_), static_cast<int>(error.column_),
                    error.reason_.c_str());
        reply(conn, kReply400);
        return;
    } catch (const std::exception& error) {
        log_message(LM_ERROR,
                    "Bind server failed, failed to parse server-configuration-json when binding "
                    "server, %s.\n",
                    error.what());
        reply(conn, kReply400);
        return;
    }
    // A port is a number of 1 to 65535, not the low bits of whatever was sent.
    if (port < 1 || port > 65535 || !hostCharacters(host)) {
        log_message(LM_ERROR, "Bind server failed, bad host or port.\n");
        reply(conn, kReply400);
        return;
    }
    auto port16 = static_cast<unsigned short>(port);

    Status_Command probe("get server status");
    int state = askStatus(host, port16, probe);
    if (state & kCommandFailureMask) {
        log_message(LM_ERROR, "Bind server failed, can't get the server status, state = %d.\n",
                    state);
        reply(conn, kReply503);
        return;
    }
    if (!options->setServerInfo(name.c_str(), host.c_str(), port16)) {
        // The store may keep the new address in memory when its file cannot be written: the
        // sessions of the old server must not be sent to it.
        std::string nowHost;
        unsigned short nowPort = 80;
        options->getServerInfo(nowHost, nowPort);
        if (nowHost == host && nowPort == port16) {
            ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance()
                ->removeAllCookie();
        }
        log_message(LM_ERROR, "Bind server failed, the server address cannot be stored.\n");
        reply(conn, kReply500);
        return;
    }
    // Every session belonged to the old server: each browser logs in again.
    ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance()
        ->removeAllCookie();
    reply(conn, kReply200);
}

}  // namespace

// "servers": the list of servers (always empty); "server": GET reads the bound server, POST
// binds one ({"name", "host", "port"}) once it answers a status request. Only programs of this
// machine may ask, and once a server is bound, binding another needs a session cookie.
extern "C" void server_callback(mg_connection* conn, const mg_request_info* request) {
    if ((request->remote_ip >> 24) != 127) {
        reply(conn, kReply403);
        return;
    }
    std::vector<std::string> segments = portvane::splitUri(request->uri);
    if (segments.empty()) {
        reply(conn, kReply400);
        return;
    }
    if (segments[0] == "servers") {
        portvane::replyJson(conn, "[]");
        return;
    }
    if (segments[0] != "server") {
        reply(conn, kReply400);
        return;
    }
    if (portvane::methodIs(request, "POST")) {
        bindServer(conn, request);
        return;
    }
    std::string name, host;
    unsigned short port = 80;
    OptionsImpl::instance()->getServerInfo(name, host, port);
    if (host.empty()) {
        reply(conn, kReply200);
        return;
    }
    json_spirit::Object server{{"name", name}, {"host", host}, {"port", static_cast<int>(port)}};
    portvane::replyJson(conn, json_spirit::write(json_spirit::Value(server)));
}

// "/serverstatus": the bound server's answer to a status request, its status and body.
extern "C" void serverstatus_callback(mg_connection* conn, const mg_request_info* request) {
    if (std::string(request->uri) != "/serverstatus") {
        log_message(LM_ERROR, "Bad request: %s.\n", request->uri);
        reply(conn, kReply404);
        return;
    }
    portvane::ServerAddress server = portvane::serverAddress();
    Status_Command command("get server status");
    int state = askStatus(server.host, server.port, command);
    if (state & kCommandFailureMask) {
        log_message(LM_ERROR, "Get server status failed, state = %d.\n", state);
        reply(conn, kReply503);
        return;
    }
    int status = command.response().status();
    if (status < 200 || status > 599) {
        reply(conn, kReply500);
        return;
    }
    portvane::replyRelayed(conn, status, nullptr, command.response().body());
}

// "/webui...": a redirect to the bound server's own web interface.
extern "C" void webui_callback(mg_connection* conn, const mg_request_info* request) {
    if (std::string(request->uri).compare(0, 6, "/webui") != 0) {
        log_message(LM_ERROR, "Bad request: %s.\n", request->uri);
        reply(conn, kReply404);
        return;
    }
    std::string host;
    unsigned short port = 80;
    OptionsImpl::instance()->getServerInfo(host, port);
    if (host.empty()) {
        reply(conn, kReply500);
        return;
    }
    mg_printf(conn,
              "HTTP/1.1 307 Temporary Redirect\r\nContent-Length: 0\r\nLocation: "
              "http://%s:%u/tovel/index.html\r\n\r\n",
              urlHost(host).c_str(), static_cast<unsigned>(port));
}
