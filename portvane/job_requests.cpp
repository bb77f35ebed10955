#include "portvane/job_requests.h"

#include "plandeck/job_definition.h"

namespace {

constexpr const char kInvalidInstance[] = "Invalid job instance id.\n";
constexpr const char kInvalidDefinition[] = "Invalid job definition id.\n";
// A run's tree and its history or errors grow with the run.
constexpr uint64_t kLargeReplyBound = uint64_t{1} << 30;

}  // namespace

Catalog_Request::Catalog_Request(const char* path, const char* key, const char* idMessage,
                                 uint64_t replyBound)
    : Remote_Request_T<json_spirit::Value>(path), key_(key), idMessage_(idMessage) {
    reply_bound(replyBound);
}

bool Catalog_Request::build(const std::string& cookie, const std::string& id) {
    if (!cookieGiven(cookie)) return false;
    if (id.empty()) return refuse(idMessage_);
    return accept(cookie, json_spirit::Object{{key_, id}});
}

Instance_Sources_Request::Instance_Sources_Request()
    : Catalog_Request(remote_paths::kInstanceSources, "jobinstanceid", kInvalidInstance,
                      kLargeReplyBound) {}
List_Instances_Request::List_Instances_Request()
    : Catalog_Request(remote_paths::kListInstances, "jobdefinitionid", kInvalidDefinition,
                      kLargeReplyBound) {}
Delete_All_Instance_Request::Delete_All_Instance_Request()
    : Catalog_Request(remote_paths::kDeleteAllInstances, "id", kInvalidInstance) {}
Delete_Instance_Request::Delete_Instance_Request()
    : Catalog_Request(remote_paths::kDeleteInstance, "id", kInvalidInstance) {}
Instance_Status_Request::Instance_Status_Request()
    : Catalog_Request(remote_paths::kInstanceStatus, "instanceId", kInvalidInstance) {}
Get_History_Request::Get_History_Request()
    : Catalog_Request(remote_paths::kGetHistory, "jobinstanceid", kInvalidInstance,
                      kLargeReplyBound) {}
Get_Errors_Request::Get_Errors_Request()
    : Catalog_Request(remote_paths::kGetErrors, "jobinstanceid", kInvalidInstance,
                      kLargeReplyBound) {}

bool Definition_Request::build(const std::string& cookie, const JobDefinition* definition) {
    if (!cookieGiven(cookie)) return false;
    if (!definition) return refuse("Invalid job definition.\n");
    json_spirit::Value value;
    if (!definition->toJSON(value))
        return refuse("Convert job definition to json object failed.\n");
    return accept(cookie, std::move(value));
}
