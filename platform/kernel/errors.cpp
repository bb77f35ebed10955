#include "platform/win/errors.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/kernel/machine.h"

namespace {
thread_local DWORD t_last_error = 0;
// Windows tells a missing folder on the way (3) from a missing last part (2);
// POSIX says ENOENT for both. Telling them apart costs a look at the parent
// folder, which most callers of a failed look-up never need (a restore asks
// after hundreds of thousands of names that are not there yet): the parent
// is kept here and looked at when the code is read, unless another code
// replaced it first.
thread_local std::string t_missing_parent;
thread_local bool t_missing_pending = false;
}  // namespace

DWORD GetLastError() {
    if (t_missing_pending) {
        t_missing_pending = false;
        struct stat st;
        if (::stat(t_missing_parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            t_last_error = ERROR_PATH_NOT_FOUND;
    }
    return t_last_error;
}

void SetLastError(DWORD code) {
    t_missing_pending = false;
    t_last_error = code;
}

namespace tovel::platform {

DWORD win32_error_from_errno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EBUSY:
            return ERROR_BUSY;
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        case EIO:
            return ERROR_IO_DEVICE;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EFBIG:
            return ERROR_FILE_TOO_LARGE;
        case ECANCELED:
            return ERROR_CANCELLED;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EINTR:
            return ERROR_OPERATION_ABORTED;
        case EAGAIN:
            return ERROR_BUSY;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ENXIO:
        case ENODEV:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

void set_last_error_from_errno(int error, const std::string& host_path) {
    SetLastError(win32_error_from_errno(error));
    if (error != ENOENT || host_path.empty()) return;
    size_t end = host_path.size();
    while (end > 1 && host_path[end - 1] == '/') --end;
    size_t slash = host_path.rfind('/', end - 1);
    if (slash == std::string::npos) return;
    t_missing_parent.assign(host_path, 0, slash == 0 ? 1 : slash);
    t_missing_pending = true;
}

}  // namespace tovel::platform
