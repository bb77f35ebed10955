#include "job/storage/restore_place.h"

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The look of place_free_of_links; known (may be null) holds the folders
// found free of links before, and takes those found now. last gets the
// attributes of path's last part when it is looked at. A folder is known only
// once every folder above it was found free of links since the last forget,
// so a known way needs no look at its folders.
bool check_place(const std::wstring& root, const std::wstring& path,
                 std::unordered_set<std::wstring>* known, DWORD* last, bool withLast = true) {
    if (last) *last = INVALID_FILE_ATTRIBUTES;
    size_t end = path.size();
    while (end > 0 && is_separator(path[end - 1])) --end;
    // The last part begins at cut.
    size_t cut = end;
    while (cut > 0 && !is_separator(path[cut - 1])) --cut;
    std::wstring at;
    size_t from = 0;
    if (root.empty()) {
        // The place itself: everything before its last part is taken as it is.
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
        if (cut < from) cut = from;
    }
    // Calls each(start, length) for the nonempty parts of path in [begin, stop);
    // false when each does.
    auto parts = [&path](size_t begin, size_t stop, auto&& each) {
        for (size_t start = begin; start < stop;) {
            size_t next = start;
            while (next < stop && !is_separator(path[next])) ++next;
            if (next > start && !each(start, next - start)) return false;
            start = next + 1;
        }
        return true;
    };
    auto append = [&path](std::wstring& text, size_t start, size_t length) {
        if (!text.empty() && !is_separator(text.back())) text += L'\\';
        text.append(path, start, length);
    };
    std::wstring way = at;
    parts(from, cut, [&](size_t start, size_t length) {
        append(way, start, length);
        return true;
    });
    if (way.size() > at.size() && !(known && known->count(way))) {
        bool absent = false;
        bool clear = parts(from, cut, [&](size_t start, size_t length) {
            append(at, start, length);
            if (known && known->count(at)) return true;
            DWORD attributes = GetFileAttributesW(at.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                absent = true;  // not there (yet): nothing below it is either
                return false;
            }
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
            if (known) known->insert(at);
            return true;
        });
        if (absent) {
            SetLastError(ERROR_SUCCESS);
            return true;
        }
        if (!clear) {
            SetLastError(kLinkInTheWay);
            return false;
        }
    }
    if (withLast && cut < end) {
        append(way, cut, end - cut);
        DWORD attributes = GetFileAttributesW(way.c_str());
        if (last) *last = attributes;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            SetLastError(kLinkInTheWay);
            return false;
        }
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
