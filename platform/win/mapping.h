// File mappings, named across the processes of the simulated machine.
#pragma once

#include "platform/win/types.h"

#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

#define ERROR_INVALID_ADDRESS 487u
#define ERROR_FILE_INVALID 1006u
#define ERROR_MAPPED_ALIGNMENT 1132u

// Maps a file, or with INVALID_HANDLE_VALUE zero-filled memory of the machine,
// of size bytes (sizeHigh:sizeLow; 0: the file's current size). A file shorter
// than that grows to it when the protection is PAGE_READWRITE (which needs a
// file opened for reading and writing); under PAGE_READONLY it fails with 8.
// Only PAGE_READONLY and PAGE_READWRITE are accepted (others: 87); memory
// without a size fails with 87, an empty file without a size with 1006.
//
// A name makes the mapping visible to every process of the machine while some
// process holds a handle to it. "Global\x" and "Local\x" are two names; a
// plain "x" is "Local\x". Names are case-sensitive. When a living mapping has
// the name already, that mapping is returned with its own size and backing
// (the file and size given are ignored) and last error 183; otherwise last
// error is 0. The security descriptor is accepted and not used. The handle
// has every access.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                          DWORD sizeHigh, DWORD sizeLow, LPCWSTR name);

// Opens a named mapping with the given FILE_MAP_ access; fails with 2 when no
// living process holds a handle to it (a killed holder counts as gone, and
// views left after the last handle closed do not keep the name). A null name
// fails with 87. Inheritance is not supported and the flag is ignored.
HANDLE OpenFileMappingW(DWORD access, BOOL inherit, LPCWSTR name);

// A view of bytes (0: up to the end of the mapping) from offset, which must be
// a multiple of 65536 (else 1132). FILE_MAP_READ alone gives a read-only view;
// FILE_MAP_WRITE or FILE_MAP_ALL_ACCESS a read/write one, which needs a handle
// with write access and a PAGE_READWRITE mapping (else 5). A view that does
// not fit the mapping fails with 5; access without read or write fails with 87.
// Views of one mapping, in any process, share their bytes. A view stays valid
// after its mapping handle and the file handle are closed, until it is unmapped.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes);

// Unmaps the view that MapViewOfFile returned at exactly this address; any
// other address fails with 487.
BOOL UnmapViewOfFile(LPCVOID view);

// Writes the view's changed bytes from address (anywhere in a view; 487 when
// in none) for bytes (0, or more than the view holds: to the end of the view)
// to the file, and waits until they are written.
BOOL FlushViewOfFile(LPCVOID view, SIZE_T bytes);
