#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/file_times.h"
#include "platform/host_names.h"
#include "platform/kernel_object.h"
#include "platform/machine.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"

namespace tovel::platform {
namespace {

wchar_t fold(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

// Windows wildcard match of a name against a pattern, without regard to case.
bool wildcard_match(const wchar_t* pattern, const wchar_t* name) {
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name) {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' || (*pattern && fold(*pattern) == fold(*name))) {
            ++pattern, ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    // "*.*" matches names without a dot too, as on Windows.
    if (pattern[0] == L'.' && pattern[1] == L'*' && pattern[2] == 0) return true;
    return *pattern == 0;
}

bool ntfs_order(const std::wstring& a, const std::wstring& b) {
    auto rank = [](const std::wstring& n) { return n == L"." ? 0 : n == L".." ? 1 : 2; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        wchar_t x = fold(a[i]), y = fold(b[i]);
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

class FindObject : public KernelObject {
public:
    FindObject(std::string folder, std::vector<std::wstring> names)
        : folder_(std::move(folder)), names_(std::move(names)) {}

    // Fills data with the next entry that can still be read; false at the end.
    bool next(WIN32_FIND_DATAW* data) {
        while (position_ < names_.size()) {
            const std::wstring& name = names_[position_++];
            std::string host = folder_ + "/" + host_name_from_wide(name.data(), name.size());
            struct stat st;
            if (::lstat(host.c_str(), &st) != 0) continue;  // removed meanwhile
            *data = WIN32_FIND_DATAW{};
            data->dwFileAttributes = attributes_from_stat(st, host.c_str());
            data->ftCreationTime = filetime_from_timespec(st.st_ctim);
            data->ftLastAccessTime = filetime_from_timespec(st.st_atim);
            data->ftLastWriteTime = filetime_from_timespec(st.st_mtim);
            uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
            data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
            data->nFileSizeLow = static_cast<DWORD>(size);
            size_t length = std::min<size_t>(name.size(), MAX_PATH - 1);
            std::copy(name.begin(), name.begin() + length, data->cFileName);
            return true;
        }
        return false;
    }

private:
    std::string folder_;
    std::vector<std::wstring> names_;
    size_t position_ = 0;
};

}  // namespace
}  // namespace tovel::platform

using namespace tovel::platform;

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    if (!pattern || !data || !*pattern) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring whole(pattern);
    size_t cut = whole.find_last_of(L"\\/");
    std::wstring folder = cut == std::wstring::npos ? L"." : whole.substr(0, cut + 1);
    std::wstring match = cut == std::wstring::npos ? whole : whole.substr(cut + 1);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
    if (match.empty()) {  // "C:\dir\" names no entry
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string host;
    if (!host_path(folder.c_str(), host)) return INVALID_HANDLE_VALUE;
    DIR* dir = ::opendir(host.c_str());
    if (!dir) {
        SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool drive_root = windows_path(host).size() == 3;  // "C:\" has no "." and ".."
    std::vector<std::wstring> names;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        std::wstring name = wide_from_host_name(entry->d_name, std::char_traits<char>::length(entry->d_name));
        if (drive_root && (name == L"." || name == L"..")) continue;
        if (wildcard_match(match.c_str(), name.c_str())) names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), ntfs_order);
    auto search = std::make_shared<FindObject>(host, std::move(names));
    if (!search->next(data)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return register_object(search);
}

BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    auto object = lookup<FindObject>(search);
    if (!object) return FALSE;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->next(data)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE search) {
    if (!lookup<FindObject>(search)) return FALSE;
    return close_object(search) ? TRUE : FALSE;
}
