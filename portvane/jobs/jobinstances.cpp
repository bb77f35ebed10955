// The remote requests come first: they bring ACE.
#include "portvane/catalogue_exchange.h"
#include "portvane/job_requests.h"
//
#include <strings.h>

#include "common/holders.h"
#include "job/job_manager.h"
#include "plandeck/job_definition.h"
#include "portvane/jobs/jobinstances.h"
#include "portvane/jobs/local_job_history_src.h"
#include "portvane/safe_name.h"

using namespace tovel::web;

namespace portvane {
namespace {

constexpr std::string_view kReply500Stop =
    "HTTP/1.1 500 Internal Server Error.\r\nContent-Length: 0\r\n\r\n";

// Whether a local job is running the run runId now (its current run, the job busy).
bool runIsLive(const std::string& runId) {
    bool live = false;
    JobManagerImpl::instance()->jobs([&](const Job& job) {
        if (isBusyState(job.state()) && strcasecmp(job.instanceId().c_str(), runId.c_str()) == 0)
            live = true;
    });
    return live;
}

}  // namespace

TreeFetch fetchRunTree(mg_connection* conn, const std::string& runId, const std::string& cookie,
                       const std::string& user, LocalJobHistorySrc& src, std::string& setCookie) {
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Get job instance source: can't get the server information.\n"))
        return TreeFetch::answered;
    // The tree goes into the cache as it is read from the socket: a run's tree of a few hundred
    // thousand nodes is tens of megabytes of text.
    StreamedCommand<Instance_Sources_Request> command("get instance source");
    command.request().build(cookie, runId);
    LocalJobHistorySrc::BuildResult built = LocalJobHistorySrc::BuildResult::empty;
    command.response().body().reader = [&](std::istream& in) {
        built = src.BuildJobHistorySrcDB(in, user);
    };
    Invoker invoker(server.host.c_str(), server.port, 0);
    bool answered = exchange(conn, invoker, command,
                             {"Get job instance source failed, state = %d.\n",
                              "Get job instance source failed, http-status-code = %d.\n"});
    releaseFreeMemory();
    if (!answered) return TreeFetch::answered;
    setCookie = setCookieOf(command.response());
    // No body at all, an empty array or one without nodes: nothing is cached.
    if (built == LocalJobHistorySrc::BuildResult::empty) return TreeFetch::empty;
    if (built == LocalJobHistorySrc::BuildResult::failed) {
        log_message(LM_ERROR,
                    "Get job instance: build job history DB failed, path = %s, error-code = %d.\n",
                    runId.c_str(), static_cast<int>(GetLastError()));
        reply(conn, kReply500Stop);
        return TreeFetch::answered;
    }
    return TreeFetch::built;
}

std::string textAfterSegment(const char* uri, size_t index) {
    std::string_view rest = uri ? uri : "";
    size_t at = 0, seen = 0;
    while (at < rest.size()) {
        while (at < rest.size() && rest[at] == '/') ++at;
        if (at == rest.size()) break;
        size_t end = rest.find('/', at);
        if (seen++ == index) {
            return end == std::string_view::npos ? std::string()
                                                 : std::string(rest.substr(end + 1));
        }
        if (end == std::string_view::npos) break;
        at = end;
    }
    return std::string();
}

void instance_status(mg_connection* conn, const std::string& cookie, const std::string& runId) {
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Instance status: can't get the server information.\n")) return;
    TextCommand<Instance_Status_Request> command("instance status");
    command.request().build(cookie, runId);
    Invoker invoker(server.host.c_str(), server.port, 0);
    if (!exchange(conn, invoker, command,
                  {"Get instance status failed, state = %d.\n",
                   "Get instance status failed, http-status-code = %d.\n"})) {
        return;
    }
    // The answer is {"status": text}, the text being the remote body. A service that answers
    // {"status": text} itself gives that text, not the object's JSON text. A cookie the service
    // rotated is passed on: the store has forgotten the browser's old one.
    const std::string& body = command.response().body();
    json_spirit::Value value;
    std::string status;
    bool object = json_spirit::read(body, value) && value.type() == json_spirit::obj_type &&
                  json_spirit::object_get(value.get_obj(), "status", status);
    replyJsonWithCookie(
        conn, setCookieOf(command.response()),
        json_spirit::write(json_spirit::Object{{"status", object ? status : body}}));
}

void get_history_or_erros(const std::string& runId, bool errors, mg_connection* conn,
                          const std::string& cookie) {
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server,
                    "Get job instance history or errors: can't get the server information.\n"))
        return;
    const ForwardMessages messages = {
        "Get instance history(error) failed, state = %d.\n",
        "Get instance history(error) failed, http-status-code = %d.\n"};
    if (errors) {
        TextCommand<Get_Errors_Request> command("get job instance errors");
        command.request().build(cookie, runId);
        forwardCommand(conn, server, command, messages);
    } else {
        TextCommand<Get_History_Request> command("get job instance history");
        command.request().build(cookie, runId);
        forwardCommand(conn, server, command, messages);
    }
}

void get_history_src(const std::string& path, const std::string& runId, mg_connection* conn,
                     const std::string& cookie, const std::string& user) {
    std::string setCookie;
    LocalJobHistorySrc cache(runId);
    std::unique_ptr<LocalJobHistorySrc> scratch;
    LocalJobHistorySrc* src = &cache;
    TreeFetch fetched = TreeFetch::built;
    if (runIsLive(runId)) {
        // Half a run: answered from the server's tree of now, and forgotten.
        scratch = std::make_unique<LocalJobHistorySrc>(runId, LocalJobHistorySrc::Area::scratch);
        src = scratch.get();
        fetched = fetchRunTree(conn, runId, cookie, user, *src, setCookie);
    } else {
        // One fetch and build per run at a time: a second first request waits and finds it. A
        // cache of another user (or of none) is not shown: the remote service is asked on this
        // user's session, and what it grants replaces the cache.
        LocalJobHistorySrc::RunLock lock(runId);
        if (!cache.ownedBy(user))
            fetched = fetchRunTree(conn, runId, cookie, user, cache, setCookie);
    }
    if (fetched == TreeFetch::answered) return;
    if (fetched == TreeFetch::empty) {
        // An empty run: nothing to cache, the server is asked again next time.
        replyJsonWithCookie(conn, setCookie, "[]");
        return;
    }
    if (!src->exists()) {
        log_message(LM_ERROR,
                    "Get job instance: job history DB {%W} not exists, path = %s, error-code = "
                    "%d, %m.\n",
                    src->dbPath().c_str(), path.c_str(), static_cast<int>(GetLastError()));
        reply(conn, kReply500Stop);
        return;
    }
    if (path == "#all" || path == "#increment") {
        // Every file of the run, written out as it is read from the cache.
        bool headSent = false;
        bool written = src->WriteAll(
            path == "#increment",
            [&](uint64_t length) {
                headSent = true;
                return replyJsonHeadWithCookie(conn, setCookie, length);
            },
            [&](const std::string& piece) {
                return tovel::web::mg_write(conn, piece.data(), piece.size()) ==
                       static_cast<int>(piece.size());
            });
        if (scratch) scratch->Free_DB();
        releaseFreeMemory();
        if (written) return;
        log_message(LM_ERROR,
                    "Get job instance source: query history from DB failed path = %s, "
                    "error-code = %d.\n",
                    path.c_str(), static_cast<int>(GetLastError()));
        // A failure after the head leaves the reply short: the browser sees it cut.
        if (!headSent) reply(conn, kReply500Stop);
        return;
    }
    std::string out;
    bool queried = src->QueryJobHistorySrcNode(path, out);
    if (scratch) scratch->Free_DB();
    if (!queried) {
        log_message(LM_ERROR,
                    "Get job instance source: query history from DB failed path = %s, "
                    "error-code = %d.\n",
                    path.c_str(), static_cast<int>(GetLastError()));
        reply(conn, kReply500Stop);
        return;
    }
    replyJsonWithCookie(conn, setCookie, out);
}

void delete_jobinstance(const std::string& cookie, const std::string& runId, mg_connection* conn) {
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "Delete job instance: can't get the server information.\n"))
        return;
    TextCommand<Delete_Instance_Request> command("delete instance");
    command.request().build(cookie, runId);
    Invoker invoker(server.host.c_str(), server.port, 0);
    if (!exchange(conn, invoker, command,
                  {"Delete job instance failed, state = %d.\n",
                   "Delete job instance failed, http-status-code = %d.\n"})) {
        return;
    }
    {
        LocalJobHistorySrc::RunLock lock(runId);
        LocalJobHistorySrc(runId).Free_DB();
    }
    removeRestoreJobs(runId);
    replyRelayed(conn, 200, setCookieOf(command.response()).c_str(), "");
}

void delete_all_jobinstances(const std::string& definitionId, mg_connection* conn,
                             const std::string& cookie) {
    const char* id = definitionId.c_str();
    log_message(LM_INFO, "Delete all instances of job {%s}.\n", id);
    log_message(LM_INFO, "Get all instances of job {%s}.\n", id);
    ServerAddress server = serverAddress();
    if (server.host.empty() || server.port == 0) {
        log_message(LM_ERROR, "Get server information failed, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        reply(conn, kReply404);
        return;
    }
    // The id is a job id (UUID text), so it may stand in a format.
    std::string listState = "List instances of job {" + definitionId + "} failed, state = %d.\n";
    std::string listStatus =
        "List instances of job {" + definitionId + "} failed, status-code = %d.\n";
    TextCommand<List_Instances_Request> list("list instance of job");
    list.request().build(cookie, definitionId);
    Invoker invoker(server.host.c_str(), server.port, 0);
    if (!exchange(conn, invoker, list, {listState.c_str(), listStatus.c_str()})) return;
    json_spirit::Value runs;
    if (!json_spirit::read(list.response().body(), runs) ||
        runs.type() != json_spirit::array_type) {
        log_message(LM_ERROR,
                    "Failed to decode server response for instances of job {%s}, response "
                    "object is not array object.\n",
                    id);
        reply(conn, kReply500);
        return;
    }
    log_message(LM_INFO, "Delete instances of job {%s}.\n", id);
    std::string deleteState =
        "Delete all instance of job {" + definitionId + "} failed, state = %d.\n";
    std::string deleteStatus =
        "Delete all instances of job {" + definitionId + "} failed, status-code = %d.\n";
    TextCommand<Delete_All_Instance_Request> remove("delete all instances");
    remove.request().build(list.request().cookie() ? list.request().cookie() : cookie,
                           definitionId);
    if (!exchange(conn, invoker, remove, {deleteState.c_str(), deleteStatus.c_str()})) return;
    for (const json_spirit::Value& run : runs.get_array()) {
        if (run.type() != json_spirit::obj_type) {
            log_message(LM_ERROR,
                        "Invalid list job instances response, the array item type is not object "
                        "type.\n");
            continue;
        }
        auto found = run.get_obj().find("id");
        if (found == run.get_obj().end()) {
            log_message(LM_ERROR,
                        "Invalid list job instances response, can't find the instance id.\n");
            continue;
        }
        if (found->second.type() != json_spirit::str_type) {
            log_message(LM_ERROR,
                        "Invalid list job instances response, the instance id is not a string.\n");
            continue;
        }
        const std::string& runId = found->second.get_str();
        if (!isSafeFileName(runId)) {
            log_message(LM_ERROR,
                        "Invalid list job instances response, the instance id is not one file "
                        "name.\n");
            continue;
        }
        {
            LocalJobHistorySrc::RunLock lock(runId);
            LocalJobHistorySrc(runId).Free_DB();
        }
        removeRestoreJobs(runId);
    }
    replyRelayed(conn, 200, setCookieOf(remove.response()).c_str(), "");
}

}  // namespace portvane

using namespace portvane;

extern "C" void jobinstances_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    if (!mg_get_header(conn, "Cookie")) {
        reply(conn, kReply401);
        return;
    }
    std::vector<std::string> segments = splitUri(request ? request->uri : nullptr);
    if (segments.empty() || segments[0] != "jobinstances") {
        reply(conn, kReply404);
        return;
    }
    if (segments.size() < 2) {
        reply(conn, kReply400);
        return;
    }
    std::string user;
    std::string cookie = userFromCookie(conn, user);
    if (cookie.empty()) {
        reply(conn, kReply401);
        return;
    }
    const std::string& id = segments[1];
    bool all = id == "#all";
    if (!isSafeFileName(id) || (all && !methodIs(request, "DELETE"))) {
        log_message(LM_ERROR, "Bad job instance id in %s.\n", request->uri);
        reply(conn, kReply400);
        return;
    }
    if (methodIs(request, "GET")) {
        if (segments.size() < 3) {
            instance_status(conn, cookie, id);
        } else if (segments[2] == "source") {
            get_history_src(textAfterSegment(request->uri, 2), id, conn, cookie, user);
        } else if (segments[2] == "history" || segments[2] == "errors") {
            get_history_or_erros(id, segments[2] == "errors", conn, cookie);
        } else {
            reply(conn, kReply400);
        }
    } else if (methodIs(request, "DELETE")) {
        if (!all) {
            delete_jobinstance(cookie, id, conn);
            return;
        }
        std::string normalised;
        if (segments.size() < 3 || !JobDefinition::normalisedId(segments[2].c_str(), normalised)) {
            log_message(LM_ERROR, "Delete all instances: no job definition id in %s.\n",
                        request->uri);
            reply(conn, kReply400);
            return;
        }
        delete_all_jobinstances(segments[2], conn, cookie);
    } else {
        reply(conn, kReply403);
    }
}
