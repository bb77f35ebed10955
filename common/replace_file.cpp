#include "common/replace_file.h"

#include "platform/win32.h"

namespace {

// Owner read and write, nothing for anyone else.
const wchar_t kPrivateAccess[] = L"D:P(A;;FRFW;;;OW)";

}  // namespace

bool replace_file(const std::wstring& path, const std::string& text, bool* opened,
                  bool private_file) {
    if (opened) *opened = false;
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring temporary = path + L".new-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(GetCurrentThreadId());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (private_file && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                            kPrivateAccess, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    // A leftover of a killed writer is removed first: the access of a new
    // file is set only when it is made.
    DeleteFileW(temporary.c_str());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              descriptor ? &security : nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD made = GetLastError();
    if (descriptor) LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        SetLastError(made);
        return false;
    }
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
