// The systemd back-end's manager side: a unit file per service and the
// systemctl command found on PATH.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/spawn.h"
#include "platform/services/service_backend.h"
#include "platform/win/errors.h"

namespace tovel::platform::service {
namespace {

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

std::string unit_folder() {
    const char* folder = std::getenv("TOVEL_SYSTEMD_UNIT_DIR");
    return folder && *folder ? folder : "/etc/systemd/system";
}

std::string unit_name(const std::string& folded) { return folded + ".service"; }

std::string unit_path(const std::string& folded) { return unit_folder() + "/" + unit_name(folded); }

// A word of a unit file in double quotes: back-slash and quote escaped, '%'
// doubled so that no specifier is expanded. (ExecStart expands no '$' in the
// program's path, and Environment= none at all.)
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '%') out += '%';
        out += c;
    }
    return out + "\"";
}

std::string unit_text(const ServiceRecord& r) {
    std::string description;
    for (char c : r.display_name) description += c == '%' ? std::string("%%") : std::string(1, c);
    std::ostringstream out;
    out << "# The service " << r.name << ", recorded by Tovel's service control.\n"
        << "[Unit]\nDescription=" << description << "\n\n[Service]\nType=notify\n"
        << "ExecStart=" << quoted(r.host_binary) << "\n"
        << "Environment=" << quoted(std::string(kMarkerVariable) + "=" + r.name) << " "
        << quoted("TOVEL_SERVICE_BACKEND=systemd") << "\n";
    const char* root = std::getenv("TOVEL_ROOT");
    if (root && *root) out << "Environment=" << quoted(std::string("TOVEL_ROOT=") + root) << "\n";
    out << "\n[Install]\nWantedBy=multi-user.target\n";
    return out.str();
}

// Runs "systemctl arguments...", with its standard output in *output when
// asked for. False with 2 when it cannot be run, 1053 when it fails.
bool systemctl(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    Descriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int ends[2] = {-1, -1};
    if (input.get() < 0 || (output && ::pipe2(ends, O_CLOEXEC) != 0))
        return fail(win32_error_from_errno(errno));
    Descriptor reader(ends[0]), writer(ends[1]);
    SpawnPlan plan;
    plan.arguments = {"systemctl"};
    plan.arguments.insert(plan.arguments.end(), arguments.begin(), arguments.end());
    plan.search_path = true;
    plan.descriptors = {{input.get(), 0}};
    if (output) plan.descriptors.push_back({writer.get(), 1});
    pid_t pid = 0;
    int error = spawn_program(plan, &pid);
    if (error != 0)
        return fail(error == ENOENT ? ERROR_FILE_NOT_FOUND : win32_error_from_errno(error));
    writer.reset();
    if (output) {
        output->clear();
        char chunk[4096];
        for (;;) {
            ssize_t n = ::read(reader.get(), chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            output->append(chunk, static_cast<size_t>(n));
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    return true;
}

// The unit's ActiveState ("active", "inactive", "activating", ...).
bool active_state(const std::string& folded, std::string* state) {
    std::string output;
    if (!systemctl({"show", "-p", "ActiveState", unit_name(folded)}, &output)) return false;
    std::istringstream in(output);
    std::string line;
    state->clear();
    while (std::getline(in, line))
        if (line.rfind("ActiveState=", 0) == 0) *state = line.substr(12);
    return true;
}

class SystemdBackend : public ServiceBackend {
public:
    bool may_create() override {
        std::string folder = unit_folder();
        if (::access(folder.c_str(), W_OK) != 0) return fail(ERROR_ACCESS_DENIED);
        return true;
    }

    bool create(const std::string& folded, const ServiceRecord& record) override {
        std::string path = unit_path(folded);
        std::string temporary = path + ".tmp." + std::to_string(::getpid());
        int error = write_file_atomically(temporary, unit_text(record), 0644);
        if (error != 0) return fail(win32_error_from_errno(error));
        // A link never replaces a unit that is there.
        int linked = ::link(temporary.c_str(), path.c_str());
        error = errno;
        ::unlink(temporary.c_str());
        if (linked != 0)
            return fail(error == EEXIST ? ERROR_SERVICE_EXISTS : win32_error_from_errno(error));
        bool ok = systemctl({"daemon-reload"}) && (record.start_type != SERVICE_AUTO_START ||
                                                   systemctl({"enable", unit_name(folded)}));
        if (!ok) {
            DWORD code = GetLastError();
            ::unlink(path.c_str());
            return fail(code);
        }
        return true;
    }

    bool exists(const std::string& folded) override {
        struct stat st;
        if (::stat(unit_path(folded).c_str(), &st) != 0) return fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return true;
    }

    bool remove(const std::string& folded) override {
        if (!exists(folded) || !systemctl({"disable", unit_name(folded)})) return false;
        if (::unlink(unit_path(folded).c_str()) != 0)
            return fail(errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST
                                        : win32_error_from_errno(errno));
        return systemctl({"daemon-reload"});
    }

    bool start(const std::string& folded) override {
        std::string state;
        if (!exists(folded) || !active_state(folded, &state)) return false;
        if (state == "active" || state == "activating" || state == "reloading")
            return fail(ERROR_SERVICE_ALREADY_RUNNING);
        return systemctl({"start", unit_name(folded)});
    }

    bool control(const std::string& folded, DWORD code, SERVICE_STATUS* status) override {
        if (code != SERVICE_CONTROL_STOP) return control_over_socket(folded, code, status);
        if (!query(folded, status)) return false;
        if (status->dwCurrentState == SERVICE_STOPPED) return fail(ERROR_SERVICE_NOT_ACTIVE);
        if (status->dwCurrentState == SERVICE_STOP_PENDING)
            return fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
        return systemctl({"stop", unit_name(folded)}) && query(folded, status);
    }

    bool query(const std::string& folded, SERVICE_STATUS* status) override {
        std::string state;
        if (!exists(folded) || !active_state(folded, &state)) return false;
        *status = {};
        status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        if (state == "active" || state == "reloading") {
            status->dwCurrentState = SERVICE_RUNNING;
            status->dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        } else if (state == "activating") {
            status->dwCurrentState = SERVICE_START_PENDING;
        } else if (state == "deactivating") {
            status->dwCurrentState = SERVICE_STOP_PENDING;
        } else {
            status->dwCurrentState = SERVICE_STOPPED;
            if (state == "failed") status->dwWin32ExitCode = ERROR_PROCESS_ABORTED;
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<ServiceBackend> make_systemd_backend() {
    return std::make_unique<SystemdBackend>();
}

}  // namespace tovel::platform::service
