// Child processes: posix_spawn with every inherited descriptor above the
// standard three closed in the child, and one detached waiter thread per
// child that reaps exactly that child.
#include "platform/win/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/kernel_object.h"
#include "platform/machine.h"
#include "platform/win/errors.h"

extern char** environ;

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

// Hand-over of the child's pid to its waiter, which is started before the
// child exists: a child is never made that no thread will reap. A pid of -1
// tells the waiter that no child was made.
class Waiter {
public:
    void give(pid_t pid) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            pid_ = pid;
            given_ = true;
        }
        ready_.notify_one();
    }
    pid_t take() {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return given_; });
        return pid_;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    pid_t pid_ = -1;
    bool given_ = false;
};

void reap(const std::shared_ptr<Waiter>& waiter) {
    pid_t pid = waiter->take();
    if (pid <= 0) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Owners of the spawn attributes and file actions for one call.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // Every signal to its default action and none blocked; a new session
    // when asked for.
    bool prepare(bool ownSession) {
        if (!ok_) return false;
        // sigfillset leaves out the C library's own two signals, which
        // posix_spawn then hands to the child ignored; a set of all bits
        // reaches them too.
        sigset_t all, none;
        std::memset(&all, 0xFF, sizeof all);
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (ownSession) flags |= POSIX_SPAWN_SETSID;
        return posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
               posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               posix_spawnattr_setflags(&attributes_, flags) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    // Closes every descriptor from 3 up in the child, close-on-exec or not.
    bool prepare() { return ok_ && posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0; }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

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
bool spawn_reaped(const std::string& host, bool ownSession, pid_t* pid) {
    SpawnAttributes attributes;
    SpawnActions actions;
    if (!attributes.prepare(ownSession) || !actions.prepare()) return fail(ERROR_NOT_ENOUGH_MEMORY);
    auto waiter = std::make_shared<Waiter>();
    try {
        std::thread([waiter] { reap(waiter); }).detach();
    } catch (const std::system_error&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    std::string path = host;
    char* argv[] = {path.data(), nullptr};
    int error = posix_spawn(pid, host.c_str(), actions.get(), attributes.get(), argv, environ);
    if (error != 0) {
        waiter->give(-1);
        return fail(spawn_error(error, host));
    }
    waiter->give(*pid);
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
    if (!spawn_reaped(host, (creationFlags & CREATE_NO_WINDOW) != 0, &pid)) return FALSE;
    HANDLE process = register_object(std::make_shared<ProcessObject>(pid));
    HANDLE thread = register_object(std::make_shared<ProcessThreadObject>());
    processInformation->hProcess = process;
    processInformation->hThread = thread;
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid);  // a main thread's id is its pid
    return TRUE;
}
