// The user's account information from the remote web server, and the start of a downloaded
// installer that checks out.
// The remote service's requests of this file come first: they bring ACE.
#include "portvane/forwarding.h"
#include "portvane/remote_requests.h"
//
#include <string>

#include "common/installer_check.h"
#include "job/stores/cookie_manager.h"
#include "platform/win32.h"

using namespace tovel::web;
using portvane::kReply200;
using portvane::kReply400;
using portvane::kReply401;
using portvane::kReply404;
using portvane::kReply503;
using portvane::reply;

namespace {

// The only file that /update/ starts: the installer the updater downloaded.
constexpr wchar_t kInstallerName[] = L"Tovel.exe";

// Whether the path of the request names the downloaded installer: the data folder's
// "updates\Tovel.exe", with either slash.
bool namesInstaller(const std::string& path, const std::wstring& folder) {
    std::wstring wanted = folder + kInstallerName;
    if (path.size() != wanted.size()) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        wchar_t a = static_cast<unsigned char>(path[i]);
        wchar_t b = wanted[i];
        if (a == L'/') a = L'\\';
        if (a != b) return false;
    }
    return true;
}

}  // namespace

// "/userinfo": the remote server's answer to the user's information request, relayed whatever
// its status.
extern "C" void userinfo_callback(mg_connection* conn, const mg_request_info*) {
    std::string user;
    std::string cookie = portvane::userFromCookie(conn, user);
    if (cookie.empty()) {
        log_message(LM_ERROR, "Get user information failed, the cookie is empty.\n");
        reply(conn, kReply401);
        return;
    }
    portvane::ServerAddress server = portvane::serverAddress();
    if (server.host.empty() || server.port == 0) {
        log_message(LM_ERROR, "Get user information failed, can't get the server information.\n");
        reply(conn, kReply404);
        return;
    }
    Command_To_Server<Get_User_Info_Request, Response_T<std::string>> command(
        "get user information");
    command.request().build(cookie);
    Invoker invoker(server.host.c_str(), server.port, 0);
    invoker.invokeWithRetry(command);
    if (command.state() & kCommandFailureMask) {
        log_message(LM_ERROR, "Get user information failed, state = %d.\n", command.state());
        reply(conn, kReply503);
        return;
    }
    int status = command.response().status();
    if (status < 200 || status > 299)
        log_message(LM_ERROR, "Get user information failed, http-status-code = %d.\n", status);
    portvane::relayServerResponse(conn, command.response(), command.response().body());
}

// "/update/<path>": starts the downloaded installer when the path names it and it checks out
// now (its size and MD5 those of the completed download, its folder and file private to the
// service's user). Anything else is refused with 400 and nothing starts.
extern "C" void update_callback(mg_connection* conn, const mg_request_info* request) {
    std::string uri = request->uri ? request->uri : "";
    if (uri.size() < 11 || uri.compare(0, 8, "/update/") != 0) {
        log_message(LM_ERROR, "Invalid file path = %s\n", uri.c_str());
        reply(conn, kReply400);
        return;
    }
    std::string path = uri.substr(8);
    std::wstring folder = tovel::updates_folder();
    tovel::InstallerInfo info;
    tovel::InstallerCheck check = tovel::InstallerCheck::kNotRegular;
    if (!folder.empty() && namesInstaller(path, folder) &&
        tovel::read_installer_info(folder + L"info", info) == tovel::InfoRead::kOk)
        check = tovel::check_installer(folder, info);
    if (check != tovel::InstallerCheck::kOk) {
        log_message(LM_ERROR, "Invalid file path = %s\n", uri.c_str());
        reply(conn, kReply400);
        return;
    }
    reply(conn, kReply200);
    std::wstring file = folder + kInstallerName;
    SHELLEXECUTEINFOW shell{};
    shell.cbSize = sizeof shell;
    shell.fMask = SEE_MASK_FLAG_NO_UI;
    shell.lpVerb = L"open";
    shell.lpFile = file.c_str();
    shell.nShow = SW_HIDE;
    ShellExecuteExW(&shell);
}
