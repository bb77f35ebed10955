// Shell folders and folder creation.
#pragma once

#include "platform/win/registry.h"
#include "platform/win/types.h"

#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000
#define CSIDL_FLAG_MASK 0xFF00
#define SHGFP_TYPE_CURRENT 0

// Writes the folder's path (at most MAX_PATH units with its NUL) into path.
// Only CSIDL_COMMON_APPDATA is known; others give E_INVALIDARG.
HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);

// The narrow form of the folder's path (UTF-8) into path, which has room for
// MAX_PATH bytes. Only CSIDL_COMMON_APPDATA is known. With create the folder
// is made when it is missing; without, a missing folder gives FALSE. FALSE
// (path untouched) also for another folder or a null path.
BOOL SHGetSpecialFolderPathA(HWND owner, LPSTR path, int csidl, BOOL create);

// Whether a file or folder is at the narrow (UTF-8) path; FALSE for null.
BOOL PathFileExistsA(LPCSTR path);

// Creates every missing folder of path. Returns ERROR_SUCCESS, 183 when the
// folder existed, or the error of the folder that could not be made.
int SHCreateDirectory(HWND owner, LPCWSTR path);
int SHCreateDirectoryExW(HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes);

// The shell's "open" of a local file. Only programs are opened here: a file
// whose name ends in ".exe" (any case) is started directly as a detached
// process (a session of its own, the caller's environment and folder, no
// descriptor of the caller inherited, reaped by the layer, not waited for);
// any other file gives 1155 (no program is associated with it), since the
// system never hands a file to a desktop opener. cbSize must be the
// structure's size, the verb null or "open", parameters and directory null,
// the mask without bits but SEE_MASK_FLAG_NO_UI and SEE_MASK_NOCLOSEPROCESS
// (else 87). FALSE also with the errors of CreateProcessW (2, 3, 5, 193).
// With SEE_MASK_NOCLOSEPROCESS hProcess receives a process handle (close it
// with CloseHandle), else it is null. hInstApp is set to 33 on success.
#define SEE_MASK_NOCLOSEPROCESS 0x00000040u
#define SEE_MASK_FLAG_NO_UI 0x00000400u
#define SW_HIDE 0

struct SHELLEXECUTEINFOW {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCWSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
};
typedef SHELLEXECUTEINFOW* LPSHELLEXECUTEINFOW;

// The same with narrow (UTF-8) texts.
struct SHELLEXECUTEINFOA {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCSTR lpVerb;
    LPCSTR lpFile;
    LPCSTR lpParameters;
    LPCSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCSTR lpClass;
    HKEY hkeyClass;
    DWORD dwHotKey;
    HANDLE hIcon;
    HANDLE hProcess;
};
typedef SHELLEXECUTEINFOA* LPSHELLEXECUTEINFOA;

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* info);
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);
