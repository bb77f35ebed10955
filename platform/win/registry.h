// The registry of the simulated machine: keys and typed values under the
// root's registry/ folder, shared by every process of the machine.
//
// Each key is a folder (mode 0700) under registry/<predefined key name>/, made
// with the spelling its creator gave; key and value names are matched without
// regard to ASCII case. A value is one file (mode 0600) in its key's folder,
// replaced whole and atomically by each write, so that a reader, in any
// process, sees the old or the new value and never part of one.
//
// The functions return their result code (0 or a Win32 error) and are safe to
// call from any thread; an opened key may be used by several threads at once.
// A key that is neither predefined nor open (null, closed, or a handle of
// another kind) fails with 6 in every function.
#pragma once

#include "platform/win/types.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;

// The predefined keys: always open, with every access, never closed.
#define HKEY_CURRENT_USER \
    (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000001u))))
#define HKEY_LOCAL_MACHINE \
    (reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<LONG>(0x80000002u))))

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu

#define REG_OPTION_NON_VOLATILE 0x0u

#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u

// Opens subKey under key, creating every missing key of the path on the way
// (as mkdir -p does). subKey is a path of names separated by single
// back-slashes; "" names key itself. A name may not be empty (so no leading,
// trailing or doubled back-slash), ".", "..", longer than 255 bytes, or hold
// '/' or begin with '='; such a path, a null subKey, a null result, reserved
// other than 0 or options other than REG_OPTION_NON_VOLATILE fail with 87.
//
// *disposition (when not null) is REG_CREATED_NEW_KEY when this call made the
// last key of the path, REG_OPENED_EXISTING_KEY when it was there: of several
// threads or processes creating one key at once, in any spelling, exactly one
// makes it and all succeed. klass and security are accepted and not used.
// The new handle has the access asked for (KEY_WOW64_ flags are ignored) and
// is the caller's to close with RegCloseKey; *result is null on failure.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR klass, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                        LPDWORD disposition);

// Opens an existing key; null or "" gives a new handle to key itself. A
// missing key of the path fails with 2; names as RegCreateKeyExA takes them
// (else 87); options other than 0 fail with 87. *result is null on failure.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);

// Reads a value; a null or empty name is the key's default value. Needs
// KEY_QUERY_VALUE (else 5); a missing value fails with 2, reserved not null
// with 87. *type is set when type is not null. With data null and size not
// null, *size is the number of bytes of the value; with data, *size is the
// room in it on entry and the bytes written on return, or the bytes needed
// with 234 when the room is short (data is then left as it was). Data without
// size fails with 87. Bytes come back as they were stored: a string has its
// terminating NUL when its writer counted one.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);

// Writes a value of any type with size bytes of data (a string's count should
// include its NUL), replacing any value of the name in whatever case it was
// written (whose spelling is kept). Needs KEY_SET_VALUE (else 5); reserved
// other than 0 fails with 87, null data with a size with 998, and a name
// longer than 254 bytes with 87 ('%', '/' and '=' count three bytes each).
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size);

// Closes a handle of RegCreateKeyExA or RegOpenKeyExA. Closing a predefined
// key succeeds and leaves it usable; null, a closed handle or one that is no
// key fails with 6 (and a handle of another kind stays open).
LSTATUS RegCloseKey(HKEY key);
