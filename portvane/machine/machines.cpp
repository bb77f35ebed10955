// "/machines": the machines that the remote service holds backups of, this machine's own name,
// and the job definitions of one machine. The two lists are asked of the remote web server with
// the browser's session cookie.
// The remote service's requests of this file come first: they bring ACE.
#include "portvane/catalogue_requests.h"
#include "portvane/forwarding.h"
#include "portvane/local_paths.h"
//
#include <cstring>

#include "platform/win/sockets.h"

using namespace tovel::web;
using portvane::reply;

namespace {

void listMachines(mg_connection* conn, const std::string& cookie) {
    portvane::ServerAddress server = portvane::serverAddress();
    if (server.host.empty() || server.port == 0) {
        log_message(LM_ERROR, "Get restorable machines: failed to get the server info.\n");
        reply(conn, portvane::kReply404);
        return;
    }
    Command_To_Server<List_Restorable_Machines_Request, Response_T<std::string>> command(
        "list restorable machines");
    command.request().build(cookie);
    Invoker invoker(server.host.c_str(), server.port, 0);
    invoker.invokeWithRetry(command);
    int state = command.state();
    if (state & kCommandFailureMask) {
        log_message(LM_ERROR, "Get restorable machines failed, state = %d.\n", state);
        reply(conn, state == CMD_CONNECT_FAILED ? portvane::kReply503 : portvane::kReply500);
        return;
    }
    portvane::relayServerResponse(conn, command.response(), command.response().body());
}

void localMachine(mg_connection* conn) {
    char name[260] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) {
        reply(conn, portvane::kReply500);
        return;
    }
    portvane::replyJson(conn, json_spirit::write(json_spirit::Value(
                                  json_spirit::Object{{"localmachine", std::string(name)}})));
}

void listDefinitions(mg_connection* conn, const std::string& cookie, const std::string& machine) {
    portvane::ServerAddress server = portvane::serverAddress();
    if (server.host.empty() || server.port == 0) {
        log_message(LM_ERROR,
                    "Get all job definitions by machine failed, failed to get the server "
                    "info.\n");
        reply(conn, portvane::kReply404);
        return;
    }
    Command_To_Server<List_Definitions_by_Machine_Request, Response_T<std::string>> command(
        "get all jobs by machine");
    command.request().build(cookie, machine);
    portvane::forwardCommand(
        conn, server, command,
        {"Get all job definitions by machine failed, state = %d.\n",
         "Get all job definitions by machine failed, http-status-code = %d.\n"});
}

}  // namespace

// GET "/machines", "/machines/localmachine" or "/machines/<machine>/jobids". A logged-in user
// only (the session cookie goes to the remote server); another method 403, another second or
// third segment 400.
extern "C" void machines_callback(mg_connection* conn, const mg_request_info* request) {
    std::string user;
    std::string cookie = portvane::userFromCookie(conn, user);
    if (cookie.empty()) {
        reply(conn, portvane::kReply401);
        return;
    }
    std::vector<std::string> segments = portvane::splitUri(request->uri);
    if (segments.empty() || segments[0] != "machines") {
        reply(conn, portvane::kReply404);
        return;
    }
    if (portvane::hasControlCharacter(request->uri)) {
        reply(conn, portvane::kReply400);
        return;
    }
    if (!portvane::methodIs(request, "GET")) {
        reply(conn, portvane::kReply403);
        return;
    }
    if (segments.size() == 1) {
        listMachines(conn, cookie);
    } else if (segments.size() == 2) {
        if (segments[1] == "localmachine")
            localMachine(conn);
        else
            reply(conn, portvane::kReply400);
    } else if (segments[2] == "jobids") {
        listDefinitions(conn, cookie, segments[1]);
    } else {
        reply(conn, portvane::kReply400);
    }
}
