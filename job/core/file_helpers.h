// Path helpers and the deletion and folder-creation functions of the job
// engine. Paths are wide Windows paths with back-slashes. The four functions
// that return a DWORD are called by the web interface's plug-in too: each
// returns a Win32 code (0 on success), leaves that code as the thread's last
// error, and never throws.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32.h"

// True when the path's attributes can be read and it is not a folder (a link
// to a folder counts as a folder).
bool fileExists(const wchar_t* path);
inline bool fileExists(const std::wstring& path) { return fileExists(path.c_str()); }
// True when the path's attributes can be read and it is a folder.
bool dirExists(const wchar_t* path);
inline bool dirExists(const std::wstring& path) { return dirExists(path.c_str()); }

// The folder that holds path: trailing back-slashes are ignored, the text
// before the last back-slash is taken without its own trailing back-slashes,
// and runs of back-slashes inside it become one (a leading run is kept, so
// that "\\server" stays a server name). Empty when no back-slash comes before
// the last component ("C:\" and "name" have no parent).
std::wstring parentFolder(const std::wstring& path);

// The nonempty components of path between back-slashes.
std::vector<std::wstring> splitPath(const std::wstring& path);
// How many leading components a and b share, compared exactly, looking at no
// more than limit of them.
size_t countCommonComponents(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b,
                             size_t limit);
// The deepest folder that holds all the paths, joined with single
// back-slashes: the first path's last component counts as a file name unless
// it ends in a separator, and the base always stays one component above the
// shortest path. Empty for an empty list or when nothing is shared.
std::wstring commonBasePath(const std::vector<std::wstring>& paths);

// The path of path under the snapshot of its volume: shadowPath, then the part
// of path after volumePath (without its first and its trailing back-slash).
// The path itself when volumePath or shadowPath is empty.
std::wstring snapshotPath(const std::wstring& path, const std::wstring& volumePath,
                          const std::wstring& shadowPath);

// Deletes a file, or a folder with everything below it. A link (reparse
// point) is removed itself; what it points to is never touched.
DWORD rm_rf(const wchar_t* path, BOOL continueOnError);
// Removes the entries of a folder whose attributes share a bit with
// attributeMask, recursively, then the folder itself. Links are removed, not
// followed. Without continueOnError the first failure stops the removal: a
// sub-folder's code, or 1 for a file that could not be deleted.
DWORD rmdir_rf(const wchar_t* path, DWORD attributeMask, BOOL continueOnError);
// Deletes one file even when it is read-only, hidden or system; on failure
// its attributes are put back.
DWORD rmfile_f(const wchar_t* path);
// Deletes a file that the system made itself (a work file, never read-only)
// when it is there: one deletion, with nothing looked at first; a name that
// the deletion refuses (a read-only file) takes rmfile_f's way, and a folder
// is left alone. 0 when the file is gone or was never there, else the code.
DWORD remove_own_file(const wchar_t* path);
// Creates a folder and every missing folder above it. For "\\server\share\..."
// the server name is never created. An existing file on the way gives 80.
DWORD mkdir_p(const wchar_t* path);
