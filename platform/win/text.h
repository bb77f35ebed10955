// Code-page conversions between wide text (one wchar_t per code point here)
// and multi-byte text. Only UTF-8 is supported; CP_ACP is taken as UTF-8.
#pragma once

#include "platform/win/types.h"

#define CP_ACP 0u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_ERR_INVALID_CHARS 0x00000080u

// Windows' rules: a length of -1 takes the text up to and including its NUL
// (the count returned then includes it); a length of 0 fails with 87; an output
// size of 0 returns the size needed; a too small output fails with 122.
// Ill-formed input becomes U+FFFD unless the *_INVALID_CHARS flag is given, in
// which case the call fails with 1113.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR multi,
                        int multiSize, LPCSTR defaultChar, LPBOOL usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiLength, LPWSTR wide,
                        int wideSize);
