// "/consistentcheck/<command>": the consistent check of the web interface. "submit" fetches a
// selection and its last backup from the remote server and runs the check into the check's
// result (ConsistencheckImpl); "query" browses the result; "exclude", "deletefiles", "backup"
// and "restore" turn the files found under the browser's paths into exclusions, a deletion on
// the server, or a one-time job; "deleteresult" removes the result. Every command is a POST of
// a JSON object. A result is the user's who ran the check: every command about it answers another
// user 404 and changes nothing. Runs on the request's worker thread; nothing is kept between
// requests but the result on disk.
//
// The remote requests come first: they bring ACE.
#include "portvane/catalogue_exchange.h"
#include "portvane/check/check_requests.h"
#include "portvane/job_requests.h"
//
#include <cstring>
#include <memory>

#include "common/holders.h"
#include "common/text_conv.h"
#include "job/job_manager.h"
#include "job/stores/exclusion_list.h"
#include "plandeck/job_definition_factory.h"
#include "platform/win32.h"
#include "portvane/check/consistencheck.h"
#include "portvane/local_paths.h"
#include "portvane/safe_name.h"

using namespace tovel::web;

namespace portvane {
namespace {

// The log lines of a body that lacks a key or has one of the wrong type.
struct BodyMessages {
    const char* plain;
    const char* positioned;
};
constexpr BodyMessages kQueryBody = {
    "Exception when read consistent check query info, %s.\n",
    "Exception when read consistent check query info, line = %d, column = %d, %s.\n"};
constexpr BodyMessages kExcludeBody = {
    "Exception when read exclude selection info, %s.\n",
    "Exception when read exclude selection info, line = %d, column = %d, %s.\n"};
constexpr BodyMessages kDeleteResultBody = {
    "Exception when read deleting result id, %s.\n",
    "Exception when read deleting result id, line = %d, column = %d, %s.\n"};
constexpr BodyMessages kRestoreBody = {
    "Exception when read restore selection info, %s.\n",
    "Exception when read restore selection info, line = %d, column = %d, %s.\n"};
constexpr BodyMessages kBackupBody = {
    "Exception when read backup selection info, %s.\n",
    "Exception when read backup selection info, line = %d, column = %d, %s.\n"};

// A string member, else 400 with the reason logged.
bool stringOf(mg_connection* conn, const json_spirit::Object& body, const char* key,
              const BodyMessages& messages, std::string& out) {
    auto it = body.find(key);
    std::string reason;
    if (it == body.end()) {
        reason = std::string("the key \"") + key + "\" is missing";
    } else if (it->second.type() != json_spirit::str_type) {
        reason = std::string("the value of \"") + key + "\" is not a string";
    } else {
        out = it->second.get_str();
        return true;
    }
    log_message(LM_ERROR, messages.plain, reason.c_str());
    reply(conn, kReply400);
    return false;
}

// The check id of a body: one safe file-name component, else 400.
bool checkIdOf(mg_connection* conn, const json_spirit::Object& body, const BodyMessages& messages,
               std::string& id) {
    if (!stringOf(conn, body, "consistentcheck_id", messages, id)) return false;
    if (isSafeFileName(id)) return true;
    log_message(LM_ERROR, messages.plain, "the consistent check id is not a file name");
    reply(conn, kReply400);
    return false;
}

// The check id and the non-empty "source" array of a body, else 400.
bool selectionOf(mg_connection* conn, const json_spirit::Object& body, const BodyMessages& messages,
                 std::string& id, json_spirit::Array& source) {
    if (!checkIdOf(conn, body, messages, id)) return false;
    auto it = body.find("source");
    const char* reason = nullptr;
    if (it == body.end())
        reason = "the key \"source\" is missing";
    else if (it->second.type() != json_spirit::array_type)
        reason = "the value of \"source\" is not an array";
    else if (it->second.get_array().empty())
        reason = "the value of \"source\" is empty";
    if (reason) {
        log_message(LM_ERROR, messages.plain, reason);
        reply(conn, kReply400);
        return false;
    }
    source = it->second.get_array();
    return true;
}

// The session cookie and its user, else 401 (with message logged when not null).
bool userOf(mg_connection* conn, std::string& cookie, std::string& user, const char* message) {
    cookie = userFromCookie(conn, user);
    if (!cookie.empty()) return true;
    if (message) log_message(LM_ERROR, message);
    reply(conn, kReply401);
    return false;
}

// Whether the result of check id exists and is another user's than user: to him it does not
// exist, so that nothing reads, changes or acts on it (404 written then).
bool anothersResult(mg_connection* conn, const std::string& id, const std::string& user) {
    ConsistencheckImpl check(id);
    if (!check.exists() || check.ownedBy(user)) return false;
    log_message(LM_ERROR, "The consistent check result {%s} is not the user's.\n", id.c_str());
    reply(conn, kReply404);
    return true;
}

// The session cookie a reply's Set-Cookie names ("name=value" before its attributes), else
// the one given.
std::string nextCookie(const std::string& setCookie, const std::string& cookie) {
    if (setCookie.empty()) return cookie;
    return setCookie.substr(0, setCookie.find(';'));
}

void reply500(mg_connection* conn, const std::string& setCookie) {
    if (setCookie.empty())
        reply(conn, kReply500);
    else
        replyRelayed(conn, 500, setCookie.c_str(), "");
}

void checkFailed(mg_connection* conn, const std::string& selection, const std::string& setCookie) {
    log_message(LM_ERROR,
                "Consistent check failed. Selected directories/files: %s, directories/files "
                "last backed up: %s.\n",
                selection.substr(0, 512).c_str(), "(read as it arrived)");
    reply500(conn, setCookie);
}

// Sends the last-backup request of command and compares its listing with the disk as it is
// read from the socket (a listing of a large tree is tens of megabytes), then answers: the
// check's id, or 500 when the check failed. The selection has been walked already.
// When the selection could not be walked (walked false) the request is still sent, and a refusal
// of the server is what the browser gets, else 500.
template <class Request>
void compareListing(mg_connection* conn, Invoker& invoker, StreamedCommand<Request>& command,
                    ConsistencheckImpl& check, bool walked, const std::string& id,
                    const std::string& selection, std::string setCookie,
                    const ForwardMessages& messages) {
    bool compared = false;
    if (walked)
        command.response().body().reader = [&](std::istream& in) { compared = check.compare(in); };
    bool answered = exchange(conn, invoker, command, messages);
    releaseFreeMemory();
    if (!answered) return;
    std::string second = setCookieOf(command.response());
    if (!second.empty()) setCookie = second;
    if (!compared) {
        checkFailed(conn, selection, setCookie);
        return;
    }
    replyJsonWithCookie(conn, setCookie, json_spirit::write(json_spirit::Object{{"id", id}}));
}

void submitByInstance(mg_connection* conn, const std::string& user, const std::string& cookie,
                      const std::string& id) {
    log_message(LM_INFO, "Submit consistent check, instance id {%s}.\n", id.c_str());
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server,
                    "Submit consistent check failed, can't get the server information.\n"))
        return;
    Invoker invoker(server.host.c_str(), server.port, 0);
    TextCommand<Get_Job_Selection_Request> selection("Get Job Selection");
    selection.request().build(cookie, id);
    if (!exchange(conn, invoker, selection,
                  {"Failed to get job selection, command state = %d.\n",
                   "Get job selection failed, http-status-code = %d.\n"}))
        return;
    std::string setCookie = setCookieOf(selection.response());
    const std::string& selected = selection.response().body();
    ConsistencheckImpl check(id);
    bool walked = check.walkSelection(selected, user);
    StreamedCommand<Get_Job_Last_Backup_Selection_Request> lastBackup(
        "consistent check: get job last backup selection");
    lastBackup.request().build(nextCookie(setCookie, cookie), id);
    compareListing(conn, invoker, lastBackup, check, walked, id, selected, setCookie,
                   {"Get last backup selection failed. command state = %d.\n",
                    "Get last backup selection failed, http-status-code: %d.\n"});
}

void submitBySelection(mg_connection* conn, const std::string& user, const std::string& cookie,
                       const std::string& id, const json_spirit::Object& body) {
    std::string text = json_spirit::write(body);
    log_message(LM_INFO, "Submit consistent check, id {%s}, directories {%s}.\n", id.c_str(),
                text.substr(0, 512).c_str());
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server,
                    "Submit consistent check failed, can't get the server information.\n"))
        return;
    ConsistencheckImpl check(id);
    bool walked = check.walkSelection(text, user);
    Invoker invoker(server.host.c_str(), server.port, 0);
    StreamedCommand<Get_Last_Backup_Selection_Request> lastBackup(
        "consistent check: get last backup selection");
    lastBackup.request().build(cookie, json_spirit::Value(body));
    compareListing(conn, invoker, lastBackup, check, walked, id, text, std::string(),
                   {"Get last backup selection failed, command state = %d.\n",
                    "Get last backup selection failed, http-status-code: %d.\n"});
}

void cc_submit(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user;
    if (!userOf(conn, cookie, user, "Can't find the user for specified cookie.\n")) return;
    auto it = body.find("jobInstanceId");
    if (it != body.end()) {
        if (it->second.type() != json_spirit::str_type || !isSafeFileName(it->second.get_str())) {
            log_message(LM_ERROR, "The specified job instance id  is not a string type.\n");
            reply(conn, kReply400);
            return;
        }
        if (anothersResult(conn, it->second.get_str(), user)) return;
        submitByInstance(conn, user, cookie, it->second.get_str());
        return;
    }
    UUID uuid;
    RPC_CSTR text = nullptr;
    if (UuidCreate(&uuid) != RPC_S_OK || UuidToStringA(&uuid, &text) != RPC_S_OK || !text) {
        reply(conn, kReply500);
        return;
    }
    std::string id(reinterpret_cast<const char*>(text));
    RpcStringFreeA(&text);
    submitBySelection(conn, user, cookie, id, body);
}

void cc_query(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id, path;
    if (!userOf(conn, cookie, user, nullptr) || !checkIdOf(conn, body, kQueryBody, id) ||
        !stringOf(conn, body, "path", kQueryBody, path) || anothersResult(conn, id, user))
        return;
    ConsistencheckImpl check(id);
    json_spirit::Array rows;
    if (!check.query_resultdb(path, rows)) {
        log_message(LM_ERROR, "Query consistent check result failed, id {%s}, path {%s}.\n",
                    id.c_str(), path.c_str());
        reply(conn, kReply500);
        return;
    }
    replyJson(conn, json_spirit::write(rows));
}

// The result's paths with status under source, else 500 with message logged.
bool leavesOf(mg_connection* conn, const std::string& id, const json_spirit::Array& source,
              const char* status, json_spirit::Array& out, const char* message) {
    ConsistencheckImpl check(id);
    if (check.get_leafnode(source, status, out)) return true;
    log_message(LM_ERROR, message, id.c_str());
    reply(conn, kReply500);
    return false;
}

void cc_exclude(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id;
    json_spirit::Array source, deleted;
    if (!userOf(conn, cookie, user, "Can't find the user for specified cookie.\n") ||
        !selectionOf(conn, body, kExcludeBody, id, source) || anothersResult(conn, id, user) ||
        !leavesOf(conn, id, source, "deleted", deleted,
                  "Get deleted nodes by selected path failed, id {%s}.\n"))
        return;
    // Held from the load to the save, so that no other request's edit falls between them.
    ExclusionList::Hold hold;
    ExclusionList list;
    for (const json_spirit::Value& path : deleted) {
        log_message(LM_INFO, "Add path {%s} to exclude list.\n", path.get_str().c_str());
        list.addPath(user.c_str(), path.get_str().c_str());
    }
    if (!deleted.empty() && !list.save()) {
        log_message(LM_ERROR, "Save the exclude list failed, error-code = %d.\n",
                    static_cast<int>(GetLastError()));
        reply(conn, kReply500);
        return;
    }
    reply(conn, kReply200);
}

void cc_deletefiles(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id;
    json_spirit::Array source, deleted;
    if (!userOf(conn, cookie, user, "Can't find the user for specified cookie.\n") ||
        !selectionOf(conn, body, kExcludeBody, id, source) || anothersResult(conn, id, user) ||
        !leavesOf(conn, id, source, "deleted", deleted,
                  "Get deleted nodes by selected path failed, id {%s}.\n"))
        return;
    if (deleted.empty()) {
        log_message(LM_INFO, "No file have been selected.\n");
        reply(conn, kReply200);
        return;
    }
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Delete files: can't get the server information.\n")) return;
    Invoker invoker(server.host.c_str(), server.port, 0);
    TextCommand<Delete_Files_Request> command("consistent check: delete files");
    command.request().build(cookie, json_spirit::Value(deleted));
    if (!exchange(conn, invoker, command,
                  {"Delete files failed, command state = %d.\n",
                   "Delete files failed, http-status-code: %d.\n"}))
        return;
    replyRelayed(conn, 200, setCookieOf(command.response()).c_str(), "");
}

void cc_deleteresult(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id;
    if (!userOf(conn, cookie, user, nullptr) || !checkIdOf(conn, body, kDeleteResultBody, id) ||
        anothersResult(conn, id, user))
        return;
    log_message(LM_INFO, "Delete consistent check result, id {%s}.\n", id.c_str());
    ConsistencheckImpl check(id);
    check.free_db();
    reply(conn, kReply200);
}

// Registers a one-time job of definition with the remote server and hands it to the job
// manager; answers {"id": its id}.
void submitOneTime(mg_connection* conn, const std::string& cookie, const std::string& user,
                   json_spirit::Object definitionText, const ForwardMessages& messages) {
    wchar_t name[16] = {};
    DWORD size = 16;
    if (!GetComputerNameW(name, &size)) {
        reply(conn, kReply500);
        return;
    }
    definitionText["machine"] = to_utf8(std::wstring(name, size));
    std::unique_ptr<JobDefinition> definition(
        JobDefinitionFactory::create(json_spirit::Value(definitionText)));
    if (!definition) {
        reply(conn, kReply400);
        return;
    }
    definition->user(user.c_str());
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Submit job failed, can't get the server information.\n")) return;
    Invoker invoker(server.host.c_str(), server.port, 0);
    TextCommand<Create_Definition_Request> command("create job");
    command.request().build(cookie, definition.get());
    if (!exchange(conn, invoker, command, messages)) return;
    std::string id = definition->id();
    // The job manager owns the definition from here on, whatever it answers.
    if (!JobManagerImpl::instance()->submitJob(definition.release())) {
        log_message(LM_ERROR, "Submit job %s to the job manager failed.\n", id.c_str());
        reply(conn, kReply500);
        return;
    }
    replyJsonWithCookie(conn, setCookieOf(command.response()),
                        json_spirit::write(json_spirit::Object{{"id", id}}));
}

void cc_restorefiles(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id;
    json_spirit::Array source, deleted;
    if (!userOf(conn, cookie, user, "Can't find the cookie.\n") ||
        !selectionOf(conn, body, kRestoreBody, id, source) || anothersResult(conn, id, user) ||
        !leavesOf(conn, id, source, "deleted", deleted,
                  "Get deleted nodes by selected path failed, id {%s}.\n"))
        return;
    submitOneTime(conn, cookie, user,
                  json_spirit::Object{{"name", "OneTimeRestore"},
                                      {"type", "restore"},
                                      {"source", deleted},
                                      {"overwrite", "existing"}},
                  {"Create restore job from consisten check result failed, command state = %d.\n",
                   "Create restore job from deleted files failed, http-status-code = %d.\n"});
}

void cc_backupfiles(mg_connection* conn, const json_spirit::Object& body) {
    std::string cookie, user, id;
    json_spirit::Array source, paths;
    if (!userOf(conn, cookie, user, nullptr) || !selectionOf(conn, body, kBackupBody, id, source) ||
        anothersResult(conn, id, user))
        return;
    const char* failed = "Get added/modified files from consisten result failed.\n";
    {
        ConsistencheckImpl check(id);
        if (!check.get_leafnode(source, "modified", paths) ||
            !check.get_leafnode(source, "added", paths)) {
            log_message(LM_ERROR, failed);
            reply(conn, kReply500);
            return;
        }
    }
    submitOneTime(conn, cookie, user,
                  json_spirit::Object{{"name", "OneTimeBackup"},
                                      {"type", "backup"},
                                      {"source", paths},
                                      {"compression", true},
                                      {"schedule", json_spirit::Object{{"type", "once"}}},
                                      {"retention", 1}},
                  {"Create backup job from modified/added files failed, command state = %d.\n",
                   "Create backup job from modified/added files failed, http-status-code = %d.\n"});
}

struct CheckCommand {
    const char* name;
    void (*handler)(mg_connection*, const json_spirit::Object&);
};

constexpr CheckCommand cc_commands[] = {
    {"submit", cc_submit},
    {"query", cc_query},
    {"exclude", cc_exclude},
    {"deletefiles", cc_deletefiles},
    {"deleteresult", cc_deleteresult},
    {"backup", cc_backupfiles},
    {"restore", cc_restorefiles},
};

}  // namespace
}  // namespace portvane

using namespace portvane;

extern "C" void consistentcheck_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    std::vector<std::string> pieces = splitUri(request->uri);
    const CheckCommand* command = nullptr;
    if (pieces.size() >= 2 && pieces[0] == "consistentcheck") {
        for (const CheckCommand& row : cc_commands)
            if (pieces[1] == row.name) command = &row;
    }
    if (!command) {
        log_message(LM_ERROR, "Bad request: %s.\n", request->uri ? request->uri : "");
        reply(conn, kReply400);
        return;
    }
    // Every command carries its arguments in a JSON object; another method has none.
    json_spirit::Value body;
    std::string text(request->post_data ? request->post_data : "",
                     request->post_data ? request->post_data_len : 0);
    if (!methodIs(request, "POST") || !json_spirit::read(text, body) ||
        body.type() != json_spirit::obj_type || holdsControlCharacter(body)) {
        log_message(LM_ERROR, "Bad request: invalid POST data.\n");
        reply(conn, kReply400);
        return;
    }
    command->handler(conn, body.get_obj());
}
