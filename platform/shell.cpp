#include "platform/win/shell.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/fault_mode.h"
#include "platform/machine.h"
#include "platform/win/errors.h"

HRESULT SHGetFolderPathW(HWND /*owner*/, int csidl, HANDLE /*token*/, DWORD /*flags*/,
                         LPWSTR path) {
    if (!path) return E_INVALIDARG;
    if ((csidl & ~CSIDL_FLAG_MASK) != CSIDL_COMMON_APPDATA) {
        path[0] = 0;
        return E_INVALIDARG;
    }
    tovel::platform::machine_root();  // lays out the machine, ProgramData included
    const wchar_t folder[] = L"C:\\ProgramData";
    std::copy(std::begin(folder), std::end(folder), path);
    return S_OK;
}

int SHCreateDirectoryExW(HWND /*owner*/, LPCWSTR path, const SECURITY_ATTRIBUTES* /*attributes*/) {
    if (!path) return ERROR_BAD_PATHNAME;
    std::wstring windows(path);
    bool absolute =
        windows.size() >= 3 && windows[1] == L':' && (windows[2] == L'\\' || windows[2] == L'/');
    if (!absolute) return ERROR_BAD_PATHNAME;
    std::string host;
    if (!tovel::platform::host_path(path, host)) return static_cast<int>(GetLastError());
    struct stat st;
    if (::stat(host.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_other();
    // Every folder from the drive down: the drive's own folder is the first part that exists.
    std::string drive = tovel::platform::machine_root() + "/drives/";
    size_t start = drive.size() + 1;
    for (size_t i = start; i <= host.size(); ++i) {
        if (i != host.size() && host[i] != '/') continue;
        std::string part = host.substr(0, i);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            int error = errno;
            tovel::platform::set_last_error_from_errno(error, part);
            return static_cast<int>(GetLastError());
        }
    }
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

int SHCreateDirectory(HWND owner, LPCWSTR path) {
    return SHCreateDirectoryExW(owner, path, nullptr);
}
