// "/exclusion" and "/deletefiles": the user's exclusion list (the exact paths the consistent
// check leaves out of its result) read and edited, and backed-up files deleted on the remote
// server, after which their paths leave the list. An edit holds the list's lock from its load to
// its save, so that concurrent edits are all kept; a read never writes the list back. Runs on
// the request's worker thread.
//
// The remote requests come first: they bring ACE.
#include "portvane/catalogue_exchange.h"
#include "portvane/check/check_requests.h"
//
#include <cstring>

#include "common/holders.h"
#include "job/stores/exclusion_list.h"

using namespace tovel::web;

namespace portvane {
namespace {

// The body as a JSON array, else 400.
bool arrayBody(mg_connection* conn, const mg_request_info* request, json_spirit::Value& body) {
    std::string text(request->post_data ? request->post_data : "",
                     request->post_data ? request->post_data_len : 0);
    if (json_spirit::read(text, body) && body.type() == json_spirit::array_type) return true;
    log_message(LM_ERROR, "Bad request: the body is not a JSON array.\n");
    reply(conn, kReply400);
    return false;
}

}  // namespace
}  // namespace portvane

using namespace portvane;

extern "C" void exclusion_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    const char* uri = request->uri ? request->uri : "";
    if (std::strncmp(uri, "/exclusion", 10) != 0) {
        reply(conn, kReply404);
        return;
    }
    std::string user;
    if (userFromCookie(conn, user).empty()) {
        reply(conn, kReply401);
        return;
    }
    if (methodIs(request, "GET")) {
        json_spirit::Value paths;
        {
            ExclusionList list;
            list.getList(user.c_str(), paths);
        }
        replyJson(conn, json_spirit::write(paths));
        return;
    }
    if (!methodIs(request, "POST")) {
        reply(conn, kReply403);
        return;
    }
    std::string word(uri + 10);
    if (!word.empty() && word[0] == '/') word.erase(0, 1);
    word = word.substr(0, word.find('/'));
    void (ExclusionList::*edit)(const char*, const char*) = nullptr;
    if (word == "add")
        edit = &ExclusionList::addPath;
    else if (word == "remove")
        edit = &ExclusionList::removePath;
    if (!edit) {
        reply(conn, kReply400);
        return;
    }
    json_spirit::Value body;
    if (!arrayBody(conn, request, body)) return;
    ExclusionList::Hold hold;
    ExclusionList list;
    for (const json_spirit::Value& path : body.get_array())
        if (path.type() == json_spirit::str_type)
            (list.*edit)(user.c_str(), path.get_str().c_str());
    if (!list.save()) {
        log_message(LM_ERROR, "Save the exclude list failed, error-code = %d.\n",
                    static_cast<int>(GetLastError()));
        reply(conn, kReply500);
        return;
    }
    reply(conn, kReply200);
}

extern "C" void deletefiles_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    const char* uri = request->uri ? request->uri : "";
    if (std::strncmp(uri, "/deletefiles", 12) != 0) {
        reply(conn, kReply404);
        return;
    }
    std::string user;
    std::string cookie = userFromCookie(conn, user);
    if (cookie.empty()) {
        reply(conn, kReply401);
        return;
    }
    json_spirit::Value body;
    if (!arrayBody(conn, request, body)) return;
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Delete files: can't get the server information.\n")) return;
    Invoker invoker(server.host.c_str(), server.port, 0);
    TextCommand<Delete_Files_Request> command("delete files");
    command.request().build(cookie, body);
    if (!exchange(conn, invoker, command,
                  {"Delete files failed. command state = %d.\n",
                   "Delete files failed, http-status-code: %d.\n"}))
        return;
    {
        // Only what the server deleted leaves the list.
        ExclusionList::Hold hold;
        ExclusionList list;
        for (const json_spirit::Value& path : body.get_array())
            if (path.type() == json_spirit::str_type)
                list.removePath(user.c_str(), path.get_str().c_str());
        if (!list.save()) {
            log_message(LM_ERROR, "Save the exclude list failed, error-code = %d.\n",
                        static_cast<int>(GetLastError()));
            reply(conn, kReply500);
            return;
        }
    }
    replyRelayed(conn, 200, setCookieOf(command.response()).c_str(), "");
}
