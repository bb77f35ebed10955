// Paths of this machine as the browser names them, and the places that no request may change:
// the drives, the agent's data and program folders, and everything inside those two. Any thread.
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"

namespace portvane {

// Whether text names a place on a drive of this machine: a drive letter, ":" and a separator
// ("C:/a", "c:\"). Anything else (a relative name, "C:a", a UNC path) would be taken relative to
// the service's own working folder, outside what the browser may see.
bool isDrivePath(const std::string& text);

// The UTF-8 text as a wide Windows path with back-slashes.
std::wstring windowsPath(const std::string& text);

// Whether text holds a NUL or another control character (0x01 to 0x1f, 0x7f). No file name
// holds one, and the layers below end a path at a NUL, so such a path would act on another
// place than the one it names: every handler refuses it (400) before it is used.
bool hasControlCharacter(std::string_view text);
// Whether a string anywhere in value (member names included) holds one.
bool holdsControlCharacter(const json_spirit::Value& value);
// Whether a path of a job definition's JSON form ("source", "offline", "location") holds one.
bool definitionPathHasControlCharacter(const json_spirit::Value& definition);

// A drive path ("c:/a/./b//../c/", or a drive alone, "C:") in the form the system resolves it
// to: back-slashes, no empty, "." or ".." part (".." never climbs above the drive), an
// upper-case drive letter, no separator at the end but the root's ("C:\a\c", "C:\"). Empty
// for text that names no drive path.
std::wstring plainDrivePath(const std::string& text);

// Whether the place that path (as plainDrivePath gives it) names is the agent's data folder or
// its program folder, or lies inside one: whatever is there now, or would be made there. The
// folder that holds the place is resolved as the file system resolves it, every link on the
// way followed, and compared without regard to case; the place's own name is not followed, so
// a link in another folder that points inside is not inside itself (removing or moving it
// leaves what it points to alone). A drive root is not inside.
bool isInsideAgentFolders(const std::wstring& path);

// Whether a part of path (as plainDrivePath gives it) that exists now, itself included, is a
// link (a reparse point). Drive roots are never links.
bool passesThroughLink(const std::wstring& path);

// Whether removing or moving the folder at path would take a drive, the agent's data folder or
// its program folder with it: a drive root, one of those folders, or a folder that holds one.
// Folders are compared by identity (volume and file index), so another spelling or another
// drive's view of the same folder is caught too. A symbolic link is never protected: removing
// or moving it leaves what it points to alone. A path that cannot be opened is not protected
// (the operation itself then fails).
bool isProtectedFolder(const std::wstring& path);

}  // namespace portvane
