// Paths of this machine as the browser names them, and the folders that no request may remove
// or move. Any thread.
#pragma once

#include <string>

namespace portvane {

// Whether text names a place on a drive of this machine: a drive letter, ":" and a separator
// ("C:/a", "c:\"). Anything else (a relative name, "C:a", a UNC path) would be taken relative to
// the service's own working folder, outside what the browser may see.
bool isDrivePath(const std::string& text);

// The UTF-8 text as a wide Windows path with back-slashes.
std::wstring windowsPath(const std::string& text);

// Whether removing or moving the folder at path would take a drive, the agent's data folder or
// its program folder with it: a drive root, one of those folders, or a folder that holds one.
// Folders are compared by identity (volume and file index), so another spelling or another
// drive's view of the same folder is caught too. A symbolic link is never protected: removing
// or moving it leaves what it points to alone. A path that cannot be opened is not protected
// (the operation itself then fails).
bool isProtectedFolder(const std::wstring& path);

}  // namespace portvane
