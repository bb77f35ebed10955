// Child processes: programs started through the layer's spawn, each reaped
// by a waiter thread of its own.
#include "platform/win/process.h"

#include <cerrno>
#include <memory>
#include <string>

#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/spawn.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

// The handles CreateProcessW gives: they only name the child; closing them
// neither ends nor waits for it.
class ProcessObject : public KernelObject {
public:
    explicit ProcessObject(pid_t pid) : pid_(pid) {}
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

class ProcessThreadObject : public KernelObject {};

DWORD spawn_error(int error, const std::string& host) {
    if (error == ENOEXEC) return ERROR_BAD_EXE_FORMAT;
    if (error == ENOENT) {
        set_last_error_from_errno(error, host);  // tells a missing folder from a missing file
        return GetLastError();
    }
    return win32_error_from_errno(error);
}

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Starts the program at host; its pid in *pid, else false with the last error.
bool start_reaped(const std::string& host, bool ownSession, pid_t* pid) {
    SpawnPlan plan;
    plan.arguments = {host};
    plan.own_session = ownSession;
    int error = spawn_reaped(plan, pid);
    if (error != 0) return fail(spawn_error(error, host));
    return true;
}

}  // namespace
}  // namespace tovel::platform

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
    using namespace tovel::platform;
    if (!applicationName || !startupInfo || !processInformation)
        return fail(ERROR_INVALID_PARAMETER);
    if (commandLine || processAttributes || threadAttributes || inheritHandles || environment ||
        currentDirectory || (creationFlags & ~CREATE_NO_WINDOW) != 0 || startupInfo->dwFlags != 0)
        return fail(ERROR_NOT_SUPPORTED);
    std::string host;
    if (!host_path(applicationName, host)) return FALSE;
    pid_t pid = 0;
    if (!start_reaped(host, (creationFlags & CREATE_NO_WINDOW) != 0, &pid)) return FALSE;
    HANDLE process = register_object(std::make_shared<ProcessObject>(pid));
    HANDLE thread = register_object(std::make_shared<ProcessThreadObject>());
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);  // a main thread's id is its pid
    return TRUE;
}
