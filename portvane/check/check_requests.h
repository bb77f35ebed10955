// The consistent check's requests to the remote web server: a job instance's selection and the
// files its backups hold, the last backup of a selection, and the deletion of backed-up files.
// Each carries a JSON body and the session cookie, and names this machine in its URI; a build
// that finds an empty cookie, instance or selection logs it, sets the last error 87 and marks
// the request, which is then never sent (see forwardCommand). Replies are read as text.
#pragma once

#include <string>

#include "job/remote/remote_requests.h"

namespace remote_paths {
inline constexpr const char kJobSelection[] =
    "/tovel/WebServer/consistentcheck/getjobselecsion.php";
inline constexpr const char kJobLastBackup[] =
    "/tovel/WebServer/consistentcheck/jobinstancelastbackup.php";
inline constexpr const char kLastBackup[] = "/tovel/WebServer/consistentcheck/getlastbackup.php";
inline constexpr const char kDeleteFiles[] = "/tovel/WebServer/catalog/DeleteFiles.php";
}  // namespace remote_paths

// The name the remote server knows this machine by: the host name, or the computer name when
// the host name cannot be read.
std::string check_machine_name();

// A request to path + "?machinename=" + the machine name.
class Machine_Request : public Json_Request {
protected:
    explicit Machine_Request(const char* path);
    bool fill(const std::string& cookie, json_spirit::Value body);
};

// {"jobinstanceid": id}: the instance's job selection.
class Get_Job_Selection_Request : public Machine_Request {
public:
    Get_Job_Selection_Request() : Machine_Request(remote_paths::kJobSelection) {}
    bool build(const std::string& cookie, const std::string& instanceId);

protected:
    explicit Get_Job_Selection_Request(const char* path) : Machine_Request(path) {}
};

// {"jobinstanceid": id}: the files the instance's backups hold, with their last-write times.
class Get_Job_Last_Backup_Selection_Request : public Get_Job_Selection_Request {
public:
    Get_Job_Last_Backup_Selection_Request();
};

// The selection object: the newest backed-up version of each file under it.
class Get_Last_Backup_Selection_Request : public Machine_Request {
public:
    Get_Last_Backup_Selection_Request();
    bool build(const std::string& cookie, const json_spirit::Value& selection);
};

// An array of paths whose backed-up files the server deletes.
class Delete_Files_Request : public Machine_Request {
public:
    Delete_Files_Request() : Machine_Request(remote_paths::kDeleteFiles) {}
    bool build(const std::string& cookie, const json_spirit::Value& paths);
};
