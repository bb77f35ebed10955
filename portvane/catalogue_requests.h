// The web interface's requests about what there is to restore (the machines and their job
// definitions) and about offline jobs. Each forwards the browser's session cookie; a build that
// finds an empty argument logs it, sets the last error 87 and marks the request, which is then
// never sent.
#pragma once

#include <string>

#include "job/remote/remote_requests.h"

namespace remote_paths {
inline constexpr const char kListMachines[] = "/tovel/WebServer/catalog/listmachines.php";
inline constexpr const char kDefinitionsByMachine[] =
    "/tovel/WebServer/catalog/ListJobDefinitionByMachine.php";
inline constexpr const char kOfflineJobApply[] = "/tovel/WebServer/OfflineJobApply.php";
inline constexpr const char kOfflineJobCancel[] = "/tovel/WebServer/UserCancelOfflineJob.php";
inline constexpr const char kOfflineJobList[] = "/tovel/WebServer/ListOfflineJob.php";
}  // namespace remote_paths

// An empty body; the reply names the machines of the user's job definitions.
class List_Restorable_Machines_Request : public Remote_Request_T<std::string> {
public:
    List_Restorable_Machines_Request()
        : Remote_Request_T<std::string>(remote_paths::kListMachines) {}
    bool build(const std::string& cookie);
};

// {"machine": name}; the reply lists that machine's job definitions.
class List_Definitions_by_Machine_Request : public Remote_Request_T<json_spirit::Value> {
public:
    List_Definitions_by_Machine_Request()
        : Remote_Request_T<json_spirit::Value>(remote_paths::kDefinitionsByMachine) {}
    bool build(const std::string& cookie, const std::string& machine);
};

// The offline-job requests whose body is the browser's own, passed on unread.
class Offline_Job_Body_Request : public Remote_Request_T<std::string> {
public:
    bool build(const std::string& cookie, const std::string& body);

protected:
    explicit Offline_Job_Body_Request(const char* path) : Remote_Request_T<std::string>(path) {}
};

// An application for an offline job.
class Apply_Offline_Job_Request : public Offline_Job_Body_Request {
public:
    Apply_Offline_Job_Request() : Offline_Job_Body_Request(remote_paths::kOfflineJobApply) {}
};

// The details of one offline job; the remote server tells it from an application by the body.
class Get_Offline_Job_Info_Request : public Offline_Job_Body_Request {
public:
    Get_Offline_Job_Info_Request() : Offline_Job_Body_Request(remote_paths::kOfflineJobApply) {}
};

// The withdrawal of one offline job.
class Cancel_Offline_Job_Request : public Offline_Job_Body_Request {
public:
    Cancel_Offline_Job_Request() : Offline_Job_Body_Request(remote_paths::kOfflineJobCancel) {}
};

// The user's offline jobs; no body.
class List_Offline_Jobs_Request : public Remote_Request_T<std::string> {
public:
    List_Offline_Jobs_Request() : Remote_Request_T<std::string>(remote_paths::kOfflineJobList) {}
    bool build(const std::string& cookie);
};
