// "/offlinejobs": the user's offline jobs, kept by the remote service. Each request goes to the
// remote web server with the browser's session cookie and body, and its answer comes back.
// The remote service's requests of this file come first: they bring ACE.
#include "portvane/catalogue_requests.h"
#include "portvane/forwarding.h"
#include "portvane/local_paths.h"
//
#include <string>

using namespace tovel::web;
using portvane::reply;

namespace {

// Sends a request whose body is the browser's; an empty body is refused with 400 unsent (the
// remote server's 401 for a request without a cookie would log the browser out).
template <class Request>
void forwardBody(mg_connection* conn, const portvane::ServerAddress& server,
                 const std::string& cookie, const std::string& body, const char* name,
                 const portvane::ForwardMessages& messages) {
    Command_To_Server<Request, Response_T<std::string>> command(name);
    command.request().build(cookie, body);
    portvane::forwardCommand(conn, server, command, messages);
}

}  // namespace

// GET lists the offline jobs; POST "/offlinejobs" applies for one, "/offlinejobs/info" asks for
// one's details and "/offlinejobs/delete" withdraws one, each with the browser's JSON body.
extern "C" void offlinejobs_callback(mg_connection* conn, const mg_request_info* request) {
    std::string user;
    std::string cookie = portvane::userFromCookie(conn, user);
    if (cookie.empty()) {
        reply(conn, portvane::kReply401);
        return;
    }
    std::vector<std::string> segments = portvane::splitUri(request->uri);
    if (segments.empty() || segments[0] != "offlinejobs") {
        reply(conn, portvane::kReply404);
        return;
    }
    // The body is the remote service's own, but what it names stays clean.
    json_spirit::Value named;
    if (portvane::hasControlCharacter(request->uri) ||
        (request->post_data_len > 0 &&
         json_spirit::read(std::string(request->post_data, request->post_data_len), named) &&
         portvane::holdsControlCharacter(named))) {
        reply(conn, portvane::kReply400);
        return;
    }
    portvane::ServerAddress server = portvane::serverAddress();
    if (server.host.empty() || server.port == 0) {
        log_message(LM_ERROR, "offline job operation failed, can't get the server information.\n");
        reply(conn, portvane::kReply404);
        return;
    }
    if (portvane::methodIs(request, "GET")) {
        Command_To_Server<List_Offline_Jobs_Request, Response_T<std::string>> command(
            "list offline jobs");
        command.request().build(cookie);
        portvane::forwardCommand(conn, server, command,
                                 {"list offline jobs failed. command state = %d.\n",
                                  "list offline jobs failed, http-status-code: %d.\n"});
        return;
    }
    if (!portvane::methodIs(request, "POST")) {
        reply(conn, portvane::kReply403);
        return;
    }
    std::string body(request->post_data ? request->post_data : "", request->post_data_len);
    if (segments.size() == 1) {
        forwardBody<Apply_Offline_Job_Request>(
            conn, server, cookie, body, "apply offline job",
            {"apply offline job failed. command state = %d.\n",
             "apply offline job failed, http-status-code: %d.\n"});
    } else if (segments[1] == "delete") {
        forwardBody<Cancel_Offline_Job_Request>(
            conn, server, cookie, body, "cancel offline job",
            {"delete offline job failed. command state = %d.\n",
             "delete offline job failed, http-status-code: %d.\n"});
    } else if (segments[1] == "info") {
        forwardBody<Get_Offline_Job_Info_Request>(
            conn, server, cookie, body, "get offline job information",
            {"get offline job information failed. command state = %d.\n",
             "get offline job information failed, http-status-code: %d.\n"});
    } else {
        reply(conn, portvane::kReply404);
    }
}
