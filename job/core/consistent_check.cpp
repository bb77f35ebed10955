#include "job/core/consistent_check.h"

#include <cwchar>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "platform/win32.h"

bool consistentcheck_path(std::wstring& out, const wchar_t* tail) {
    std::wstring path;
    if (!common_appdata_path(path, nullptr)) return false;
    path += tovel::kDataSubFolder;
    path += L"\\consistentcheck\\";
    if (tail) path += tail[0] == L'\\' ? tail + 1 : tail;
    out.swap(path);
    return true;
}

int remove_folder_tree(const wchar_t* pattern) {
    if (!pattern) return 0;
    std::wstring base(pattern);
    size_t star = base.rfind(L'*');
    if (star == std::wstring::npos || base.size() < 2) return 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        const wchar_t* name = entry.cFileName;
        if (!wcscmp(name, L".") || !wcscmp(name, L"..")) continue;
        std::wstring full = base;
        full.replace(star, 1, name);
        DWORD attributes = entry.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A link is removed itself; whatever it points to stays.
            BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(full.c_str())
                                                                   : DeleteFileW(full.c_str());
            if (!removed && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                FindClose(search);
                return 0;
            }
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // Not empty: empty it first; its last step removes it.
            if (!RemoveDirectoryW(full.c_str())) remove_folder_tree((full + L"\\*").c_str());
        } else if (!DeleteFileW(full.c_str())) {
            FindClose(search);
            return 0;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::wstring folder = base.substr(0, base.size() - 2);
    return RemoveDirectoryW(folder.c_str()) ? 1 : 0;
}

int consistentcheckfreeall() {
    std::wstring pattern;
    if (!consistentcheck_path(pattern, L"\\*")) return 0;
    return remove_folder_tree(pattern.c_str());
}
