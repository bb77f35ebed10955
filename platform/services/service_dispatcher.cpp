// The service process's side: the dispatcher that claims the service, runs
// its main function on a thread of its own and its handler on the
// dispatcher's thread for every control received, and the status reports.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/machine.h"
#include "platform/services/service_channel.h"
#include "platform/services/service_common.h"
#include "platform/services/service_notify.h"
#include "platform/win/errors.h"
#include "platform/win/service.h"

namespace tovel::platform::service {
namespace {

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

bool pending(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
           state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

// The service this process runs as while its dispatcher runs. Guarded by
// lock; the handler is called without it.
struct ServiceProcess {
    std::mutex lock;
    bool dispatching = false;
    uintptr_t handle = 0;  // the status handle, 0 when none is valid
    uintptr_t next_handle = 0x5E000000;
    std::string folded;
    Backend backend = Backend::files;
    LPHANDLER_FUNCTION handler = nullptr;
    SERVICE_STATUS status = {};

    // Records and reports the status; the last error of a failed report.
    bool report(const SERVICE_STATUS& next) {
        status = next;
        int error = write_file_atomically(service_file(folded, kStatusFile),
                                          status_text(status, handle != 0 ? ::getpid() : 0), 0644);
        if (backend == Backend::systemd && !notify_service_manager(notify_text(status)))
            return false;
        if (error != 0) return fail(win32_error_from_errno(error));
        return true;
    }
};

ServiceProcess& service_process() {
    static auto* instance = new ServiceProcess;  // lives until the process ends
    return *instance;
}

// The pipe on which StartServiceA waits for the dispatcher's word; none when
// the process was not started so (systemd, or by hand).
class StarterPipe {
public:
    StarterPipe() {
        const char* value = std::getenv(kStartedVariable);
        if (!value || !*value) return;
        char* end = nullptr;
        long fd = std::strtol(value, &end, 10);
        struct stat st;
        if (*end != '\0' || fd < 0 || fd > 1024 || ::fstat(static_cast<int>(fd), &st) != 0 ||
            !S_ISFIFO(st.st_mode))
            return;
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        fd_.reset(static_cast<int>(fd));
    }
    // Tells the starter once: 0 for a started service, else the error.
    void tell(DWORD error) {
        if (fd_.get() < 0) return;
        unsigned char word[5] = {static_cast<unsigned char>(error == 0 ? 'R' : 'E')};
        for (int i = 0; i < 4; ++i) word[1 + i] = static_cast<unsigned char>(error >> (8 * i));
        ssize_t n;
        do {
            n = ::write(fd_.get(), word, error == 0 ? 1 : sizeof word);
        } while (n < 0 && errno == EINTR);
        fd_.reset();
    }

private:
    Descriptor fd_;
};

// The claim of the service by this process: the process lock held, and the
// dispatching flag set, until it goes.
class Claim {
public:
    ~Claim() {
        if (!flagged_) return;
        ServiceProcess& p = service_process();
        std::lock_guard<std::mutex> guard(p.lock);
        p.dispatching = false;
        p.handle = 0;
        p.handler = nullptr;
    }

    // False with the last error: 1056 when a dispatcher runs in this process
    // or another process holds the service, 1060 for a service not
    // installed (files back-end).
    bool take(const std::string& folded, Backend backend, DWORD* type) {
        ServiceProcess& p = service_process();
        {
            std::lock_guard<std::mutex> guard(p.lock);
            if (p.dispatching) return fail(ERROR_SERVICE_ALREADY_RUNNING);
            p.dispatching = true;
            p.folded = folded;
            p.backend = backend;
            p.handler = nullptr;
            p.handle = 0;
        }
        flagged_ = true;
        int error = make_folders(services_folder());
        if (error != 0) return fail(win32_error_from_errno(error));
        NamespaceLock services(services_folder(), "");
        if (!services.held()) return fail(ERROR_ACCESS_DENIED);
        if (backend == Backend::files) {
            std::string text;
            if (!read_file(service_file(folded, kRecordFile), &text))
                return fail(ERROR_SERVICE_DOES_NOT_EXIST);
            *type = number_field(parse_lines(text), "type", SERVICE_WIN32_OWN_PROCESS);
        } else {
            error = make_folders(service_folder(folded));
            if (error != 0) return fail(win32_error_from_errno(error));
            *type = SERVICE_WIN32_OWN_PROCESS;
        }
        lock_.reset(::open(service_file(folded, kProcessLockFile).c_str(),
                           O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (lock_.get() < 0) return fail(win32_error_from_errno(errno));
        // A status query of another process takes this lock shared for a
        // moment to learn whether the service runs; a second service process
        // holds it for good. So a refusal is believed only after half a second.
        for (int attempt = 0; retry_flock(lock_.get(), LOCK_EX | LOCK_NB) != 0; ++attempt) {
            if (errno != EWOULDBLOCK || attempt == 100) {
                lock_.reset();
                return fail(ERROR_SERVICE_ALREADY_RUNNING);
            }
            ::usleep(5000);
        }
        return true;
    }

    // At the end: a service deleted while it ran loses its folder (files
    // back-end), before the process lock goes.
    void finish(const std::string& folded, Backend backend) {
        if (backend != Backend::files || lock_.get() < 0) return;
        NamespaceLock services(services_folder(), "");
        struct stat st;
        if (services.held() && ::lstat(service_file(folded, kDeletedFile).c_str(), &st) == 0) {
            std::error_code ignored;
            std::filesystem::remove_all(service_folder(folded), ignored);
        }
    }

private:
    bool flagged_ = false;
    Descriptor lock_;
};

// Runs the handler for one request (the status decides whether it may) and
// answers with the status after it.
void serve(ControlRequest& request) {
    ServiceProcess& p = service_process();
    ControlAnswer answer;
    LPHANDLER_FUNCTION handler;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        handler = p.handler;
        const SERVICE_STATUS& s = p.status;
        DWORD code = request.code();
        if (s.dwCurrentState == SERVICE_STOPPED)
            answer.error = ERROR_SERVICE_NOT_ACTIVE;
        else if (pending(s.dwCurrentState) || !handler)
            answer.error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        else if ((code == SERVICE_CONTROL_STOP && !(s.dwControlsAccepted & SERVICE_ACCEPT_STOP)) ||
                 ((code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE) &&
                  !(s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE)) ||
                 (code == SERVICE_CONTROL_SHUTDOWN &&
                  !(s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN)))
            answer.error = ERROR_INVALID_SERVICE_CONTROL;
    }
    if (answer.error == 0) handler(request.code());
    {
        std::lock_guard<std::mutex> guard(p.lock);
        answer.status = p.status;
    }
    request.answer(answer);
}

// Runs the dispatcher once the service is claimed and its main function's
// entry found.
bool dispatch(const SERVICE_TABLE_ENTRYA& entry, const std::string& folded, Backend backend,
              StarterPipe& starter) {
    Claim claim;
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    if (!claim.take(folded, backend, &type)) return false;
    ControlListener listener;
    if (!listener.open(service_file(folded, kSocketFile))) return false;
    ServiceProcess& p = service_process();
    {
        std::lock_guard<std::mutex> guard(p.lock);
        SERVICE_STATUS starting = {};
        starting.dwServiceType = type;
        starting.dwCurrentState = SERVICE_START_PENDING;
        p.handle = p.next_handle;
        p.next_handle += 4;
        if (!p.report(starting)) return false;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail(win32_error_from_errno(errno));
    Descriptor ended(ends[0]), ending(ends[1]);
    std::string name = entry.lpServiceName;
    std::thread mainThread;
    try {
        mainThread = std::thread([&entry, &name, &ending] {
            char* argv[] = {name.data(), nullptr};
            entry.lpServiceProc(1, argv);
            ending.reset();  // the dispatcher sees the pipe's end
        });
    } catch (const std::system_error&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    starter.tell(0);
    for (;;) {
        pollfd watched[2] = {{ended.get(), POLLIN, 0}, {listener.descriptor(), POLLIN, 0}};
        int ready = ::poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || watched[0].revents != 0) break;
        if (watched[1].revents != 0) {
            if (auto request = listener.accept()) serve(*request);
        }
    }
    mainThread.join();
    {
        std::lock_guard<std::mutex> guard(p.lock);
        p.handle = 0;
        if (p.status.dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS stopped = p.status;
            stopped.dwCurrentState = SERVICE_STOPPED;
            stopped.dwControlsAccepted = 0;
            stopped.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
            stopped.dwServiceSpecificExitCode = 0;
            stopped.dwCheckPoint = 0;
            stopped.dwWaitHint = 0;
            p.report(stopped);
        } else {
            // The same status, without the process that ends.
            write_file_atomically(service_file(folded, kStatusFile), status_text(p.status), 0644);
        }
    }
    claim.finish(folded, backend);
    return true;
}

}  // namespace
}  // namespace tovel::platform::service

using namespace tovel::platform::service;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    if (!serviceTable || !serviceTable[0].lpServiceName) return fail(ERROR_INVALID_PARAMETER);
    const char* marker = std::getenv(kMarkerVariable);
    if (!marker || !*marker) return fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    StarterPipe starter;
    std::string folded;
    Backend backend;
    const SERVICE_TABLE_ENTRYA* entry = nullptr;
    bool ok = check_name(marker, &folded) && choose_backend(&backend);
    for (const SERVICE_TABLE_ENTRYA* e = serviceTable; ok && !entry && e->lpServiceName; ++e) {
        std::string candidate;
        if (e->lpServiceProc && check_name(e->lpServiceName, &candidate) && candidate == folded)
            entry = e;
    }
    if (ok && !entry) ok = fail(ERROR_SERVICE_NOT_IN_EXE);
    if (ok) ok = dispatch(*entry, folded, backend, starter);
    if (!ok) {
        DWORD error = GetLastError();
        starter.tell(error);
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler) {
    if (!handler) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string folded;
    ServiceProcess& p = service_process();
    std::lock_guard<std::mutex> guard(p.lock);
    if (!serviceName || !check_name(serviceName, &folded) || p.handle == 0 || folded != p.folded) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    p.handler = handler;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(p.handle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    ServiceProcess& p = service_process();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.handle == 0 || reinterpret_cast<uintptr_t>(handle) != p.handle)
        return fail(ERROR_INVALID_HANDLE);
    if (!status) return fail(ERROR_INVALID_PARAMETER);
    if (status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
        return fail(ERROR_INVALID_DATA);
    return p.report(*status);
}
