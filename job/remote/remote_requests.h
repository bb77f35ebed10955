// Every request that the job library sends to the remote service, with its
// fixed path and the form of its body. Each class sets the method and its
// path when constructed; `build` fills it from the caller's values and sets
// the session cookie. A `build` that finds a bad argument logs it, sets the
// last error 87 and returns false, leaving the body empty; the request can
// still be sent, and the server's answer decides. A successful `build`
// leaves the last error as it found it.
#pragma once

#include <ace/Log_Priority.h>

#include <cstdint>
#include <string>

#include "wirekit/server_command.h"

// The paths of the two servers' requests.
namespace remote_paths {
inline constexpr const char kIncrementCheck[] = "/tovel/WebServer/catalog/FilesToBackup.php";
inline constexpr const char kStartJob[] = "/tovel/WebServer/jobs/StartJob.php";
inline constexpr const char kStopJob[] = "/tovel/WebServer/jobs/CancelJob.php";
inline constexpr const char kEndJob[] = "/tovel/Storage%20Server/backupServer/endjob.php";
inline constexpr const char kSubmitErrors[] = "/tovel/WebServer/jobs/AddErrorFiles.php";
inline constexpr const char kUploadFile[] = "/tovel/Storage%20Server/backupServer/uploadfile.php";
inline constexpr const char kUploadData[] = "/tovel/Storage%20Server/backupServer/uploadblock.php";
inline constexpr const char kStartRestoreJob[] = "/tovel/WebServer/jobs/StartRestoreJob.php";
inline constexpr const char kSubmitHistory[] = "/tovel/WebServer/jobs/RestoreJobHistory.php";
inline constexpr const char kGetFileInfo[] =
    "/tovel/Storage%20Server/RestoreServer/GetFileInfo.php";
inline constexpr const char kDownloadData[] =
    "/tovel/Storage%20Server/RestoreServer/DownloadFileBlock.php";
inline constexpr const char kExportKeyMd5[] = "/tovel/WebServer/key/ImportEncryptionKeyMd5.php";
inline constexpr const char kGetKeyMd5[] = "/tovel/WebServer/key/GetEncryptionKey.php";
}  // namespace remote_paths

// The reply bound of the requests whose reply is a short text or a small
// JSON object.
inline constexpr uint64_t kSmallReplyBound = uint64_t{1} << 20;

// A request with a fixed path; Body is the kind of its body.
template <class Body>
class Remote_Request_T : public Request_T<Body> {
protected:
    explicit Remote_Request_T(const char* path) {
        this->method(kMethodWithBody);
        this->uri(path);
        this->reply_bound(kSmallReplyBound);
    }
    // Logs a refused argument and marks the request as not to be sent;
    // always false, with the last error 87.
    bool refuse(const char* message, int priority = LM_ERROR);
    bool cookieGiven(const std::string& cookie, const char* message = "The cookie is empty.\n") {
        return !cookie.empty() || refuse(message);
    }
    bool instanceGiven(const std::string& id, int priority = LM_ERROR) {
        return !id.empty() || refuse("Invalid job instance id.\n", priority);
    }
    // The end of a build whose arguments passed: the body and the session
    // cookie are set; true.
    bool accept(const std::string& cookie, Body body) {
        this->body_ = std::move(body);
        this->cookie(cookie.c_str());
        return true;
    }
};

using Json_Request = Remote_Request_T<json_spirit::Value>;

// The paths whose modification time changed since the job's last completed
// run: the caller's {"id", "source": [...]} object, as compact JSON text
// made by the caller, piece by piece while it is sent (a list of many files
// is too large to hold as a JSON value, or whole as text). listBytes, the bytes of the paths
// offered, bounds the reply: every path back, each escaped to at most six times its length.
class Increament_Check_Request : public Remote_Request_T<Body_Source> {
public:
    Increament_Check_Request() : Remote_Request_T<Body_Source>(remote_paths::kIncrementCheck) {}
    // The body made as it is sent (see Body_Source).
    bool build(const std::string& cookie, Body_Source body, uint64_t listBytes);
    // The body held whole.
    bool build(const std::string& cookie, std::string body, uint64_t listBytes) {
        return build(cookie, Body_Source::of(std::move(body)), listBytes);
    }
};

// Reply: {"host", "port"} of the storage server for the run. A null start
// time sends "unknown".
class Start_Job_Request : public Json_Request {
public:
    Start_Job_Request() : Json_Request(remote_paths::kStartJob) {}
    bool build(const std::string& cookie, const std::string& definitionId,
               const std::string& instanceId, uint64_t totalDirectories, uint64_t totalFiles,
               uint64_t totalSize, const char* startTime);
};

class Stop_Job_Request : public Json_Request {
public:
    Stop_Job_Request() : Json_Request(remote_paths::kStopJob) {}
    bool build(const std::string& cookie, const std::string& instanceId);
};

// A null end time sends "unknown".
class End_Job_Request : public Json_Request {
public:
    End_Job_Request() : Json_Request(remote_paths::kEndJob) {}
    bool build(const std::string& cookie, const std::string& instanceId, const char* endTime);
};

// errors: the run's error records as one array; null is refused.
class Submit_Errors_Request : public Json_Request {
public:
    Submit_Errors_Request() : Json_Request(remote_paths::kSubmitErrors) {}
    bool build(const std::string& cookie, const std::string& instanceId,
               const json_spirit::Value& errors);
};

// The description of one stored item before its blocks.
class Upload_File_Request : public Json_Request {
public:
    Upload_File_Request() : Json_Request(remote_paths::kUploadFile) {}
    bool build(const std::string& cookie, const std::string& instanceId,
               const std::string& sourceName, const WIN32_FILE_ATTRIBUTE_DATA& attributes,
               uint64_t totalSize, uint64_t totalBlocks);
};

// One block of a stored file in a multipart form. The block's bytes stay in
// the caller's buffer, which must outlive the sending.
class Upload_Data_Request : public Remote_Request_T<FBuffer> {
public:
    Upload_Data_Request() : Remote_Request_T<FBuffer>(remote_paths::kUploadData) {}
    bool build(const std::string& cookie, const std::string& instanceId,
               const std::string& sourceName, uint64_t blockNumber, const std::string& md5,
               const void* data, uint64_t size);
};

class Start_Restore_Job_Request : public Json_Request {
public:
    Start_Restore_Job_Request() : Json_Request(remote_paths::kStartRestoreJob) {}
    bool build(const std::string& cookie, const std::string& definitionId,
               const std::string& instanceId);
};

// history: the restore history as it stands, as its compact JSON text (a
// run of many items makes a long one, sent piece by piece as it is); an
// empty text is refused.
class Submit_History_Request : public Remote_Request_T<Body_Source> {
public:
    Submit_History_Request() : Remote_Request_T<Body_Source>(remote_paths::kSubmitHistory) {}
    bool build(const std::string& cookie, Body_Source history);
    // The text held whole.
    bool build(const std::string& cookie, std::string history) {
        return build(cookie, Body_Source::of(std::move(history)));
    }
};

// A null file name sends "".
class Get_File_Info_Request : public Json_Request {
public:
    Get_File_Info_Request() : Json_Request(remote_paths::kGetFileInfo) {}
    bool build(const std::string& cookie, const std::string& machine, const std::string& instanceId,
               const std::string& path, const char* fileName);
};

// Reply: the block's MD5 text (32 bytes), then its stored bytes.
inline constexpr uint64_t kBlockReplyBound = 131072 + 32;
class Download_Data_Request : public Json_Request {
public:
    Download_Data_Request() : Json_Request(remote_paths::kDownloadData) {}
    bool build(const std::string& cookie, const std::string& machine, const std::string& instanceId,
               const std::string& path, const std::string& fileName, uint64_t blockIndex);
};

class Export_MD5_of_Keys_Reqeust : public Json_Request {
public:
    Export_MD5_of_Keys_Reqeust() : Json_Request(remote_paths::kExportKeyMd5) {}
    bool build(const std::string& cookie, const std::string& md5);
};

// An empty text body; reply {"md5"}.
class Get_MD5_of_Keys_Reqeust : public Remote_Request_T<std::string> {
public:
    Get_MD5_of_Keys_Reqeust() : Remote_Request_T<std::string>(remote_paths::kGetKeyMd5) {}
    bool build(const std::string& cookie);
};
