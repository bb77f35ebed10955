#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <sys/stat.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/kernel/file_times.h"
#include "platform/kernel/host_names.h"
#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/win/errors.h"
#include "platform/win/files.h"

namespace tovel::platform {
namespace {

// NTFS upper-cases names with a fixed table of the BMP's simple mappings,
// whatever the caller's locale. The C.UTF-8 locale, taken once and never the
// process's own, gives those mappings; without it only ASCII is folded.
locale_t upcase_locale() {
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}

wchar_t fold(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - L'a' + L'A');
    if (c < 0x80 || c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return c;
    locale_t locale = upcase_locale();
    return locale ? static_cast<wchar_t>(::towupper_l(static_cast<wint_t>(c), locale)) : c;
}

// A name as NTFS compares it: its UTF-16 units, upper-cased.
std::u16string collation_key(const std::wstring& name) {
    std::u16string key;
    key.reserve(name.size());
    for (wchar_t c : name) {
        auto u = static_cast<char32_t>(fold(c));
        if (u > 0xFFFF && u <= 0x10FFFF) {
            u -= 0x10000;
            key += static_cast<char16_t>(0xD800 + (u >> 10));
            key += static_cast<char16_t>(0xDC00 + (u & 0x3FF));
        } else {
            key += static_cast<char16_t>(u);
        }
    }
    return key;
}

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

// "." and ".." first, then by collation key; names that differ only in case
// (possible here, not on NTFS) keep a fixed order between them.
struct SortedName {
    int rank;
    std::u16string key;
    std::wstring name;
    std::string host;    // the name as the listing gave it
    unsigned char type;  // the listing's d_type
    bool gone = false;   // removed since it was listed
    WIN32_FILE_ATTRIBUTE_DATA status{};
};

bool ntfs_order(const SortedName& a, const SortedName& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.key != b.key) return a.key < b.key;
    return a.name < b.name;
}

// The attributes of an entry whose status cannot be read, from its kind as
// the listing gives it.
DWORD attributes_from_type(unsigned char type) {
    switch (type) {
        case DT_DIR:
            return FILE_ATTRIBUTE_DIRECTORY;
        case DT_LNK:
            return FILE_ATTRIBUTE_REPARSE_POINT;
        case DT_REG:
        case DT_UNKNOWN:
            return FILE_ATTRIBUTE_ARCHIVE;
        default:
            return FILE_ATTRIBUTE_DEVICE;
    }
}

// The entry's attributes, times and size as the listing's folder (open as
// folder, whose host path is path) gives them: its own status, a link's and
// not its target's, read relative to the folder, so that only the entry's
// name is looked up. A whole path too long for the host is looked up whole,
// so that it fails as every other use of that path will. An entry that
// cannot be read keeps the kind the listing gave it (a path too long for the
// host, a folder that may be read but not searched): the name is still given,
// as Windows lists every name of a folder, and the caller meets the error
// when it uses the entry.
void read_status(DIR* folder, const std::string& path, SortedName& entry) {
    struct stat st;
    std::string whole;
    int result;
    if (path.size() + 1 + entry.host.size() >= PATH_MAX) {
        whole = path + "/" + entry.host;
        result = ::lstat(whole.c_str(), &st);
    } else {
        result = ::fstatat(::dirfd(folder), entry.host.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    }
    WIN32_FILE_ATTRIBUTE_DATA& data = entry.status;
    if (result != 0) {
        entry.gone = errno == ENOENT;
        data.dwFileAttributes = attributes_from_type(entry.type);
        return;
    }
    // A link's attributes say whether its target is a folder.
    if (S_ISLNK(st.st_mode) && whole.empty()) whole = path + "/" + entry.host;
    data.dwFileAttributes = attributes_from_stat(st, whole.c_str());
    data.ftCreationTime = filetime_from_timespec(st.st_ctim);
    data.ftLastAccessTime = filetime_from_timespec(st.st_atim);
    data.ftLastWriteTime = filetime_from_timespec(st.st_mtim);
    uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
}

// The entries of one listing, each with the status read while the listing
// was open; it holds no descriptor.
class FindObject : public KernelObject {
public:
    explicit FindObject(std::vector<SortedName> entries) : entries_(std::move(entries)) {}

    // Fills data with the next entry that still exists; false at the end.
    bool next(WIN32_FIND_DATAW* data) {
        while (position_ < entries_.size()) {
            const SortedName& entry = entries_[position_++];
            if (entry.gone) continue;
            const std::wstring& name = entry.name;
            *data = WIN32_FIND_DATAW{};
            data->dwFileAttributes = entry.status.dwFileAttributes;
            data->ftCreationTime = entry.status.ftCreationTime;
            data->ftLastAccessTime = entry.status.ftLastAccessTime;
            data->ftLastWriteTime = entry.status.ftLastWriteTime;
            data->nFileSizeHigh = entry.status.nFileSizeHigh;
            data->nFileSizeLow = entry.status.nFileSizeLow;
            size_t length = std::min<size_t>(name.size(), MAX_PATH - 1);
            std::copy(name.begin(), name.begin() + length, data->cFileName);
            return true;
        }
        return false;
    }

private:
    std::vector<SortedName> entries_;
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
        int error = errno;
        SetLastError(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : win32_error_from_errno(error));
        return INVALID_HANDLE_VALUE;
    }
    bool drive_root = windows_path(host).size() == 3;  // "C:\" has no "." and ".."
    std::vector<SortedName> listed;
    int read_error = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            read_error = errno;
            break;
        }
        size_t bytes = std::char_traits<char>::length(entry->d_name);
        std::wstring name = wide_from_host_name(entry->d_name, bytes);
        if (drive_root && (name == L"." || name == L"..")) continue;
        if (!wildcard_match(match.c_str(), name.c_str())) continue;
        int rank = name == L"." ? 0 : name == L".." ? 1 : 2;
        std::u16string key = collation_key(name);
        listed.push_back({rank, std::move(key), std::move(name), std::string(entry->d_name, bytes),
                          entry->d_type});
    }
    if (read_error != 0) {  // a listing cut short is no listing
        ::closedir(dir);
        SetLastError(win32_error_from_errno(read_error));
        return INVALID_HANDLE_VALUE;
    }
    // The entries are sorted by place, then moved once: each holds three
    // strings, which the sort's swaps would otherwise move many times.
    std::vector<uint32_t> order(listed.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&listed](uint32_t a, uint32_t b) { return ntfs_order(listed[a], listed[b]); });
    std::vector<SortedName> sorted;
    sorted.reserve(listed.size());
    for (uint32_t i : order) sorted.push_back(std::move(listed[i]));
    for (SortedName& entry : sorted) read_status(dir, host, entry);
    ::closedir(dir);
    auto search = std::make_shared<FindObject>(std::move(sorted));
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
