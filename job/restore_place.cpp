#include "job/restore_place.h"

#include <vector>

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The nonempty parts of path between separators of either kind.
std::vector<std::wstring> parts_of(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = start;
        while (end < path.size() && !is_separator(path[end])) ++end;
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool place_free_of_links(const std::wstring& root, const std::wstring& path) {
    size_t end = path.size();
    while (end > 0 && is_separator(path[end - 1])) --end;
    std::wstring at;
    size_t from = 0;
    if (root.empty()) {
        // The place itself: everything before its last part is taken as it is.
        size_t cut = end;
        while (cut > 0 && !is_separator(path[cut - 1])) --cut;
        at = path.substr(0, cut);
        from = cut;
    } else {
        size_t length = root.size();
        while (length > 0 && is_separator(root[length - 1])) --length;
        if (end <= length || path.compare(0, length, root, 0, length) != 0 ||
            !is_separator(path[length])) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        at = root.substr(0, length) + L"\\";
        from = length + 1;
    }
    for (const std::wstring& part : parts_of(path.substr(from, end - from))) {
        if (!at.empty() && !is_separator(at.back())) at += L'\\';
        at += part;
        DWORD attributes = GetFileAttributesW(at.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) break;  // not there (yet)
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            SetLastError(kLinkInTheWay);
            return false;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}
