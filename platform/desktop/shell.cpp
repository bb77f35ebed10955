#include "platform/win/shell.h"

#include <sys/stat.h>

#include <cerrno>
#include <cwctype>
#include <memory>
#include <string>

#include "platform/desktop/gui_desktop.h"
#include "platform/fault/fault_mode.h"
#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/spawn.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/process.h"
#include "platform/win/text.h"

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
        mode_t inherited = 0;
        if (::mkdir(part.c_str(), 0777) == 0) {
            if (tovel::platform::inherited_mode(part, true, inherited))
                ::chmod(part.c_str(), inherited);
        } else if (errno != EEXIST) {
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

namespace {

class ShellProcess : public tovel::platform::KernelObject {};

bool ends_in_exe(const std::wstring& path) {
    if (path.size() < 5) return false;
    std::wstring tail = path.substr(path.size() - 4);
    for (auto& c : tail) c = static_cast<wchar_t>(std::towlower(c));
    return tail == L".exe";
}

BOOL shell_fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Opens the file of the Windows path with the checked fields of either form.
BOOL shell_open(const std::wstring& file, bool openVerb, bool others, ULONG mask,
                HINSTANCE& instance, HANDLE& process) {
    process = nullptr;
    const ULONG known = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS;
    if (!openVerb || others || (mask & ~known) != 0 || file.empty())
        return shell_fail(ERROR_INVALID_PARAMETER);
    std::string host;
    if (!tovel::platform::host_path(file.c_str(), host)) return FALSE;
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) {
        tovel::platform::set_last_error_from_errno(errno, host);
        return FALSE;
    }
    if (S_ISDIR(st.st_mode) || !ends_in_exe(file)) return shell_fail(ERROR_NO_ASSOCIATION);
    tovel::platform::SpawnPlan plan;
    plan.arguments = {host};
    plan.own_session = true;  // detached: no terminal of the caller's
    pid_t pid = 0;
    int error = tovel::platform::spawn_reaped(plan, &pid);
    if (error != 0) {
        if (error == ENOEXEC) return shell_fail(ERROR_BAD_EXE_FORMAT);
        tovel::platform::set_last_error_from_errno(error, host);
        return FALSE;
    }
    instance = reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(33));
    if (mask & SEE_MASK_NOCLOSEPROCESS)
        process = tovel::platform::register_object(std::make_shared<ShellProcess>());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info) {
    if (!info || info->cbSize != sizeof *info) return shell_fail(ERROR_INVALID_PARAMETER);
    if (tovel::platform::is_web_address(info->lpFile)) {
        INT_PTR result = tovel::platform::open_web_address(info->lpVerb, info->lpFile);
        info->hInstApp = reinterpret_cast<HINSTANCE>(result);
        info->hProcess = nullptr;
        return result > 32 ? TRUE : FALSE;
    }
    bool openVerb = !info->lpVerb || std::wstring(info->lpVerb) == L"open";
    bool others = info->lpParameters || info->lpDirectory;
    return shell_open(info->lpFile ? info->lpFile : L"", openVerb, others, info->fMask,
                      info->hInstApp, info->hProcess);
}

BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info) {
    if (!info || info->cbSize != sizeof *info) return shell_fail(ERROR_INVALID_PARAMETER);
    bool openVerb = !info->lpVerb || std::string(info->lpVerb) == "open";
    bool others = info->lpParameters || info->lpDirectory;
    std::wstring file;
    if (info->lpFile) {
        int units =
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, info->lpFile, -1, nullptr, 0);
        if (units <= 0) return shell_fail(ERROR_INVALID_PARAMETER);
        file.resize(units);
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, info->lpFile, -1, file.data(), units);
        file.resize(units - 1);
    }
    return shell_open(file, openVerb, others, info->fMask, info->hInstApp, info->hProcess);
}
