#include "common/replace_file.h"

#include "platform/win32.h"

bool replace_file(const std::wstring& path, const std::string& text, bool* opened) {
    if (opened) *opened = false;
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring temporary = path + L".new-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetCurrentThreadId());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (opened) *opened = true;
    DWORD written = 0;
    DWORD error = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        error = GetLastError();
    else if (written != text.size())
        error = ERROR_DISK_FULL;  // a short write without a reason
    else if (!FlushFileBuffers(file))
        error = GetLastError();
    if (!CloseHandle(file) && error == 0) error = GetLastError();
    if (error == 0 && !MoveFileExW(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(temporary.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}
