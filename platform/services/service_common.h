// What both service back-ends and both sides (the manager's and the service
// process's) share: the choice of back-end, service names, the files of a
// service under the root, and the status as text. Internal.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "platform/win/service.h"

namespace tovel::platform::service {

enum class Backend { files, systemd };

// The back-end of this process's calls (see platform/win/service.h); false
// with last error 50 for an unknown TOVEL_SERVICE_BACKEND.
bool choose_backend(Backend* out);

// Checks a service name; its folded (lower-case) form in *folded, which
// names its folder and unit. False with last error 123 (87 for null).
bool check_name(const char* name, std::string* folded);

// <root>/services, and one service's folder and files in it.
std::string services_folder();
std::string service_folder(const std::string& folded);
std::string service_file(const std::string& folded, const char* file);
extern const char kRecordFile[];   // the files back-end's record
extern const char kDeletedFile[];  // the record of a service marked for deletion
extern const char kStatusFile[];
extern const char kOutputFile[];
extern const char kProcessLockFile[];
extern const char kSocketFile[];

// Makes the folder and its parents (mode 0755); errno on failure, else 0.
int make_folders(const std::string& path);

// Writes the file whole under a temporary name beside it, then renames it
// into place, so that a reader sees the old text or the new one. errno on
// failure, else 0.
int write_file_atomically(const std::string& path, const std::string& text, mode_t mode);
// The whole file; false (with errno) when it cannot be read.
bool read_file(const std::string& path, std::string* text);

// Lines "key value" (the value is what follows the first space).
std::map<std::string, std::string> parse_lines(const std::string& text);
// A DWORD field of parsed lines; def when missing or not a number.
DWORD number_field(const std::map<std::string, std::string>& fields, const char* key, DWORD def);

// The status file's text; "process <pid>" ends it while a service process
// runs (pid 0: none).
std::string status_text(const SERVICE_STATUS& status, pid_t process = 0);
SERVICE_STATUS parse_status(const std::string& text);

// Whether a service process holds the service's process lock, i.e. runs.
bool process_running(const std::string& folded);

}  // namespace tovel::platform::service

namespace tovel::platform::service {

// The environment variables of a service process started by the files
// back-end: the marker naming the service, and the descriptor on which the
// dispatcher tells StartServiceA that the service started ('R'), or that it
// failed ('E' and the 32-bit error, little-endian).
extern const char kMarkerVariable[];
extern const char kStartedVariable[];

}  // namespace tovel::platform::service
