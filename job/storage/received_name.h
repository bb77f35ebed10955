// The check of a file name that arrives in a file package: it must name a
// place below the receiving folder and nothing else.
#pragma once

#include <cstddef>
#include <string>

// Takes name (length bytes of UTF-8, no terminator needed): a relative path
// whose parts are separated by '\' or '/'. On success out = folder, one
// back-slash, and the parts joined with back-slashes. False, out untouched,
// for an empty folder, a null or empty name, bad UTF-8, an empty part (a
// root, a UNC path, a doubled or trailing separator), a part that is "." or
// "..", ends in a dot or a space, holds a control character or one of
// < > : " | ? * (so no drive and no stream), or is a device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, with or without an extension,
// in any case). Any thread.
bool received_path(const std::wstring& folder, const char* name, size_t length, std::wstring& out);
