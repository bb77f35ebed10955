// What the jobs and job-instances handlers share: one exchange with the remote web server whose
// failures are answered here, the no-server test, the run-id and job-id tests of a request, and
// the restore jobs of a run. Runs on the request's worker thread.
#pragma once

#include "portvane/forwarding.h"
//
#include <string>

namespace portvane {

template <class Request>
using TextCommand = Command_To_Server<Request, Response_T<std::string>>;

// The server, or a 404 (with message logged at LM_ERROR) when none is bound.
bool haveServer(mg_connection* conn, const ServerAddress& server, const char* message);

// Runs a built command on invoker. True when the remote server answered 2xx: the caller then
// answers. Otherwise the browser has been answered: 400 for a request its builder refused, else
// as answerForwarded does with messages.
template <class Request>
bool exchange(mg_connection* conn, Invoker& invoker, TextCommand<Request>& command,
              const ForwardMessages& messages) {
    if (command.request().refused()) {
        reply(conn, kReply400);
        return false;
    }
    invoker.invokeWithRetry(command);
    int state = command.state();
    int status = command.response().status();
    if (!(state & kCommandFailureMask) && status >= 200 && status <= 299) return true;
    answerForwarded(conn, state, status, command.response().set_cookie(), command.response().body(),
                    messages);
    return false;
}

// The Set-Cookie text of a reply, "" when none.
template <class Response>
std::string setCookieOf(Response& response) {
    const char* cookie = response.set_cookie();
    return cookie ? cookie : "";
}

// Answers 200 with a JSON body, passing a remote Set-Cookie on when there is one.
void replyJsonWithCookie(mg_connection* conn, const std::string& setCookie,
                         const std::string& body);

// Whether a job's state is a run under way (starting to completing, paused included).
bool isBusyState(int state);

// Removes the restore jobs of a run (restore definitions whose instance id is runId): collected
// under the job manager's lock, removed after the walk.
void removeRestoreJobs(const std::string& runId);

}  // namespace portvane
