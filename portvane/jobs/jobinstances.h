// "/jobinstances": the backup runs (job instances) that the remote web server keeps for a job:
// a run's status, its source tree (answered from the run's local cache, local_job_history_src.h),
// its history and errors, and the deletion of one run or of every run of a job definition. Every
// operation runs on the request's worker thread and needs the request's session cookie, which
// the authorisation hook has checked.
#pragma once

#include <string>

#include "portvane/conventions.h"

template <class Request, class Response>
class Command_To_Server;
template <class Body>
class Response_T;

namespace portvane {

// GET /jobinstances/{run}: {"status": …} of the run.
void instance_status(mg_connection* conn, const std::string& cookie, const std::string& runId);
// GET /jobinstances/{run}/source/{path}: the children of path ("#all" every file, "#increment"
// those sent in this run) from the run's cache, which the first request of the run's owner
// builds from the remote tree. Any other user's request asks the remote tree with his own
// cookie (the remote service refuses another user's run) and is answered from it: the cache is
// shown to its owner only. A run that a local job is still running is answered from the remote
// tree alone, and nothing is cached.
void get_history_src(const std::string& path, const std::string& runId, mg_connection* conn,
                     const std::string& cookie, const std::string& user);
// GET /jobinstances/{run}/history and /errors: the remote answer as it stands.
void get_history_or_erros(const std::string& runId, bool errors, mg_connection* conn,
                          const std::string& cookie);
// DELETE /jobinstances/{run}: the remote deletion, then the run's cache and restore jobs.
void delete_jobinstance(const std::string& cookie, const std::string& runId, mg_connection* conn);
// DELETE /jobinstances/#all/{job id}: every run of the job definition, remotely and here.
void delete_all_jobinstances(const std::string& definitionId, mg_connection* conn,
                             const std::string& cookie);

class LocalJobHistorySrc;

// What fetching a run's tree into a database came to.
enum class TreeFetch {
    built,     // src holds the tree
    empty,     // the run holds nothing: nothing was built, the browser not answered
    answered,  // a failure, which the browser has been answered
};
// Asks the remote web server for the run's tree with the session cookie of user and builds src
// from it as his (the caller holds the run's lock for a cache). setCookie gets the reply's
// Set-Cookie.
TreeFetch fetchRunTree(mg_connection* conn, const std::string& runId, const std::string& cookie,
                       const std::string& user, LocalJobHistorySrc& src, std::string& setCookie);

// The text of uri after the "/" that follows its segment number index (0-based; segments as
// splitUri counts them); "" when no "/" follows that segment.
std::string textAfterSegment(const char* uri, size_t index);

}  // namespace portvane
