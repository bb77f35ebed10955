#include "job/remote/remote_requests.h"

#include <ace/Log_Msg.h>

#include "common/ace_log_wrapper.h"
#include "common/holders.h"

namespace {

json_spirit::Value u64(uint64_t value) { return json_spirit::Value(value); }

json_spirit::Value as_int(DWORD value) { return json_spirit::Value(static_cast<int>(value)); }

}  // namespace

template <class Body>
bool Remote_Request_T<Body>::refuse(const char* message, int priority) {
    log_message(priority, message);
    this->refused_ = true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

template class Remote_Request_T<json_spirit::Value>;
template class Remote_Request_T<std::string>;
template class Remote_Request_T<FBuffer>;

bool Increament_Check_Request::build(const std::string& cookie, Body_Source body,
                                     uint64_t listBytes) {
    if (!cookieGiven(cookie, "The Cookie is empty.\n")) return false;
    expected_reply(listBytes);
    reply_bound(listBytes * 6 + (uint64_t{64} << 10));
    return accept(cookie, std::move(body));
}

bool Start_Job_Request::build(const std::string& cookie, const std::string& definitionId,
                              const std::string& instanceId, uint64_t totalDirectories,
                              uint64_t totalFiles, uint64_t totalSize, const char* startTime) {
    if (!cookieGiven(cookie)) return false;
    if (definitionId.empty()) return refuse("Invalid job definition id.\n");
    if (!instanceGiven(instanceId)) return false;
    json_spirit::Object object;
    object["jobdefinitionid"] = definitionId;
    object["jobinstanceid"] = instanceId;
    object["totaldirectories"] = u64(totalDirectories);
    object["totalfiles"] = u64(totalFiles);
    object["totalsize"] = u64(totalSize);
    object["starttime"] = startTime ? startTime : "unknown";
    return accept(cookie, std::move(object));
}

bool Stop_Job_Request::build(const std::string& cookie, const std::string& instanceId) {
    if (!cookieGiven(cookie) || !instanceGiven(instanceId)) return false;
    json_spirit::Object object;
    object["id"] = instanceId;
    return accept(cookie, std::move(object));
}

bool End_Job_Request::build(const std::string& cookie, const std::string& instanceId,
                            const char* endTime) {
    if (!cookieGiven(cookie) || !instanceGiven(instanceId)) return false;
    json_spirit::Object object;
    object["jobinstanceid"] = instanceId;
    object["endtime"] = endTime ? endTime : "unknown";
    return accept(cookie, std::move(object));
}

bool Submit_Errors_Request::build(const std::string& cookie, const std::string& instanceId,
                                  const json_spirit::Value& errors) {
    if (!cookieGiven(cookie) || !instanceGiven(instanceId)) return false;
    if (errors.is_null()) return refuse("Invalid errors information.\n");
    json_spirit::Object object;
    object["jobinstanceid"] = instanceId;
    object["err"] = errors;
    return accept(cookie, std::move(object));
}

bool Upload_File_Request::build(const std::string& cookie, const std::string& instanceId,
                                const std::string& sourceName,
                                const WIN32_FILE_ATTRIBUTE_DATA& attributes, uint64_t totalSize,
                                uint64_t totalBlocks) {
    if (!cookieGiven(cookie) || !instanceGiven(instanceId)) return false;
    if (sourceName.empty()) return refuse("Invalid path.\n");
    json_spirit::Object attri;
    attri["dwFileAttributes"] = as_int(attributes.dwFileAttributes);
    attri["nFileSizeHigh"] = as_int(attributes.nFileSizeHigh);
    attri["nFileSizeLow"] = as_int(attributes.nFileSizeLow);
    attri["ftCreationTimedwHighDateTime"] = as_int(attributes.ftCreationTime.dwHighDateTime);
    attri["ftCreationTimedwLowDateTime"] = as_int(attributes.ftCreationTime.dwLowDateTime);
    attri["ftLastAccessTimedwHighDateTime"] = as_int(attributes.ftLastAccessTime.dwHighDateTime);
    attri["ftLastAccessTimedwLowDateTime"] = as_int(attributes.ftLastAccessTime.dwLowDateTime);
    attri["ftLastWriteTimedwHighDateTime"] = as_int(attributes.ftLastWriteTime.dwHighDateTime);
    attri["ftLastWriteTimedwLowDateTime"] = as_int(attributes.ftLastWriteTime.dwLowDateTime);
    json_spirit::Object object;
    object["attri"] = attri;
    object["type"] = (attributes.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "folder" : "file";
    object["jobinstanceid"] = instanceId;
    object["sourcename"] = sourceName;
    object["totalsizeHigh"] = as_int(static_cast<DWORD>(totalSize >> 32));
    object["totalsizeLow"] = as_int(static_cast<DWORD>(totalSize));
    object["totalblock"] = u64(totalBlocks);
    return accept(cookie, std::move(object));
}

bool Upload_Data_Request::build(const std::string& cookie, const std::string& instanceId,
                                const std::string& sourceName, uint64_t blockNumber,
                                const std::string& md5, const void* data, uint64_t size) {
    if (cookie.empty()) return refuse("The Cookie is empty.\n");
    if (instanceId.empty()) return refuse("The instance id is empty.\n");
    if (sourceName.empty()) return refuse("The source path is empty.\n");
    if (md5.empty()) return refuse("The md5 is empty.\n");
    std::string boundary;
    {
        last_error_restorer keep;
        UUID uuid;
        rpc_string_holder text;
        if (UuidCreate(&uuid) == RPC_S_OK && UuidToStringA(&uuid, text.out()) == RPC_S_OK)
            boundary = text.c_str();
    }
    content_type(("multipart/form-data; boundary=" + boundary).c_str());
    headers().put("Accept-Encoding", "gip, deflate");
    this->cookie(cookie.c_str());
    const std::string dash = "--" + boundary + "\r\n";
    auto field = [&dash](const char* name, const std::string& value) {
        return dash + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
               "\r\n";
    };
    body_.head = field("md5", md5) + field("jobinstanceid", instanceId) +
                 field("sourcename", sourceName) + dash +
                 "Content-Disposition: form-data; name=\"file\"; filename=\"" +
                 std::to_string(blockNumber) + ".jpg\"\r\n" +
                 "Content-Type: image/pjpeg\r\nContent-Transfer-Encoding: binary\r\n\r\n";
    body_.tail = "\r\n" + dash +
                 "Content-Disposition: form-data; name=\"submit\"\r\n\r\nSubmit\r\n" + "--" +
                 boundary + "--\r\n";
    body_.data = data;
    body_.size = size;
    return true;
}

bool Start_Restore_Job_Request::build(const std::string& cookie, const std::string& definitionId,
                                      const std::string& instanceId) {
    if (!cookieGiven(cookie)) return false;
    if (definitionId.empty()) return refuse("Invalid job definition id.\n");
    if (!instanceGiven(instanceId)) return false;
    json_spirit::Object object;
    object["jobdefinitionid"] = definitionId;
    object["jobinstanceid"] = instanceId;
    return accept(cookie, std::move(object));
}

bool Submit_History_Request::build(const std::string& cookie, Body_Source history) {
    if (!cookieGiven(cookie)) return false;
    if (history.length == 0 || !history.next) return refuse("Invalid history information.\n");
    return accept(cookie, std::move(history));
}

bool Get_File_Info_Request::build(const std::string& cookie, const std::string& machine,
                                  const std::string& instanceId, const std::string& path,
                                  const char* fileName) {
    if (!cookieGiven(cookie)) return false;
    if (machine.empty()) return refuse("Invalid machine name.\n");
    // A one-time restore names no instance: the service reads the newest version of the path.
    if (instanceId.empty()) log_message(LM_WARNING, "Invalid job instance id.\n");
    if (path.empty()) return refuse("Invalid path.\n");
    json_spirit::Object object;
    object["machine"] = machine;
    object["jobinstanceid"] = instanceId;
    object["path"] = path;
    object["filename"] = fileName ? fileName : "";
    return accept(cookie, std::move(object));
}

bool Download_Data_Request::build(const std::string& cookie, const std::string& machine,
                                  const std::string& instanceId, const std::string& path,
                                  const std::string& fileName, uint64_t blockIndex) {
    if (!cookieGiven(cookie)) return false;
    if (machine.empty()) return refuse("Invalid machine name.\n");
    // A one-time restore names no instance: the service reads the newest version of the path.
    if (instanceId.empty()) log_message(LM_WARNING, "Invalid job instance id.\n");
    if (path.empty()) return refuse("Invalid path.\n");
    if (fileName.empty()) return refuse("Invalid file name.\n");
    json_spirit::Object object;
    object["machine"] = machine;
    object["jobinstanceid"] = instanceId;
    object["path"] = path;
    object["filename"] = fileName;
    object["blockindex"] = u64(blockIndex);
    expected_reply(kBlockReplyBound);
    reply_bound(kBlockReplyBound);
    return accept(cookie, std::move(object));
}

bool Export_MD5_of_Keys_Reqeust::build(const std::string& cookie, const std::string& md5) {
    if (!cookieGiven(cookie)) return false;
    if (md5.empty()) return refuse("Invalid md5 value.\n");
    json_spirit::Object object;
    object["md5"] = md5;
    return accept(cookie, std::move(object));
}

bool Get_MD5_of_Keys_Reqeust::build(const std::string& cookie) {
    if (!cookieGiven(cookie)) return false;
    this->cookie(cookie.c_str());
    return true;
}
