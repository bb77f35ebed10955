#include "portvane/remote_requests.h"

#include "wirekit/http_tables.h"

bool Login_Request::build(const std::string& user, const std::string& password) {
    if (user.empty()) return refuse("The user name is empty.\n");
    if (password.empty()) return refuse("The password is empty.\n");
    body_ = json_spirit::Object{{"name", user}, {"passwd", password}};
    credentials(true);
    return true;
}

bool Logout_Request::build(const std::string& cookie) {
    if (!cookieGiven(cookie, "The Cookie is empty.\n")) return false;
    this->cookie(cookie.c_str());
    return true;
}

Server_Status_Request::Server_Status_Request()
    : Remote_Request_T<std::string>(remote_paths::kServerStatus) {
    method(HTTP_METHOD_GET);
}

int Server_Status_Request::send(HTTP_Invoker& invoker) {
    headers().put(HTTP_HEAD_TRANSFER_ENCODING, nullptr);
    headers().put(HTTP_HEAD_CONTENT_LENGTH, nullptr);
    return invoker.send_head(*this);
}

Get_User_Info_Request::Get_User_Info_Request()
    : Remote_Request_T<std::string>(remote_paths::kUserInfo) {
    method(HTTP_METHOD_GET);
}

bool Get_User_Info_Request::build(const std::string& cookie) {
    if (!cookieGiven(cookie, "The Cookie is empty.\n")) return false;
    this->cookie(cookie.c_str());
    return true;
}

int Get_User_Info_Request::send(HTTP_Invoker& invoker) {
    headers().put(HTTP_HEAD_TRANSFER_ENCODING, nullptr);
    headers().put(HTTP_HEAD_CONTENT_LENGTH, nullptr);
    return invoker.send_head(*this);
}
