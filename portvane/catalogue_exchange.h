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
// A command whose 2xx reply body goes to a reader as it arrives (Streamed_Body).
template <class Request>
using StreamedCommand = Command_To_Server<Request, Response_T<Streamed_Body>>;

// The body text of a reply that is passed on.
inline const std::string& replyText(Response_T<std::string>& response) { return response.body(); }
inline const std::string& replyText(Response_T<Streamed_Body>& response) {
    return response.body().text;
}

// The server, or a 404 (with message logged at LM_ERROR) when none is bound.
bool haveServer(mg_connection* conn, const ServerAddress& server, const char* message);

// Runs a built command on invoker. True when the remote server answered 2xx: the caller then
// answers. Otherwise the browser has been answered: 400 for a request its builder refused, else
// as answerForwarded does with messages.
template <class Request, class Response>
bool exchange(mg_connection* conn, Invoker& invoker, Command_To_Server<Request, Response>& command,
              const ForwardMessages& messages) {
    if (command.request().refused()) {
        reply(conn, kReply400);
        return false;
    }
    invoker.invokeWithRetry(command);
    int state = command.state();
    int status = command.response().status();
    if (!(state & kCommandFailureMask) && status >= 200 && status <= 299) return true;
    answerForwarded(conn, state, status, command.response().set_cookie(),
                    replyText(command.response()), messages);
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
// The head of that answer for a body of length bytes that the caller writes after it; false
// when the connection failed.
bool replyJsonHeadWithCookie(mg_connection* conn, const std::string& setCookie, uint64_t length);

// Gives the memory that a large reply used back to the system (HeapCompact), keeping the
// thread's last error: the web server's worker threads each keep their own allocator arena,
// which would otherwise hold the peak of the largest reply that thread ever made.
void releaseFreeMemory();

// Whether a job's state is a run under way (starting to completing, paused included).
bool isBusyState(int state);

// Removes the restore jobs of a run (restore definitions whose instance id is runId): collected
// under the job manager's lock, removed after the walk.
void removeRestoreJobs(const std::string& runId);

}  // namespace portvane
