#include "job/storage/restore_place.h"

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

// The look of place_free_of_links; known (may be null) holds the folders
// found free of links before, and takes those found now. last gets the
// attributes of path's last part when it is looked at.
bool check_place(const std::wstring& root, const std::wstring& path,
                 std::unordered_set<std::wstring>* known, DWORD* last, bool withLast = true) {
    if (last) *last = INVALID_FILE_ATTRIBUTES;
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
    std::vector<std::wstring> parts = parts_of(path.substr(from, end - from));
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!at.empty() && !is_separator(at.back())) at += L'\\';
        at += parts[i];
        bool folder = i + 1 < parts.size();
        if (!folder && !withLast) break;
        if (folder && known && known->count(at)) continue;
        DWORD attributes = GetFileAttributesW(at.c_str());
        if (!folder && last) *last = attributes;
        if (attributes == INVALID_FILE_ATTRIBUTES) break;  // not there (yet)
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            SetLastError(kLinkInTheWay);
            return false;
        }
        if (folder && known) known->insert(at);
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace

bool place_free_of_links(const std::wstring& root, const std::wstring& path) {
    return check_place(root, path, nullptr, nullptr);
}

void LinkCheck::confine(const std::wstring& root) {
    root_ = root;
    known_.clear();
}

bool LinkCheck::freeOfLinks(const std::wstring& path, DWORD* attributes) {
    return check_place(root_, path, &known_, attributes);
}

bool LinkCheck::wayFreeOfLinks(const std::wstring& path) {
    return check_place(root_, path, &known_, nullptr, false);
}
