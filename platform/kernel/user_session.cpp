#include "platform/kernel/user_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>

#include "platform/kernel/machine.h"
#include "platform/kernel/object_names.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

// Makes path a folder of the calling user with mode; true when it is one.
bool own_folder(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) == 0) {
        if (::chmod(path.c_str(), mode) == 0) return true;
    } else if (errno != EEXIST) {
        set_last_error_from_errno(errno, path);
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        set_last_error_from_errno(errno, path);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

}  // namespace

std::string user_session_folder() {
    std::string sessions = machine_root() + "/sessions";
    if (::mkdir(sessions.c_str(), 01777) == 0) {
        ::chmod(sessions.c_str(), 01777);
    } else if (errno != EEXIST) {
        set_last_error_from_errno(errno, sessions);
        return {};
    }
    std::string folder = sessions + "/" + std::to_string(::geteuid());
    return own_folder(folder, 0700) ? folder : std::string();
}

std::string user_session_subfolder(const char* name) {
    std::string session = user_session_folder();
    if (session.empty()) return {};
    std::string folder = session + "/" + name;
    return own_folder(folder, 0700) ? folder : std::string();
}

bool named_object_place(const wchar_t* name, std::string& folder, std::string& key) {
    key = object_key(name);
    if (std::wcsncmp(name, L"Global\\", 7) == 0) {
        folder = machine_root() + "/objects";
        return true;
    }
    folder = user_session_subfolder("objects");
    return !folder.empty();
}

}  // namespace tovel::platform
