// The narrow (ANSI) forms of calls whose wide forms the layer has. Narrow
// text is UTF-8 here; its bytes map to wide names one to one (see
// host_names.h), so a path that is no UTF-8 still reaches its file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/kernel/host_names.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"
#include "platform/win/module.h"
#include "platform/win/shell.h"

namespace {

std::wstring wide(LPCSTR text) {
    return tovel::platform::wide_from_host_name(text, std::strlen(text));
}

std::string narrow(const wchar_t* text) {
    return tovel::platform::host_name_from_wide(text, std::wcslen(text));
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide(path).c_str(), access, share, security, disposition, flags,
                       templateFile);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size) {
    if (!filename && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    wchar_t path[4 * MAX_PATH];
    DWORD length = GetModuleFileNameW(module, path, sizeof path / sizeof path[0]);
    if (length == 0 || length == sizeof path / sizeof path[0]) return 0;  // its last error stands
    std::string text = narrow(path);
    if (text.size() >= size) {
        if (size) {
            std::copy(text.begin(), text.begin() + (size - 1), filename);
            filename[size - 1] = 0;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(text.begin(), text.end(), filename);
    filename[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

void OutputDebugStringA(LPCSTR text) {
    if (!text) return;
    std::string line(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

BOOL SHGetSpecialFolderPathA(HWND owner, LPSTR path, int csidl, BOOL create) {
    wchar_t folder[MAX_PATH];
    if (!path || FAILED(SHGetFolderPathW(owner, csidl, nullptr, 0, folder))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD attributes = GetFileAttributesW(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!create) return FALSE;  // GetFileAttributesW's error stands
        int made = SHCreateDirectoryExW(owner, folder, nullptr);
        if (made != ERROR_SUCCESS && made != static_cast<int>(ERROR_ALREADY_EXISTS)) {
            SetLastError(static_cast<DWORD>(made));
            return FALSE;
        }
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    std::string text = narrow(folder);
    if (text.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    std::memcpy(path, text.c_str(), text.size() + 1);
    return TRUE;
}

BOOL PathFileExistsA(LPCSTR path) {
    if (!path) return FALSE;
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}
