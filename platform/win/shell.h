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

// Creates every missing folder of path. Returns ERROR_SUCCESS, 183 when the
// folder existed, or the error of the folder that could not be made.
int SHCreateDirectory(HWND owner, LPCWSTR path);
int SHCreateDirectoryExW(HWND owner, LPCWSTR path, const SECURITY_ATTRIBUTES* attributes);
