// "/jobs" and "/jobsview": the agent's jobs for the web interface. Reads and job operations go to
// the job manager, whose lock is held only while a visit reads jobs (never while a reply is
// written or the remote server is asked); defining a job registers the definition with the remote
// web server first and then hands it to the job manager. A job is its user's: every operation on
// one job id answers another user 404, as for a job that does not exist, and changes nothing.
// Runs on the request's worker thread.
//
// The remote requests come first: they bring ACE.
#include "portvane/catalogue_exchange.h"
#include "portvane/job_requests.h"
//
#include <cstdio>
#include <memory>

#include "common/holders.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "plandeck/job_definition_factory.h"
#include "plandeck/restore_job_definition.h"
#include "portvane/jobs/jobinstances.h"
#include "portvane/jobs/local_job_history_src.h"
#include "portvane/local_paths.h"
#include "portvane/safe_name.h"

using namespace tovel::web;

namespace portvane {
namespace {

JobManagerImpl* manager() { return JobManagerImpl::instance(); }

constexpr std::string_view kReplyExpandFailed =
    "HTTP/1.1 400 Plandeck expand failed!\r\nContent-Length: 0\r\n\r\n";

std::string runTimeText(int date, int time) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", (date / 10000) % 10000,
                  (date / 100) % 100, date % 100, (time / 10000) % 100, (time / 100) % 100,
                  time % 100);
    return text;
}

json_spirit::Object lastRunTime(const Job& job) {
    json_spirit::Object out;
    int date = 0, time = 0;
    if (job.lastRunTime(date, time)) {
        out["time"] = runTimeText(date, time);
        out["state"] = jobStateToString(job.lastRunState());
    }
    return out;
}

json_spirit::Object nextRunTime(const Job& job) {
    json_spirit::Object out;
    int date = 0, time = 0;
    if (job.nextRunTime(date, time)) out["time"] = runTimeText(date, time);
    return out;
}

json_spirit::Object summaryOf(const Job& job) {
    json_spirit::Object out;
    job.toJSON(out);
    const JobDefinition* definition = job.definition();
    if (definition) {
        out["name"] = definition->name();
        if (definition->type() == 1) out["type"] = "backup";
        if (definition->type() == 2) out["type"] = "restore";
    }
    json_spirit::Object last = lastRunTime(job);
    if (!last.empty()) out["lastRunTime"] = last;
    if (!job.isRunOnce()) {
        json_spirit::Object next = nextRunTime(job);
        if (!next.empty()) out["nextRunTime"] = next;
    }
    return out;
}

bool ownedBy(const Job& job, const std::string& user) {
    return job.definition() && user == job.definition()->user();
}

// Whether the job of id is another user's than user: to him it does not exist, so that no
// operation reads or changes it (404 written then). An unknown id is the caller's to answer.
bool anothersJob(mg_connection* conn, const std::string& id, const std::string& user) {
    bool anothers = false;
    manager()->job(id.c_str(), [&](const Job& job) { anothers = !ownedBy(job, user); });
    if (anothers) reply(conn, kReply404);
    return anothers;
}

// The request's session cookie and its user; false (401 written) when it has none the store
// knows.
bool sessionOf(mg_connection* conn, std::string& cookie, std::string& user) {
    cookie = userFromCookie(conn, user);
    if (!cookie.empty()) return true;
    reply(conn, kReply401);
    return false;
}

// The status the remote server gives a run before a restore of it starts: true to go on; false
// when the browser has been answered (404 for a deleted run, else as the failure says).
bool runNotDeleted(mg_connection* conn, const std::string& runId, const std::string& cookie) {
    ServerAddress server = serverAddress();
    if (server.host.empty() || server.port == 0) {
        reply(conn, kReply503);
        return false;
    }
    TextCommand<Instance_Status_Request> command("get instance status");
    command.request().build(cookie, runId);
    if (command.request().refused()) {
        reply(conn, kReply401);
        return false;
    }
    Invoker invoker(server.host.c_str(), server.port, 0);
    if (!exchange(conn, invoker, command,
                  {"Get instances status failed, command state = %d.\n",
                   "Get instances status failed, http-status-code: %d.\n"})) {
        return false;
    }
    json_spirit::Value value;
    try {
        json_spirit::read_or_throw(command.response().body(), value);
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR,
                    "Get instances status failed, failed to parse the instance-status-json "
                    "object, instance %s, line %d, column %d, %s.\n",
                    runId.c_str(), error.line_, error.column_, error.reason_.c_str());
        reply(conn, kReply500);
        return false;
    }
    std::string status;
    if (value.type() != json_spirit::obj_type ||
        !json_spirit::object_get(value.get_obj(), "status", status)) {
        reply(conn, kReply500);
        return false;
    }
    if (status == "deleted") {
        log_message(LM_ERROR, "The job instance %s to restore from is deleted.\n", runId.c_str());
        reply(conn, kReply404);
        return false;
    }
    return true;
}

// ------------------------------------------------------------------- commands

void startCommand(mg_connection* conn, const std::string& id) {
    bool found = false;
    int type = 0;
    std::string runId;
    manager()->job(id.c_str(), [&](const Job& job) {
        found = true;
        if (!job.definition()) return;
        type = job.definition()->type();
        const auto* restore = dynamic_cast<const RestoreJobDefinition*>(job.definition());
        if (type == 2 && restore) runId = restore->instanceId();
    });
    if (!found) {
        reply(conn, kReply404);
        return;
    }
    if (type == 2 && !runId.empty()) {
        std::string user;
        std::string cookie = userFromCookie(conn, user);
        if (!runNotDeleted(conn, runId, cookie)) return;
    }
    reply(conn, manager()->startJob(id.c_str()) ? kReply200 : kReply403);
}

void stopCommand(mg_connection* conn, const std::string& id) {
    reply(conn, manager()->stopJob(id.c_str()) ? kReply200 : kReply403);
}

void pauseCommand(mg_connection* conn, const std::string& id) {
    reply(conn, manager()->pauseJob(id.c_str()) ? kReply200 : kReply403);
}

void resumeCommand(mg_connection* conn, const std::string& id) {
    reply(conn, manager()->resumeJob(id.c_str()) ? kReply200 : kReply403);
}

void stateCommand(mg_connection* conn, const std::string& id) {
    json_spirit::Object out;
    manager()->job(id.c_str(), [&](const Job& job) { job.toJSON(out); });
    replyJson(conn, json_spirit::write(out));
}

void lastRunTimeCommand(mg_connection* conn, const std::string& id) {
    json_spirit::Object out;
    manager()->job(id.c_str(), [&](const Job& job) { out = lastRunTime(job); });
    replyJson(conn, json_spirit::write(out));
}

void nextRunTimeCommand(mg_connection* conn, const std::string& id) {
    json_spirit::Object out;
    manager()->job(id.c_str(), [&](const Job& job) { out = nextRunTime(job); });
    replyJson(conn, json_spirit::write(out));
}

void instanceIdsCommand(mg_connection* conn, const std::string& id) {
    if (!mg_get_header(conn, "Cookie")) {
        reply(conn, kReply401);
        return;
    }
    std::string user;
    std::string cookie = userFromCookie(conn, user);
    ServerAddress server = serverAddress();
    if (!haveServer(conn, server, "List instances of job: can't get the server information.\n"))
        return;
    TextCommand<List_Instances_Request> command("list instance of job");
    command.request().build(cookie, id);
    forwardCommand(conn, server, command,
                   {"List instances of job failed. command state = %d.\n",
                    "List instances of job failed, http-status-code: %d.\n"});
}

struct JobCommand {
    const char* word;
    void (*handler)(mg_connection* conn, const std::string& id);
};

const JobCommand job_commands[] = {
    {"start", startCommand},
    {"stop", stopCommand},
    {"pause", pauseCommand},
    {"resume", resumeCommand},
    {"state", stateCommand},
    {"lastruntime", lastRunTimeCommand},
    {"nextruntime", nextRunTimeCommand},
    {"instanceids", instanceIdsCommand},
    {nullptr, nullptr},
};

// -------------------------------------------------------------------- reading

void userJobs(mg_connection* conn, bool summaries) {
    std::string cookie, user;
    if (!sessionOf(conn, cookie, user)) return;
    json_spirit::Array out;
    manager()->jobs([&](const Job& job) {
        if (!ownedBy(job, user)) return;
        if (summaries) {
            out.push_back(summaryOf(job));
            return;
        }
        json_spirit::Value definition;
        if (job.definition()->toJSON(definition)) out.push_back(std::move(definition));
    });
    replyJson(conn, json_spirit::write(out));
}

void stateList(mg_connection* conn, const std::vector<std::string>& segments) {
    int filter = 0;
    if (segments.size() > 2) {
        filter = jobStateFromString(segments[2].c_str());
        if (filter == 0) {
            reply(conn, kReply400);
            return;
        }
    }
    json_spirit::Array out;
    manager()->jobs([&](const Job& job) {
        if (filter != 0 && job.state() != filter) return;
        json_spirit::Object state;
        if (job.toJSON(state)) out.push_back(std::move(state));
    });
    replyJson(conn, json_spirit::write(out));
}

// Removes the jobs of the request's user that can be stopped; another user's are left alone.
void removeUserJobs(mg_connection* conn) {
    std::string cookie, user;
    if (!sessionOf(conn, cookie, user)) return;
    manager()->removeJobs([&](const Job& job) { return ownedBy(job, user); });
    reply(conn, kReply200);
}

void oneDefinition(mg_connection* conn, const std::string& id) {
    json_spirit::Value definition;
    bool found = false;
    manager()->job(id.c_str(), [&](const Job& job) {
        found = job.definition() && job.definition()->toJSON(definition);
    });
    if (!found) {
        reply(conn, kReply404);
        return;
    }
    replyJson(conn, json_spirit::write(definition));
}

// ------------------------------------------------------------------- defining

// Fills a restore definition's sources with what its selection stands for in the run's cache,
// which is fetched and built first when missing or not the user's. False when the browser has been
// answered.
bool expandRestore(mg_connection* conn, RestoreJobDefinition& restore, const std::string& cookie,
                   const std::string& user) {
    const std::string runId = restore.instanceId();
    json_spirit::Value value;
    auto* source = static_cast<json_spirit::Value*>(nullptr);
    if (restore.toJSON(value) && value.type() == json_spirit::obj_type) {
        auto found = value.get_obj().find("source");
        if (found != value.get_obj().end() && found->second.type() == json_spirit::array_type)
            source = &found->second;
    }
    if (!source) {
        reply(conn, kReplyExpandFailed);
        return false;
    }
    LocalJobHistorySrc cache(runId);
    {
        LocalJobHistorySrc::RunLock lock(runId);
        std::string setCookie;
        TreeFetch fetched = cache.ownedBy(user)
                                ? TreeFetch::built
                                : fetchRunTree(conn, runId, cookie, user, cache, setCookie);
        if (fetched == TreeFetch::answered) return false;
        // Nothing to expand; whatever the cache holds is not this user's.
        if (fetched == TreeFetch::empty) {
            reply(conn, kReplyExpandFailed);
            return false;
        }
    }
    json_spirit::Array leaves;
    json_spirit::Object summary;
    if (!cache.get_leafnode(source->get_array(), leaves, summary) || leaves.empty()) {
        reply(conn, kReplyExpandFailed);
        return false;
    }
    *source = std::move(leaves);
    json_spirit::Object& object = value.get_obj();
    object["totalsize"] = summary["size"];
    object["totaldirectories"] = summary["dirs"];
    object["totalfiles"] = summary["files"];
    if (!restore.fromJSON(value)) {
        reply(conn, kReplyExpandFailed);
        return false;
    }
    return true;
}

// Whether the definition may replace the job of its id, checked before anything is sent: a
// job of another user (404, as for him there is none) or a busy one (403) keeps its definition,
// and a definition of another kind (400) never reaches it. True to go on; else the browser has
// been answered.
bool mayReplace(mg_connection* conn, const JobDefinition& definition, const std::string& user) {
    int status = 0;
    manager()->job(definition.id(), [&](const Job& job) {
        const JobDefinition* current = job.definition();
        if (!current || user != current->user()) {
            status = 404;
        } else if (current->type() != definition.type()) {
            status = 400;
        } else if (job.removing() || !(job.state() == JS_IDLE || job.state() == JS_COMPLETED ||
                                       job.state() == JS_CANCELLED || job.state() == JS_ERROR)) {
            status = 403;
        }
    });
    if (status == 0) return true;
    log_message(LM_ERROR, "Submit job failed, job %s may not be replaced, status %d.\n",
                definition.id(), status);
    reply(conn, status == 400 ? kReply400 : status == 404 ? kReply404 : kReply403);
    return false;
}

void defineJob(mg_connection* conn, const mg_request_info* request, bool update) {
    std::string cookie, user;
    if (!sessionOf(conn, cookie, user)) return;
    json_spirit::Value value;
    try {
        std::string body(request->post_data ? request->post_data : "",
                         request->post_data ? request->post_data_len : 0);
        json_spirit::read_or_throw(body, value);
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR,
                    "Submit job failed, failed to parse the job json object, line %d, column %d, "
                    "%s.\n",
                    error.line_, error.column_, error.reason_.c_str());
        reply(conn, kReply400);
        return;
    }
    if (portvane::definitionPathHasControlCharacter(value)) return (void)reply(conn, kReply400);
    std::unique_ptr<JobDefinition> definition(JobDefinitionFactory::create(value));
    std::string normalised;
    if (!definition || !JobDefinition::normalisedId(definition->id(), normalised) ||
        normalised != definition->id()) {
        reply(conn, kReply400);
        return;
    }
    definition->user(user.c_str());
    if (!mayReplace(conn, *definition, user)) return;
    ServerAddress server = serverAddress();
    if (definition->type() == 2) {
        auto* restore = dynamic_cast<RestoreJobDefinition*>(definition.get());
        if (!restore || !isSafeFileName(restore->instanceId())) {
            reply(conn, kReplyExpandFailed);
            return;
        }
        // A restore starts as soon as it is submitted: the run it restores from must not be
        // deleted.
        if (!runNotDeleted(conn, restore->instanceId(), cookie)) return;
        if (!expandRestore(conn, *restore, cookie, user)) return;
    }
    if (!haveServer(conn, server, "Submit job failed, can't get the server information.\n")) return;
    const ForwardMessages messages = {"Update job definition failed, command state = %d\n",
                                      "Update job definition failed, http-status-code: %d\n"};
    Invoker invoker(server.host.c_str(), server.port, 0);
    std::string setCookie;
    if (update) {
        TextCommand<Update_Definition_Request> command("update job definition");
        command.request().build(cookie, definition.get());
        if (!exchange(conn, invoker, command, messages)) return;
        setCookie = setCookieOf(command.response());
    } else {
        TextCommand<Create_Definition_Request> command("create job definition");
        command.request().build(cookie, definition.get());
        if (!exchange(conn, invoker, command, messages)) return;
        setCookie = setCookieOf(command.response());
    }
    std::string id = definition->id();
    // The job manager owns the definition from here on, whatever it answers.
    if (!manager()->submitJob(definition.release())) {
        log_message(LM_ERROR, "Submit job %s to the job manager failed, %m.\n", id.c_str());
        reply(conn, kReply500);
        return;
    }
    if (update) {
        replyRelayed(conn, 200, setCookie.c_str(), "");
    } else {
        replyJsonWithCookie(conn, setCookie, json_spirit::write(json_spirit::Object{{"id", id}}));
    }
}

}  // namespace
}  // namespace portvane

using namespace portvane;

extern "C" void jobs_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    std::vector<std::string> segments = splitUri(request ? request->uri : nullptr);
    if (segments.empty() || segments[0] != "jobs") {
        reply(conn, kReply404);
        return;
    }
    if (methodIs(request, "POST")) {
        if (segments.size() > 2) {
            reply(conn, kReply403);
            return;
        }
        defineJob(conn, request, segments.size() == 2);
    } else if (methodIs(request, "GET")) {
        if (segments.size() == 1) {
            userJobs(conn, false);
            return;
        }
        if (segments[1] == "state") {
            stateList(conn, segments);
            return;
        }
        const JobCommand* chosen = nullptr;
        if (segments.size() > 2) {
            for (const JobCommand* c = job_commands; c->word; ++c) {
                if (segments[2] == c->word) chosen = c;
            }
            if (!chosen) {
                reply(conn, kReply400);
                return;
            }
        }
        std::string cookie, user;
        if (!sessionOf(conn, cookie, user) || anothersJob(conn, segments[1], user)) return;
        if (chosen)
            chosen->handler(conn, segments[1]);
        else
            oneDefinition(conn, segments[1]);
    } else if (methodIs(request, "DELETE")) {
        if (segments.size() == 1) {
            removeUserJobs(conn);
            return;
        }
        std::string cookie, user;
        if (!sessionOf(conn, cookie, user) || anothersJob(conn, segments[1], user)) return;
        reply(conn, manager()->removeJob(segments[1].c_str()) ? kReply200 : kReply500);
    } else {
        reply(conn, kReply403);
    }
}

extern "C" void jobsview_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    std::vector<std::string> segments = splitUri(request ? request->uri : nullptr);
    if (segments.empty() || segments[0] != "jobsview") {
        reply(conn, kReply404);
        return;
    }
    if (!methodIs(request, "GET")) {
        reply(conn, kReply403);
        return;
    }
    if (segments.size() == 1) {
        userJobs(conn, true);
        return;
    }
    std::string cookie, user;
    if (!sessionOf(conn, cookie, user) || anothersJob(conn, segments[1], user)) return;
    json_spirit::Object summary;
    bool found =
        manager()->job(segments[1].c_str(), [&](const Job& job) { summary = summaryOf(job); });
    if (!found) {
        reply(conn, kReply404);
        return;
    }
    replyJson(conn, json_spirit::write(summary));
}
