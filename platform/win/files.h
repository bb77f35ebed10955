// Files, folders and folder searches on Windows paths of the simulated machine.
#pragma once

#include "platform/win/types.h"

// ACE gives some of these names zero values on POSIX when they are not yet
// defined; the #undefs make the real values win in either include order.

#undef GENERIC_READ
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_ATTRIBUTES 0x0080u
#define FILE_WRITE_ATTRIBUTES 0x0100u
#define DELETE 0x00010000u

#undef FILE_SHARE_READ
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#undef OPEN_EXISTING
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#undef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#undef FILE_FLAG_WRITE_THROUGH
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#undef FILE_FLAG_OVERLAPPED
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_NO_BUFFERING 0x20000000u
#define FILE_FLAG_RANDOM_ACCESS 0x10000000u
#undef FILE_FLAG_SEQUENTIAL_SCAN
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_COPY_ALLOWED 0x2u
#define MOVEFILE_WRITE_THROUGH 0x8u

// Opens or creates a file. Windows dispositions; CREATE_ALWAYS and OPEN_ALWAYS
// on an existing file succeed with last error 183. A folder opens only with
// FILE_FLAG_BACKUP_SEMANTICS, else 5. A missing parent folder fails with 3, a
// missing file with 2. Share modes are accepted and not enforced.
//
// FILE_FLAG_OPEN_REPARSE_POINT: a symbolic link that is the path's last part
// is not followed. The layer cannot hand out the link itself as a file, so
// opening one fails with 1921 (CREATE_NEW: 80, as for anything that exists);
// links among the folders on the way are followed, as on Windows. With this
// flag the open of a special file (a pipe, a device) does not wait for a
// peer; GetFileInformationByHandle tells such a file by
// FILE_ATTRIBUTE_DEVICE.
//
// security: a descriptor of ConvertStringSecurityDescriptorToSecurityDescriptorW
// (or of InitializeSecurityDescriptor with a null access list) gives a file
// that this call creates exactly its access; an existing file keeps its own;
// another pointer fails with 87. Without one, or with a descriptor that has
// no access list, a new file gets the process's default access.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);

// CreateFileW for a narrow path, taken as UTF-8 (the layer's ANSI code page).
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Synchronous reads and writes (overlapped must be null). ReadFile reports end
// of file as success with 0 bytes. WriteFile writes everything or fails, with
// *written counting what reached the file; interrupted calls are retried.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
struct BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
};
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

// What the handle's file is now: the attributes as GetFileAttributesW gives
// them (FILE_ATTRIBUTE_DEVICE for anything that is neither file nor folder),
// the times as GetFileAttributesExW gives them, the size (0 for a folder or a
// special file), the number of names (hard links) the file has, and the
// volume and index that together tell one file from every other. A null
// information fails with 87, a handle that is no file with 6.
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
// The path of the handle's file or folder as the file system resolves it
// now, every link on the way followed and every "." and ".." gone:
// "\\?\C:\ProgramData\a" (flags 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
// no other flags are served, 87). A file outside every drive folder is named
// on Z:. The result is the length without the terminator; when the buffer of
// size characters is too small, the size needed with the terminator and
// nothing written. 0 with the last error: 6 for a handle that is no file, 87
// for a null buffer with a size.
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_DOS 0x0u
DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod);
BOOL SetEndOfFile(HANDLE file);

// Closes any handle of the layer. An unknown or already closed handle fails with 6.
BOOL CloseHandle(HANDLE object);

// Attributes synthesised from lstat: folder 0x10, a symbolic link 0x400 (plus
// 0x10 when it points to a folder), a file without write permission 0x1,
// another file 0x20, anything that is neither file nor folder 0x40.
DWORD GetFileAttributesW(LPCWSTR path);

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard = 0 };

struct WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
};

// Times are UTC FILETIMEs; the creation time is the time of the last status change.
BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID out);

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR path);
BOOL DeleteFileW(LPCWSTR path);
// Renames within a volume (atomically replacing the target with
// MOVEFILE_REPLACE_EXISTING, else failing with 183 when it exists).
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
// Moves or renames a file or folder: MoveFileExW without flags, so an existing target fails
// with 183 and is left as it is. A move to another drive fails with 17 (nothing is copied).
BOOL MoveFileW(LPCWSTR from, LPCWSTR to);

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

// Folder searches with "*" and "?" in the last part of the pattern, matched
// without regard to case. The entries are sorted by name as NTFS gives them
// ("." and ".." first, then by upper-cased name). A missing folder fails with
// 3, no matching entry with 2, the end of the search with 18.
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
// Fails with 6, and touches nothing, for a search that never started.
BOOL FindClose(HANDLE search);

// Read-only is kept as the owner's write permission of a file:
// FILE_ATTRIBUTE_READONLY clears it, its absence sets it; the other bits are
// accepted and ignored. A folder or a symbolic link keeps its permissions (a
// folder's read-only bit does not stop changes to its entries on Windows, and
// a link's own bit must never reach its target). A missing path fails with 2
// or 3.
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);

// Sets the times of an open file or folder. A null time, a time of 0 and the
// two special values 0xFFFFFFFF'FFFFFFFF and 0xFFFFFFFF'FFFFFFFE (which on
// Windows suspend and resume the updates made through the handle) leave that
// time as it is. The host keeps no creation time and none can be set: a given
// creation time is accepted and dropped, and GetFileAttributesExW goes on
// reporting the last status change (which this call itself moves to now). The
// handle's access is not checked. An unknown handle fails with 6, a time at or
// above 0x8000000000000000 with 87.
BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime);

// The volume of a path is its drive: "C:\" for "C:\a\b" (the letter upper
// case). A path without a drive letter is taken where the layer puts it ("\a"
// on C:, a relative path in the host's current folder). A path on no drive of
// the machine fails with 3; a buffer below 4 characters with 206.
BOOL GetVolumePathNameW(LPCWSTR path, LPWSTR volumePath, DWORD length);
