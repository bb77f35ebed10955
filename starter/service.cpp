#include "starter/service.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "job/job_manager.h"
#include "starter/agent.h"
#include "starter/exit_event.h"
#include "starter/webserver/mongoose.h"

using tovel::starter::AGENT_CONTROL_REMOVE;
using tovel::starter::AGENT_CONTROL_UPDATE;
using tovel::starter::ExitEvent;
using tovel::starter::host_state;
using tovel::starter::kServiceDisplayName;
using tovel::starter::kServiceName;

namespace {

// The service's status as reported to the service manager; the handler's
// thread and the service's main thread both report, under the lock.
class ServiceStatus {
public:
    void begin(SERVICE_STATUS_HANDLE handle) {
        std::lock_guard<std::mutex> guard(lock_);
        handle_ = handle;
        status_ = {};
        status_.dwServiceType = SERVICE_WIN32;
        status_.dwCurrentState = SERVICE_START_PENDING;
        status_.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    }
    // Reports state, unless STOPPED was reported already (nothing follows it).
    void report(DWORD state, DWORD win32Exit = 0, DWORD specificExit = 0) {
        std::lock_guard<std::mutex> guard(lock_);
        if (!handle_ || status_.dwCurrentState == SERVICE_STOPPED) return;
        status_.dwCurrentState = state;
        status_.dwWin32ExitCode = win32Exit;
        status_.dwServiceSpecificExitCode = specificExit;
        SetServiceStatus(handle_, &status_);
    }

private:
    std::mutex lock_;
    SERVICE_STATUS_HANDLE handle_ = nullptr;
    SERVICE_STATUS status_ = {};
};

ServiceStatus g_status;

// A SIGTERM in the service is the service manager's stop request (systemd
// stops a service so): it runs the stop control on the signal thread, as the
// handler would on the dispatcher's.
void stop_on_signal() { service_control_handler(SERVICE_CONTROL_STOP); }

}  // namespace

int print_usage_and_exit() {
    tovel::web::mg_show_usage_string(stderr);
    return 1;
}

int install_service() {
    char program[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        std::fprintf(stderr, "Failed to get module file name, err=%u.\n", GetLastError());
        return 1;
    }
    // Quoted, so that a path with a blank ("C:\Program Files\...") cannot be read as a
    // shorter program's path followed by arguments.
    const std::string commandLine = std::string("\"") + program + "\"";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        std::fprintf(stderr, "Failed to open service control manager, err=%u.\n", GetLastError());
        return 1;
    }
    SC_HANDLE service = CreateServiceA(
        manager, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    int result = 0;
    if (!service) {
        std::fprintf(stderr, "Failed to create service, err=%u.\n", GetLastError());
        result = 1;
    } else {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

int uninstall_service() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        std::fprintf(stderr, "Failed to open service control manager, err=%u.\n", GetLastError());
        return 1;
    }
    int result = 0;
    SC_HANDLE service = OpenServiceA(manager, kServiceName, DELETE);
    if (!service) {
        std::fprintf(stderr, "Failed to open service, err=%u.\n", GetLastError());
        result = 1;
    } else {
        if (!DeleteService(service)) {
            std::fprintf(stderr, "Failed to delete service, err=%u.\n", GetLastError());
            result = 1;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

int control_service(const char* command) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "Failed to open service control manager, err=%u.\n", error);
        return static_cast<int>(error);
    }
    SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (!service) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "Failed to open service, err=%u.\n", error);
        CloseServiceHandle(manager);
        return static_cast<int>(error);
    }
    DWORD code =
        std::strcmp(command, "--remove") == 0 ? AGENT_CONTROL_REMOVE : AGENT_CONTROL_UPDATE;
    SERVICE_STATUS status;
    int result = 0;
    if (!ControlService(service, code, &status)) {
        std::fprintf(stderr, "Failed to control service(for \"%s\"), error=%u.\n", command,
                     GetLastError());
        result = 1;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

int edit_passwords_file(const char* file, const char* realm, const char* user,
                        const char* password) {
    using namespace tovel::web;
    mg_context* context = mg_start();
    if (!context) return 1;
    mg_set_option(context, "auth_realm", realm);
    int changed = mg_modify_passwords_file(context, file, user, password);
    mg_stop(context);
    return changed == 1 ? 0 : 1;
}

void agent_service_main(DWORD argc, LPSTR* argv) {
    // The loop's queue exists before the handler can post a stop to it.
    tovel::starter::prepare_message_queue();
    host_state().serviceStop.store(stop_on_signal);
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerA(kServiceName, service_control_handler);
    if (!handle) {
        std::fprintf(stderr, "Failed to register service ctrl handler, err=%u.\n", GetLastError());
    } else {
        g_status.begin(handle);
        g_status.report(SERVICE_RUNNING);
        int result = run_agent(static_cast<int>(argc), argv);
        // A run that ended without a stop request (a failed start, a
        // WM_CLOSE) would otherwise leave the service RUNNING for ever.
        if (result == 0)
            g_status.report(SERVICE_STOPPED);
        else
            g_status.report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR,
                            static_cast<DWORD>(result));
    }
}

void service_control_handler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            host_state().lastSignal.store(1);
            g_status.report(SERVICE_STOP_PENDING);
            PostThreadMessageA(host_state().mainThreadId.load(), WM_QUIT, 0, 0);
            // The handle stays open: the run closes it after its end.
            ExitEvent::instance().wait();
            g_status.report(SERVICE_STOPPED);
            break;
        case AGENT_CONTROL_REMOVE:
            JobManagerImpl::instance()->lockAllJobs(true);
            JobManagerImpl::instance()->stopAllJobs(false);
            ExitEvent::instance().set();
            break;
        case AGENT_CONTROL_UPDATE:
            JobManagerImpl::instance()->lockAllJobs(true);
            JobManagerImpl::instance()->pauseAllJobs(false);
            ExitEvent::instance().set();
            break;
        default:
            break;
    }
}

int run_service_dispatcher() {
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(kServiceName), agent_service_main},
        {nullptr, nullptr},
    };
    // The dispatcher returns only once the service's main function has
    // returned: a stop after 130 or 131, which finds the exit event set and
    // reports STOPPED at once, does not end the process inside the agent's
    // shutdown.
    if (!StartServiceCtrlDispatcherA(table)) {
        std::fprintf(stderr, "Failed to start service ctrl dispatcher, err=%u.\n", GetLastError());
        return 1;
    }
    return 0;
}

int dispatch_command_line(int argc, char** argv) {
    if (argc == 2) {
        const char* word = argv[1];
        if (std::strcmp(word, "-h") == 0 || std::strcmp(word, "--help") == 0)
            return print_usage_and_exit();
        if (std::strcmp(word, "-i") == 0) return install_service();
        if (std::strcmp(word, "-u") == 0) return uninstall_service();
        if (std::strcmp(word, "--remove") == 0 || std::strcmp(word, "--update") == 0)
            return control_service(word);
        if (std::strcmp(word, "-d") == 0) return run_agent(argc, argv);
    }
    if (argc == 6 && std::strncmp(argv[1], "-A", 2) == 0)
        return edit_passwords_file(argv[2], argv[3], argv[4], argv[5]);
    return run_service_dispatcher();
}
