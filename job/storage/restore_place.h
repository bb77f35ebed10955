// Whether a restore's write at a place stays at that place: a link (a
// reparse point: a symbolic link or a junction) at the place or in a folder
// on the way would take the write somewhere else, and the service that
// writes may do so where the user who placed the link could not. A restore
// below a chosen folder is confined to it: below that folder no existing
// part of a place it writes may be a link. Any restore refuses a link at the
// place itself. Any thread.
#pragma once

#include <string>
#include <unordered_set>

#include "platform/win32.h"

// The code of a place that a link would lead elsewhere.
inline constexpr DWORD kLinkInTheWay = ERROR_STOPPED_ON_SYMLINK;

// True when no part of path below root, path itself included, is a link
// (root itself is not looked at; an empty root: only path itself is).
// Parts that do not exist end the look (what is made there later is made by
// the restore and checked again). False with kLinkInTheWay for a link, and
// ERROR_BAD_PATHNAME (161) for a path that is not below root. Separators
// may be "\" or "/".
bool place_free_of_links(const std::wstring& root, const std::wstring& path);

// place_free_of_links for the many places of one restore: a folder on the
// way that was found there and free of links is not looked at again until
// forget(), which the storages call at every durable group of a run (about
// once a second), so that a folder put in a link's place is seen within a
// group. The place's own last part is looked at every time. Belongs to one
// thread.
class LinkCheck {
public:
    // The confining folder (see place_free_of_links); forgets the folders.
    void confine(const std::wstring& root);
    const std::wstring& root() const { return root_; }
    // As place_free_of_links(root(), path); attributes, when given, gets the
    // place's own attributes (INVALID_FILE_ATTRIBUTES when it does not exist).
    bool freeOfLinks(const std::wstring& path, DWORD* attributes = nullptr);
    // The same for the folders on path's way only, not its last part.
    bool wayFreeOfLinks(const std::wstring& path);
    void forget() { known_.clear(); }

private:
    std::wstring root_;
    std::unordered_set<std::wstring> known_;  // folders found free of links
};
