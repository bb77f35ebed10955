// Login and logout of the web interface. A browser logs in with the user name and password of
// the remote service, which the agent either confirms from the password and session cookie it
// saved at an earlier login, or sends to the remote web server, whose session cookie then serves
// the browser and the agent alike. Failed logins are throttled (login_restrictions.h).
// The remote service's requests of this file come first: they bring ACE.
#include "portvane/forwarding.h"
#include "portvane/remote_requests.h"
//
#include <memory>

#include "common/holders.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/password_manager.h"
#include "portvane/login_restrictions.h"

using namespace tovel::web;
using portvane::kReply200;
using portvane::kReply400;
using portvane::kReply401;
using portvane::kReply403;
using portvane::kReply500;
using portvane::kReply503;
using portvane::reply;

namespace {

CookieManagerImpl* cookies() {
    return ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}
PasswordManagerImpl* passwords() {
    return ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

struct VarFree {
    void operator()(char* p) const { mg_free(p); }
};
using Var = std::unique_ptr<char, VarFree>;

bool hasControlCharacter(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F) return true;
    }
    return false;
}

}  // namespace

// POST of the urlencoded form "username", "userpassword" (both in the body: a password in a URL
// would be kept in histories and logs). Another method gets 403.
extern "C" void login_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    if (!portvane::methodIs(request, "POST")) {
        log_message(LM_ERROR, "Login failed, the user name and password are taken by POST only.\n");
        reply(conn, kReply403);
        return;
    }
    Var userVar(mg_get_body_var(conn, "username"));
    Var passwordVar(mg_get_body_var(conn, "userpassword"));
    bool bad = false;
    if (!userVar || !*userVar) {
        log_message(LM_ERROR, "Login failed, bad request, empty user name.\n");
        bad = true;
    }
    if (!passwordVar || !*passwordVar) {
        log_message(LM_ERROR, "Login failed, bad request, empty password.\n");
        bad = true;
    }
    if (!bad && hasControlCharacter(userVar.get())) {
        // It would be written into the log as it stands, breaking or forging its lines.
        log_message(LM_ERROR,
                    "Login failed, bad request, the user name holds a control "
                    "character.\n");
        bad = true;
    }
    if (bad) {
        reply(conn, kReply400);
        return;
    }
    const std::string user = userVar.get();
    const std::string password = passwordVar.get();
    log_message(LM_INFO, "User %s is logging in.\n", user.c_str());

    // From here on every way out but a login counts as a failure of this name.
    LoginAttempt attempt(user);
    if (!attempt.allowed()) {
        log_message(LM_ERROR,
                    "Login not allowed while login as user %s, try with invalid user name or "
                    "password too many times, try later.\n",
                    user.c_str());
        reply(conn, kReply403);
        return;
    }

    std::string saved;
    if (passwords()->isPasswordValid(user.c_str(), password.c_str()) &&
        cookies()->findCookie(user.c_str(), saved)) {
        log_message(LM_INFO, "Authenticate user %s by local agent.\n", user.c_str());
        if (!saved.empty()) {
            attempt.confirmedLocally();
            std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nSet-Cookie: " +
                               portvane::browserCookie(saved) + "\r\n\r\n";
            mg_write(conn, head.data(), head.size());
            return;
        }
        passwords()->removePassword(user.c_str());
        log_message(LM_ERROR, "Login as user %s failed, get an empty cookie.\n", user.c_str());
        reply(conn, kReply401);
        return;
    }

    log_message(LM_INFO,
                "Authenticate by local agent failed, authenticate the user %s by server.\n",
                user.c_str());
    portvane::ServerAddress server = portvane::serverAddress();
    Command<Login_Request, Response_T<std::string>> command("login command");
    command.request().build(user, password);
    Invoker invoker(server.host.c_str(), server.port, 0);
    invoker.invokeWithRetry(command);
    int state = command.state();
    if (state & kCommandFailureMask) {
        log_message(LM_ERROR, "Login failed, state = %d, error = %d, %m.\n", state,
                    static_cast<int>(GetLastError()));
        reply(conn, state == CMD_CONNECT_FAILED ? kReply503 : kReply500);
        return;
    }
    const Response_T<std::string>& response = command.response();
    int status = response.status();
    if (status == 200) {
        attempt.succeeded();
        passwords()->savePassword(user.c_str(), password.c_str());
        const char* cookie = response.set_cookie();
        if (cookie && *cookie) cookies()->saveCookie(user.c_str(), cookie);
    } else {
        log_message(LM_ERROR, "Login failed, response status-code = %d.\n", status);
    }
    portvane::relayServerResponse(conn, response, response.body());
}

// Forgets the request's session cookie and ends its session on the remote server; 200 whatever
// the remote server makes of it, 401 without a "Cookie" header. Only a cookie of the store is
// sent on: the header's other cookies belong to other programs.
extern "C" void logout_callback(mg_connection* conn, const mg_request_info*) {
    last_error_restorer keep;
    if (!mg_get_header(conn, "Cookie")) {
        reply(conn, kReply401);
        return;
    }
    std::string user;
    std::string cookie = portvane::userFromCookie(conn, user);
    if (!cookie.empty()) {
        cookies()->removeCookie(cookie.c_str());
        portvane::ServerAddress server = portvane::serverAddress();
        Command<Logout_Request, Response_T<std::string>> command("login command");
        command.request().build(cookie);
        Invoker invoker(server.host.c_str(), server.port, 0);
        invoker.invokeWithRetry(command);
    }
    reply(conn, kReply200);
}
