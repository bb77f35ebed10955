// The web interface's own requests to the remote web server: login, logout and the server's
// status. Each sets its method and fixed path when constructed; a build that finds an empty
// argument logs it, sets the last error 87 and marks the request, which the command layer then
// never sends (the command ends in CMD_SEND_FAILED).
#pragma once

#include <string>

#include "job/remote/remote_requests.h"

namespace remote_paths {
inline constexpr const char kLogin[] = "/tovel/WebServer/CommonInterface/Login.php";
inline constexpr const char kLogout[] = "/tovel/WebServer/CommonInterface/Logout.php";
inline constexpr const char kServerStatus[] = "/tovel/WebServer/ServerStatus.php";
}  // namespace remote_paths

// POST {"name": user, "passwd": password}; the reply's Set-Cookie is the user's session.
class Login_Request : public Remote_Request_T<json_spirit::Value> {
public:
    Login_Request() : Remote_Request_T<json_spirit::Value>(remote_paths::kLogin) {}
    bool build(const std::string& user, const std::string& password);
};

// POST with an empty body; the cookie's session ends.
class Logout_Request : public Remote_Request_T<std::string> {
public:
    Logout_Request() : Remote_Request_T<std::string>(remote_paths::kLogout) {}
    bool build(const std::string& cookie);
};

// GET without a body or a cookie; the reply is a short text.
class Server_Status_Request : public Remote_Request_T<std::string> {
public:
    Server_Status_Request();
    // Sends the head alone: no Content-Length, no body.
    int send(HTTP_Invoker& invoker);
};

namespace remote_paths {
inline constexpr const char kUserInfo[] = "/tovel/WebServer/UserInfo.php";
}  // namespace remote_paths

// GET without a body, with the user's session cookie; the reply is the account's information.
class Get_User_Info_Request : public Remote_Request_T<std::string> {
public:
    Get_User_Info_Request();
    bool build(const std::string& cookie);
    // Sends the head alone: no Content-Length, no body.
    int send(HTTP_Invoker& invoker);
};
