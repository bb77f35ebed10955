// The web server's authorisation hook: a request to a handler that serves logged-in users
// reaches it only with a session cookie that the cookie store knows.
#include "portvane/conventions.h"

using namespace tovel::web;

// Lets the request through (mg_authorize's result), or writes 401 and returns the bytes written.
extern "C" int auth_callback(mg_connection* conn, const mg_request_info* request) {
    int needs = mg_uri_callback_require_auth(conn, request ? request->uri : nullptr);
    if (needs < -1 || needs > 1) return needs;
    if (needs == 1) {
        std::string user;
        if (portvane::userFromCookie(conn, user).empty()) {
            return portvane::reply(conn, portvane::kReply401);
        }
    }
    return mg_authorize(conn);
}
