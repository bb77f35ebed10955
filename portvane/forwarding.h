// How a handler sends one command to the remote web server and answers the browser with what
// came back. Runs on the worker thread of the request; the command and its invoker live on that
// thread's stack.
#pragma once

// The command layer brings ACE, whose headers must come before the platform layer's.
#include "wirekit/server_command.h"
//
#include <string>

#include "common/ace_log_wrapper.h"
#include "portvane/conventions.h"

namespace portvane {

// The remote web server as the options store holds it: host ("" when none is bound) and port
// (80 when the options give none).
struct ServerAddress {
    std::string host;
    unsigned short port = 80;
};
ServerAddress serverAddress();

// What a forwarding handler logs at LM_ERROR: stateFormat with the command's final state (one
// "%d") when the exchange failed, statusFormat with the remote status (one "%d") when the remote
// server answered with another status than 2xx.
struct ForwardMessages {
    const char* stateFormat;
    const char* statusFormat;
};

// The body of a remote reply as the browser is given it.
inline const std::string& replyBody(const Response_T<std::string>& response) {
    return response.body();
}
std::string replyBody(const Response_T<json_spirit::Value>& response);

// Answers the browser for a command that has run (invoked is what invokeWithRetry returned):
// - the exchange failed: stateFormat logged; 503 when the server could not be reached (state
//   64), else 500;
// - 2xx: 200 with the remote body and Set-Cookie;
// - 4xx: the remote status with its reason text, body and Set-Cookie; statusFormat logged;
// - any other status: statusFormat logged; 500.
// A relayed reply carries nothing else of the remote one (see replyRelayed). The status
// written is returned.
int answerForwarded(mg_connection* conn, int state, int status, const char* setCookie,
                    const std::string& body, const ForwardMessages& messages);

// Sends command to server with the command layer's one retry and answers the browser as
// answerForwarded does. A request that its builder refused (a missing or empty argument) is
// never sent: 400. The caller answers 401 itself, before building the command, for a request
// without a session cookie that the store knows; a command that carries the browser's cookie is
// a Command_To_Server, so that a cookie the remote server rotates is stored before the browser
// is given it. Returns the status written.
template <class Request, class Response>
int forwardCommand(mg_connection* conn, const ServerAddress& server,
                   Command<Request, Response>& command, const ForwardMessages& messages) {
    if (command.request().refused()) {
        reply(conn, kReply400);
        return 400;
    }
    Invoker invoker(server.host.c_str(), server.port, 0);
    invoker.invokeWithRetry(command);
    return answerForwarded(conn, command.state(), command.response().status(),
                           command.response().set_cookie(), replyBody(command.response()),
                           messages);
}

// Writes a remote reply to the browser whole, whatever its status: the status and its reason
// text, the Set-Cookie with a 2xx or 4xx status, and the body (see replyRelayed; a status that
// HTTP does not let carry this reply, below 200 or above 599, becomes 500).
void relayServerResponse(mg_connection* conn, const HTTP_Response& response,
                         const std::string& body);

}  // namespace portvane
