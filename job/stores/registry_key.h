// A holder of one open registry key, for the library's few registry values.
// One thread at a time per holder.
#pragma once

#include <string>

#include "platform/win32.h"

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Every operation returns a Win32 code, 0 for success. Opening or creating
    // closes the key held before, also when it fails.

    // Creates or opens subKey of parent (non-volatile, no class, default
    // security) with the given access.
    LSTATUS create(HKEY parent, const char* subKey, REGSAM access);
    // Opens an existing subKey of parent; 2 when it is missing.
    LSTATUS open(HKEY parent, const char* subKey, REGSAM access);

    // Reads a string value (REG_SZ or REG_EXPAND_SZ) into buffer, whose room
    // in bytes is *size on entry; on success *size counts the bytes read, the
    // terminating NUL included (an empty value gives an empty string). 2 when
    // the value is missing, 234 when it needs more room than *size (*size is
    // then the room needed), 13 when the value is of another type or does not
    // end with a NUL.
    LSTATUS read_string(const char* name, char* buffer, DWORD* size) const;
    // Writes text as a REG_SZ value with its NUL; a null text fails with 13.
    LSTATUS write_string(const char* name, const char* text);

    // Closes the key when one is held.
    LSTATUS close();
    bool is_open() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};
