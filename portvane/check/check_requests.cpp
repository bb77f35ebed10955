#include "portvane/check/check_requests.h"

#include <unistd.h>

#include "common/text_conv.h"
#include "platform/win32.h"

std::string check_machine_name() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0]) return host;
    wchar_t name[256] = {};
    DWORD size = 256;
    if (GetComputerNameW(name, &size)) return to_utf8(std::wstring(name, size));
    return std::string();
}

Machine_Request::Machine_Request(const char* path) : Json_Request(path) {
    std::string uri = std::string(path) + "?machinename=" + check_machine_name();
    this->uri(uri.c_str());
}

bool Machine_Request::fill(const std::string& cookie, json_spirit::Value body) {
    if (!cookieGiven(cookie)) return false;
    return accept(cookie, std::move(body));
}

bool Get_Job_Selection_Request::build(const std::string& cookie, const std::string& instanceId) {
    if (!cookieGiven(cookie) || !instanceGiven(instanceId)) return false;
    return fill(cookie, json_spirit::Object{{"jobinstanceid", instanceId}});
}

Get_Job_Last_Backup_Selection_Request::Get_Job_Last_Backup_Selection_Request()
    : Get_Job_Selection_Request(remote_paths::kJobLastBackup) {
    reply_bound(uint64_t{1} << 30);  // a listing of every file the instance holds
}

Get_Last_Backup_Selection_Request::Get_Last_Backup_Selection_Request()
    : Machine_Request(remote_paths::kLastBackup) {
    reply_bound(uint64_t{1} << 30);
}

bool Get_Last_Backup_Selection_Request::build(const std::string& cookie,
                                              const json_spirit::Value& selection) {
    if (!cookieGiven(cookie)) return false;
    if (selection.type() == json_spirit::null_type)
        return refuse("Invalid directories/files selection.\n");
    return fill(cookie, selection);
}

bool Delete_Files_Request::build(const std::string& cookie, const json_spirit::Value& paths) {
    return fill(cookie, paths);
}
