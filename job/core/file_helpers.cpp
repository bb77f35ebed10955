#include "job/core/file_helpers.h"

#include <algorithm>
#include <cwchar>
#include <new>

#include "common/appdata_path.h"

namespace {

// Read-only, hidden and system: the attributes that stop a deletion on Windows.
constexpr DWORD kKeepAfterClearing = 0xFFFFFFF8u;

DWORD finish(DWORD code) {
    SetLastError(code);
    return code;
}

DWORD last_error_or(DWORD fallback) {
    DWORD code = GetLastError();
    return code ? code : fallback;
}

bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool is_folder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes a link itself: RemoveDirectoryW for one that points to a folder,
// DeleteFileW for any other.
DWORD remove_link(const wchar_t* path, DWORD attributes) {
    BOOL done = is_folder(attributes) ? RemoveDirectoryW(path) : DeleteFileW(path);
    return done ? 0 : last_error_or(ERROR_ACCESS_DENIED);
}

// Deletes a file whose attributes are known, clearing those that would stop
// it and putting them back when the deletion fails.
DWORD delete_file(const wchar_t* path, DWORD attributes) {
    if (is_link(attributes)) return remove_link(path, attributes);
    SetFileAttributesW(path, attributes & kKeepAfterClearing);
    if (DeleteFileW(path)) return 0;
    DWORD code = last_error_or(ERROR_ACCESS_DENIED);
    SetFileAttributesW(path, attributes);
    return code;
}

// Removes an empty folder the same way.
DWORD remove_folder(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        SetFileAttributesW(path, attributes & kKeepAfterClearing);
    if (RemoveDirectoryW(path)) return 0;
    DWORD code = last_error_or(ERROR_ACCESS_DENIED);
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path, attributes);
    return code;
}

DWORD remove_tree(const std::wstring& folder, DWORD mask, bool continueOnError) {
    std::wstring pattern;
    try {
        path_join(folder.c_str(), L"*", pattern);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return last_error_or(ERROR_PATH_NOT_FOUND);
    DWORD failure = 0;
    do {
        const wchar_t* name = entry.cFileName;
        if (!wcscmp(name, L".") || !wcscmp(name, L"..")) continue;
        DWORD attributes = entry.dwFileAttributes;
        if (!(attributes & mask)) continue;
        std::wstring full;
        try {
            path_join(folder.c_str(), name, full);
        } catch (const std::bad_alloc&) {
            failure = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        if (is_folder(attributes) && !is_link(attributes)) {
            DWORD code = remove_tree(full, mask, continueOnError);
            if (code && !continueOnError) {
                failure = code;
                break;
            }
        } else if (delete_file(full.c_str(), attributes) && !continueOnError) {
            failure = ERROR_INVALID_FUNCTION;
            break;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    if (failure) return failure;
    return remove_folder(folder.c_str());
}

// An empty path names no file (the layer would read it as the current folder).
DWORD attributes_of(const wchar_t* path) {
    return path && *path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool fileExists(const wchar_t* path) {
    DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !is_folder(attributes);
}

bool dirExists(const wchar_t* path) {
    DWORD attributes = attributes_of(path);
    return attributes != INVALID_FILE_ATTRIBUTES && is_folder(attributes);
}

std::wstring parentFolder(const std::wstring& path) {
    size_t end = path.find_last_not_of(L'\\');
    if (end == std::wstring::npos) return std::wstring();
    size_t cut = path.rfind(L'\\', end);
    if (cut == std::wstring::npos) return std::wstring();
    size_t last = path.find_last_not_of(L'\\', cut);
    if (last == std::wstring::npos) return std::wstring();
    size_t lead = path.find_first_not_of(L'\\');
    std::wstring out = path.substr(0, lead);
    for (size_t i = lead; i <= last; ++i)
        if (path[i] != L'\\' || path[i - 1] != L'\\') out += path[i];
    return out;
}

std::vector<std::wstring> splitPath(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

size_t countCommonComponents(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b,
                             size_t limit) {
    size_t bound = std::min({limit, a.size(), b.size()});
    size_t count = 0;
    while (count < bound && a[count] == b[count]) ++count;
    return count;
}

std::wstring commonBasePath(const std::vector<std::wstring>& paths) {
    if (paths.empty()) return std::wstring();
    const std::wstring& first_path = paths.front();
    std::vector<std::wstring> first = splitPath(first_path);
    bool names_folder =
        !first_path.empty() && (first_path.back() == L'\\' || first_path.back() == L'/');
    if (!names_folder && first.size() > 1) first.pop_back();
    size_t common = first.size();
    size_t smallest = first.size();
    for (size_t i = 1; i < paths.size(); ++i) {
        std::vector<std::wstring> other = splitPath(paths[i]);
        common = countCommonComponents(first, other, common);
        smallest = std::min(smallest, other.size());
    }
    if (common >= smallest && smallest >= 2) common = smallest - 1;
    std::wstring out;
    for (size_t i = 0; i < common; ++i) {
        if (i) out += L'\\';
        out += first[i];
    }
    return out;
}

std::wstring snapshotPath(const std::wstring& path, const std::wstring& volumePath,
                          const std::wstring& shadowPath) {
    if (volumePath.empty() || shadowPath.empty()) return path;
    std::wstring out;
    out.reserve(MAX_PATH);
    out = shadowPath;
    if (path.size() > volumePath.size()) {
        std::wstring rest = path.substr(volumePath.size());
        if (!rest.empty() && rest.front() == L'\\') rest.erase(0, 1);
        if (!rest.empty() && rest.back() == L'\\') rest.pop_back();
        if (out.back() != L'\\') out += L'\\';
        out += rest;
    }
    return out;
}

DWORD rm_rf(const wchar_t* path, BOOL continueOnError) {
    if (!path || !*path) return finish(ERROR_INVALID_PARAMETER);
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return finish(last_error_or(ERROR_FILE_NOT_FOUND));
    if (is_link(attributes)) return finish(remove_link(path, attributes));
    if (!is_folder(attributes)) return rmfile_f(path);
    return rmdir_rf(path, 0xFFFFFFFFu, continueOnError);
}

DWORD rmdir_rf(const wchar_t* path, DWORD attributeMask, BOOL continueOnError) {
    if (!path || !*path) return finish(ERROR_PATH_NOT_FOUND);
    DWORD attributes = GetFileAttributesW(path);
    // A link given as the folder is removed as a link, never emptied.
    if (attributes != INVALID_FILE_ATTRIBUTES && is_link(attributes))
        return finish(remove_link(path, attributes));
    try {
        return finish(remove_tree(path, attributeMask, continueOnError != FALSE));
    } catch (const std::bad_alloc&) {
        return finish(ERROR_OUTOFMEMORY);
    }
}

DWORD rmfile_f(const wchar_t* path) {
    if (!path || !*path) return finish(ERROR_INVALID_PARAMETER);
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return finish(last_error_or(ERROR_FILE_NOT_FOUND));
    return finish(delete_file(path, attributes));
}

DWORD remove_own_file(const wchar_t* path) {
    if (!path || !*path) return finish(ERROR_INVALID_PARAMETER);
    if (DeleteFileW(path)) return finish(0);
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return finish(0);
    if (code != ERROR_ACCESS_DENIED || !fileExists(path)) return finish(code);
    return rmfile_f(path);
}

DWORD mkdir_p(const wchar_t* path) {
    if (!path || !*path) return finish(ERROR_INVALID_PARAMETER);
    try {
        std::wstring whole(path);
        size_t position = 0;
        if (whole[0] == L'\\' || (whole.size() > 1 && whole[1] == L'\\')) {
            // "\\server\share": the server name is a prefix, never a folder to make.
            position = whole.find_first_not_of(L'\\');
            if (position == std::wstring::npos) return finish(0);
            position = whole.find(L'\\', position);
            if (position == std::wstring::npos) return finish(0);
        }
        while (true) {
            size_t start = whole.find_first_not_of(L'\\', position);
            if (start == std::wstring::npos) break;
            size_t end = whole.find(L'\\', start);
            if (end == std::wstring::npos) end = whole.size();
            std::wstring prefix = whole.substr(0, end);
            DWORD attributes = GetFileAttributesW(prefix.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES) {
                if (!is_folder(attributes)) return finish(ERROR_FILE_EXISTS);
            } else if (!CreateDirectoryW(prefix.c_str(), nullptr)) {
                DWORD code = last_error_or(ERROR_PATH_NOT_FOUND);
                if (code != ERROR_ALREADY_EXISTS) return finish(code);
            }
            position = end;
        }
        return finish(0);
    } catch (const std::bad_alloc&) {
        return finish(ERROR_NOT_ENOUGH_MEMORY);
    }
}
