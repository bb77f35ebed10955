// The files back-end's manager side: service records and status files under
// the root, and service processes started as children. Every change of a
// record, and the start of a service process, happens under the services'
// lock (the file .lock in the services folder), which the service process's
// dispatcher also takes while it claims the service.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/host_names.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/spawn.h"
#include "platform/services/service_backend.h"
#include "platform/services/service_channel.h"
#include "platform/win/errors.h"

namespace tovel::platform::service {
namespace {

constexpr int kStartWaitMs = 30000;

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void remove_folder(const std::string& folded) {
    std::error_code ignored;
    std::filesystem::remove_all(service_folder(folded), ignored);
}

std::string record_text(const ServiceRecord& r) {
    std::ostringstream out;
    out << "name " << r.name << "\ndisplay_name " << r.display_name << "\ntype " << r.type
        << "\nstart_type " << r.start_type << "\nerror_control " << r.error_control
        << "\nbinary_path " << r.binary_path << "\n";
    return out.str();
}

// The record's fields; false with 1060 (none) or 1072 (marked for deletion).
bool read_record(const std::string& folded, std::map<std::string, std::string>* fields) {
    std::string text;
    if (read_file(service_file(folded, kRecordFile), &text)) {
        *fields = parse_lines(text);
        return true;
    }
    if (path_exists(service_file(folded, kDeletedFile)) && process_running(folded))
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    return fail(ERROR_SERVICE_DOES_NOT_EXIST);
}

// The services' lock, held for a scope.
class ServicesLock {
public:
    ServicesLock() : lock_(services_folder(), "") {}
    bool held() const { return lock_.held(); }

private:
    NamespaceLock lock_;
};

// Waits for the word of a starting service process's dispatcher.
bool wait_started(int fd, pid_t pid) {
    unsigned char word[5];
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
    while (got < sizeof word) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p = {fd, POLLIN, 0};
        int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            ::kill(pid, SIGKILL);
            return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        ssize_t n = ::read(fd, word + got, sizeof word - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (word[0] == 'R') return true;
    }
    if (got == sizeof word && word[0] == 'E') {
        DWORD error = 0;
        for (int i = 0; i < 4; ++i) error |= static_cast<DWORD>(word[1 + i]) << (8 * i);
        return fail(error);
    }
    return fail(ERROR_PROCESS_ABORTED);
}

class FilesBackend : public ServiceBackend {
public:
    bool may_create() override {
        std::string folder = services_folder();
        if (make_folders(folder) != 0 || ::access(folder.c_str(), W_OK) != 0)
            return fail(ERROR_ACCESS_DENIED);
        return true;
    }

    bool create(const std::string& folded, const ServiceRecord& record) override {
        ServicesLock lock;
        if (!lock.held()) return fail(ERROR_ACCESS_DENIED);
        if (path_exists(service_file(folded, kRecordFile))) return fail(ERROR_SERVICE_EXISTS);
        if (path_exists(service_file(folded, kDeletedFile))) {
            if (process_running(folded)) return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
            remove_folder(folded);  // its process ended without taking it away
        }
        SERVICE_STATUS stopped = {};
        stopped.dwServiceType = record.type;
        stopped.dwCurrentState = SERVICE_STOPPED;
        int error = make_folders(service_folder(folded));
        if (error == 0)
            error = write_file_atomically(service_file(folded, kStatusFile), status_text(stopped),
                                          0644);
        if (error == 0)
            error =
                write_file_atomically(service_file(folded, kRecordFile), record_text(record), 0644);
        if (error != 0) {
            remove_folder(folded);
            return fail(win32_error_from_errno(error));
        }
        return true;
    }

    bool exists(const std::string& folded) override {
        std::map<std::string, std::string> fields;
        return read_record(folded, &fields) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    }

    bool remove(const std::string& folded) override {
        ServicesLock lock;
        if (!lock.held()) return fail(ERROR_ACCESS_DENIED);
        std::map<std::string, std::string> fields;
        if (!read_record(folded, &fields)) return false;
        if (!process_running(folded)) {
            remove_folder(folded);
            return true;
        }
        // The running process takes the folder away when it ends.
        if (::rename(service_file(folded, kRecordFile).c_str(),
                     service_file(folded, kDeletedFile).c_str()) != 0)
            return fail(win32_error_from_errno(errno));
        return true;
    }

    bool start(const std::string& folded) override {
        Descriptor started;
        pid_t pid = 0;
        {
            ServicesLock lock;
            if (!lock.held()) return fail(ERROR_ACCESS_DENIED);
            std::map<std::string, std::string> fields;
            if (!read_record(folded, &fields)) return false;
            if (process_running(folded)) return fail(ERROR_SERVICE_ALREADY_RUNNING);
            if (number_field(fields, "start_type", 0) == SERVICE_DISABLED)
                return fail(ERROR_SERVICE_DISABLED);
            std::string host;
            std::string program = program_of(fields["binary_path"]);
            std::wstring binary = wide_from_host_name(program.data(), program.size());
            if (!host_path(binary.c_str(), host)) return false;
            if (!spawn(folded, fields["name"], host, &started, &pid)) return false;
        }
        return wait_started(started.get(), pid);
    }

    bool control(const std::string& folded, DWORD code, SERVICE_STATUS* status) override {
        // A socket path that cannot work fails first, whatever the state.
        sockaddr_un address;
        socklen_t length;
        if (!socket_address(service_file(folded, kSocketFile), false, "service control", &address,
                            &length))
            return false;
        // Refusals that the status file already tells are given without
        // waiting for a handler that may be busy; the service checks again.
        if (!query(folded, status)) return false;
        DWORD state = status->dwCurrentState;
        if (state == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
        if (state != SERVICE_RUNNING && state != SERVICE_PAUSED)
            return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        if (code == SERVICE_CONTROL_STOP && !(status->dwControlsAccepted & SERVICE_ACCEPT_STOP))
            return fail(ERROR_INVALID_SERVICE_CONTROL);
        if ((code == SERVICE_CONTROL_PAUSE || code == SERVICE_CONTROL_CONTINUE) &&
            !(status->dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE))
            return fail(ERROR_INVALID_SERVICE_CONTROL);
        return control_over_socket(folded, code, status);
    }

    bool query(const std::string& folded, SERVICE_STATUS* status) override {
        std::map<std::string, std::string> fields;
        if (!read_record(folded, &fields) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
            return false;
        std::string text;
        read_file(service_file(folded, kStatusFile), &text);
        *status = parse_status(text);
        status->dwServiceType = number_field(fields, "type", status->dwServiceType);
        if (!process_running(folded)) {
            if (status->dwCurrentState != SERVICE_STOPPED) {
                status->dwCurrentState = SERVICE_STOPPED;
                status->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
                status->dwServiceSpecificExitCode = 0;
            }
            status->dwControlsAccepted = 0;
            status->dwCheckPoint = 0;
            status->dwWaitHint = 0;
        }
        return true;
    }

private:
    // Starts the service's program: standard input from /dev/null, output
    // and error appended to the service's log, the start pipe as descriptor 3.
    static bool spawn(const std::string& folded, const std::string& name, const std::string& host,
                      Descriptor* started, pid_t* pid) {
        Descriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        Descriptor output(::open(service_file(folded, kOutputFile).c_str(),
                                 O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        int ends[2];
        if (input.get() < 0 || output.get() < 0 || ::pipe2(ends, O_CLOEXEC) != 0)
            return fail(win32_error_from_errno(errno));
        started->reset(ends[0]);
        Descriptor writer(ends[1]);
        SpawnPlan plan;
        plan.arguments = {host};
        plan.environment = environment_without({kMarkerVariable, kStartedVariable});
        plan.environment->push_back(std::string(kMarkerVariable) + "=" + name);
        plan.environment->push_back(std::string(kStartedVariable) + "=3");
        plan.own_session = true;
        plan.folder = "/";
        plan.descriptors = {
            {input.get(), 0}, {output.get(), 1}, {output.get(), 2}, {writer.get(), 3}};
        int error = spawn_reaped(plan, pid);
        if (error == 0) return true;
        if (error == ENOEXEC) return fail(ERROR_BAD_EXE_FORMAT);
        set_last_error_from_errno(error, host);
        return false;
    }
};

}  // namespace

std::unique_ptr<ServiceBackend> make_files_backend() { return std::make_unique<FilesBackend>(); }

bool control_over_socket(const std::string& folded, DWORD code, SERVICE_STATUS* status) {
    ControlAnswer answer;
    if (!send_control(service_file(folded, kSocketFile), code, &answer)) return false;
    *status = answer.status;
    if (answer.error != 0) return fail(answer.error);
    return true;
}

}  // namespace tovel::platform::service
