// The web interface's requests to the remote web server about job definitions and their runs
// (job instances). Each carries a JSON body and the session cookie; a build that finds an empty
// cookie or identifier logs it, sets the last error 87 and marks the request, which is then
// never sent (see forwardCommand). Replies are read as text.
#pragma once

#include <cstdint>
#include <string>

#include "job/remote/remote_requests.h"

class JobDefinition;

namespace remote_paths {
inline constexpr const char kCreateDefinition[] = "/tovel/WebServer/jobs/CreateJobDefinition.php";
inline constexpr const char kUpdateDefinition[] = "/tovel/WebServer/jobs/UpdateJobDefinition.php";
inline constexpr const char kInstanceSources[] =
    "/tovel/WebServer/catalog/GetSourcesByJobInstanceID.php";
inline constexpr const char kListInstances[] =
    "/tovel/WebServer/catalog/ListJobInstanceOfJobDefinition.php";
inline constexpr const char kDeleteAllInstances[] =
    "/tovel/WebServer/catalog/DeleteJobDefinition.php";
inline constexpr const char kDeleteInstance[] = "/tovel/WebServer/catalog/DeleteJobInstance.php";
inline constexpr const char kInstanceStatus[] = "/tovel/WebServer/catalog/InstanceStatus.php";
inline constexpr const char kGetHistory[] =
    "/tovel/WebServer/catalog/GetHistoryByJobInstanceID.php";
inline constexpr const char kGetErrors[] = "/tovel/WebServer/catalog/ListErrorByJobInstanceID.php";
}  // namespace remote_paths

// A request whose body is {key: identifier}.
class Catalog_Request : public Remote_Request_T<json_spirit::Value> {
public:
    bool build(const std::string& cookie, const std::string& id);

protected:
    Catalog_Request(const char* path, const char* key, const char* idMessage,
                    uint64_t replyBound = kSmallReplyBound);

private:
    const char* key_;
    const char* idMessage_;
};

// The source tree of a run: one node per item, which can be large.
class Instance_Sources_Request : public Catalog_Request {
public:
    Instance_Sources_Request();
};
class List_Instances_Request : public Catalog_Request {
public:
    List_Instances_Request();
};
// Every run of a job definition.
class Delete_All_Instance_Request : public Catalog_Request {
public:
    Delete_All_Instance_Request();
};
class Delete_Instance_Request : public Catalog_Request {
public:
    Delete_Instance_Request();
};
class Instance_Status_Request : public Catalog_Request {
public:
    Instance_Status_Request();
};
class Get_History_Request : public Catalog_Request {
public:
    Get_History_Request();
};
class Get_Errors_Request : public Catalog_Request {
public:
    Get_Errors_Request();
};

// A job definition as its JSON form (JobDefinition::toJSON).
class Definition_Request : public Remote_Request_T<json_spirit::Value> {
public:
    bool build(const std::string& cookie, const JobDefinition* definition);

protected:
    explicit Definition_Request(const char* path) : Remote_Request_T<json_spirit::Value>(path) {}
};
class Create_Definition_Request : public Definition_Request {
public:
    Create_Definition_Request() : Definition_Request(remote_paths::kCreateDefinition) {}
};
class Update_Definition_Request : public Definition_Request {
public:
    Update_Definition_Request() : Definition_Request(remote_paths::kUpdateDefinition) {}
};
