// Local memory, message texts, modules and their files, and the computer's name.
#pragma once

#include <cstdarg>

#include "platform/win/types.h"

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Returns null on success, the memory itself on failure (as Windows does).
HLOCAL LocalFree(HLOCAL memory);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FFu

#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((static_cast<WORD>(s) << 10) | static_cast<WORD>(p))

// Message texts come from the layer's own tables: the system's (Win32 codes)
// and the "winhttp" module's (WinHTTP codes). Supported: ALLOCATE_BUFFER (the
// buffer argument is then a pointer to the pointer, freed with LocalFree),
// FROM_SYSTEM, FROM_HMODULE, IGNORE_INSERTS and the width mask (0: the text
// ends with "\r\n"; otherwise no line break). A text with inserts and no
// IGNORE_INSERTS fails with 87, since no arguments are supported. Returns the
// length without the NUL; 0 and 317 for an unknown code.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments);
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);

#define DONT_RESOLVE_DLL_REFERENCES 0x00000001u

// Modules: the running program (null name) and the built-in "winhttp" module
// (its message table). Module handles are never freed.
HMODULE GetModuleHandleW(LPCWSTR name);
HMODULE LoadLibraryExW(LPCWSTR name, HANDLE reserved, DWORD flags);
BOOL FreeLibrary(HMODULE module);

// The Windows path of a module's file. Only the running program is known (a
// null module, or GetModuleHandleW(nullptr)). Its path is the environment
// variable TOVEL_PROGRAM (UTF-8) as it stands, when that is set and not empty
// (read at every call, so that a test can place "the program" in a folder of
// its own machine); else the process's executable on the host in its Windows
// form (a file outside the machine's drives lies on Z:). Success: the length
// without the NUL, with the text and a NUL in the buffer. A buffer too small
// for both receives the first size - 1 units and a NUL; the result is then
// size and the last error 122 (a size of 0: 0 and 122, nothing written). Any
// other module: 0 and 126; a null buffer with a non-zero size: 0 and 87; a
// path that cannot be had (the executable unreadable, TOVEL_PROGRAM not
// UTF-8): 0 and 2. Any thread, as long as nothing changes the environment.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size);

// GetModuleFileNameW with the path in UTF-8: the same results, counted in
// bytes (a path cut short may end inside a character).
DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size);

// Writes the text to standard error as one line (a line feed is added when
// it does not end with one), in one write, so that the lines of several
// threads do not mix (on a pipe, as long as a line fits in its atomic size,
// 4096 bytes). A null text writes nothing. Any thread.
void OutputDebugStringA(LPCSTR text);

#define MAX_COMPUTERNAME_LENGTH 15

// The host's name up to its first dot, in capitals, cut to 15 characters.
// size: in, the buffer's units; out, the length (or the units needed with
// 111 when the buffer is too small).
BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size);
