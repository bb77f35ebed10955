// Shell folders and folder creation.
#pragma once

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
