#include "platform/services/service_common.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/machine.h"
#include "platform/win/errors.h"

namespace tovel::platform::service {

const char kRecordFile[] = "service";
const char kDeletedFile[] = "deleted";
const char kStatusFile[] = "status";
const char kOutputFile[] = "output.log";
const char kProcessLockFile[] = "process.lock";
const char kSocketFile[] = "control.sock";
const char kMarkerVariable[] = "TOVEL_SERVICE_PROCESS";
const char kStartedVariable[] = "TOVEL_SERVICE_STARTED_FD";

bool choose_backend(Backend* out) {
    const char* setting = std::getenv("TOVEL_SERVICE_BACKEND");
    if (setting && *setting) {
        if (std::strcmp(setting, "files") == 0) {
            *out = Backend::files;
        } else if (std::strcmp(setting, "systemd") == 0) {
            *out = Backend::systemd;
        } else {
            SetLastError(ERROR_NOT_SUPPORTED);
            return false;
        }
        return true;
    }
    const char* root = std::getenv("TOVEL_ROOT");
    struct stat st;
    bool systemd = ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
    *out = (root && *root) || !systemd ? Backend::files : Backend::systemd;
    return true;
}

bool check_name(const char* name, std::string* folded) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    size_t length = std::strlen(name);
    bool ok = length > 0 && length <= 256 && name[0] != '.';
    std::string out;
    for (size_t i = 0; ok && i < length; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        out += c;
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    *folded = std::move(out);
    return true;
}

std::string services_folder() { return machine_root() + "/services"; }

std::string service_folder(const std::string& folded) { return services_folder() + "/" + folded; }

std::string service_file(const std::string& folded, const char* file) {
    return service_folder(folded) + "/" + file;
}

int make_folders(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return errno;
        }
    }
    return 0;
}

int write_file_atomically(const std::string& path, const std::string& text, mode_t mode) {
    std::string temporary = path + ".tmp." + std::to_string(::getpid());
    Descriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0) return errno;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::unlink(temporary.c_str());
            return error;
        }
        done += static_cast<size_t>(n);
    }
    if (::fchmod(fd.get(), mode) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return error;
    }
    return 0;
}

bool read_file(const std::string& path, std::string* text) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    text->clear();
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text->append(chunk, static_cast<size_t>(n));
    }
}

std::map<std::string, std::string> parse_lines(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos)
            fields[line] = "";
        else
            fields[line.substr(0, space)] = line.substr(space + 1);
    }
    return fields;
}

DWORD number_field(const std::map<std::string, std::string>& fields, const char* key, DWORD def) {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return def;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(it->second.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFul) return def;
    return static_cast<DWORD>(value);
}

std::string status_text(const SERVICE_STATUS& s, pid_t process) {
    std::ostringstream out;
    out << "type " << s.dwServiceType << "\nstate " << s.dwCurrentState << "\ncontrols "
        << s.dwControlsAccepted << "\nwin32_exit_code " << s.dwWin32ExitCode
        << "\nspecific_exit_code " << s.dwServiceSpecificExitCode << "\ncheck_point "
        << s.dwCheckPoint << "\nwait_hint " << s.dwWaitHint << "\n";
    if (process > 0) out << "process " << process << "\n";
    return out.str();
}

SERVICE_STATUS parse_status(const std::string& text) {
    auto fields = parse_lines(text);
    SERVICE_STATUS s = {};
    s.dwServiceType = number_field(fields, "type", SERVICE_WIN32_OWN_PROCESS);
    s.dwCurrentState = number_field(fields, "state", SERVICE_STOPPED);
    s.dwControlsAccepted = number_field(fields, "controls", 0);
    s.dwWin32ExitCode = number_field(fields, "win32_exit_code", 0);
    s.dwServiceSpecificExitCode = number_field(fields, "specific_exit_code", 0);
    s.dwCheckPoint = number_field(fields, "check_point", 0);
    s.dwWaitHint = number_field(fields, "wait_hint", 0);
    return s;
}

bool process_running(const std::string& folded) {
    Descriptor fd(::open(service_file(folded, kProcessLockFile).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    // flock locks belong to the open file: this one conflicts with the
    // service process's even inside that process.
    if (retry_flock(fd.get(), LOCK_SH | LOCK_NB) == 0) return false;
    return errno == EWOULDBLOCK;
}

}  // namespace tovel::platform::service
