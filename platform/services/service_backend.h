// The manager's side of a service back-end: what OpenSCManagerA and the calls
// on service handles do once their arguments and access rights are checked.
// Every call fails with the Win32 error as platform/win/service.h gives it.
// Any thread. Internal.
#pragma once

#include <memory>
#include <string>

#include "platform/services/service_common.h"

namespace tovel::platform::service {

struct ServiceRecord {
    std::string name;          // as created
    std::string display_name;  // the name when none was given
    std::string binary_path;   // the command line as registered: the Windows path, quotes kept
    std::string host_binary;   // its host path
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD start_type = SERVICE_DEMAND_START;
    DWORD error_control = SERVICE_ERROR_NORMAL;
};

class ServiceBackend {
public:
    virtual ~ServiceBackend() = default;
    // Whether this process may record services (else last error 5).
    virtual bool may_create() = 0;
    virtual bool create(const std::string& folded, const ServiceRecord& record) = 0;
    // Whether the service is installed (else 1060).
    virtual bool exists(const std::string& folded) = 0;
    virtual bool remove(const std::string& folded) = 0;
    virtual bool start(const std::string& folded) = 0;
    // A control code that is valid and allowed; *status filled as far as known.
    virtual bool control(const std::string& folded, DWORD code, SERVICE_STATUS* status) = 0;
    virtual bool query(const std::string& folded, SERVICE_STATUS* status) = 0;
};

// The program's Windows path of a registered command line: the text inside its leading double
// quotes, or the whole text when it is not quoted.
inline std::string program_of(const std::string& commandLine) {
    if (commandLine.size() >= 2 && commandLine.front() == '"') {
        size_t end = commandLine.find('"', 1);
        if (end != std::string::npos) return commandLine.substr(1, end - 1);
    }
    return commandLine;
}

std::unique_ptr<ServiceBackend> make_files_backend();
std::unique_ptr<ServiceBackend> make_systemd_backend();

// A control sent over the service's socket; the service's refusal (1052,
// 1061, 1062) comes back as the last error with *status filled.
bool control_over_socket(const std::string& folded, DWORD code, SERVICE_STATUS* status);

}  // namespace tovel::platform::service
