#include "job/stores/registry_key.h"

#include <cstring>

LSTATUS RegistryKey::create(HKEY parent, const char* subKey, REGSAM access) {
    close();
    return RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           &key_, nullptr);
}

LSTATUS RegistryKey::open(HKEY parent, const char* subKey, REGSAM access) {
    close();
    return RegOpenKeyExA(parent, subKey, 0, access, &key_);
}

LSTATUS RegistryKey::read_string(const char* name, char* buffer, DWORD* size) const {
    if (!buffer || !size) return ERROR_INVALID_PARAMETER;
    if (!key_) return ERROR_INVALID_HANDLE;
    DWORD type = REG_NONE;
    DWORD room = *size;
    LSTATUS status =
        RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &room);
    if (status != ERROR_SUCCESS) {
        if (status == ERROR_MORE_DATA) *size = room;
        return status;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (room == 0) {  // an empty value
        if (*size == 0) return ERROR_MORE_DATA;
        buffer[0] = '\0';
        *size = 1;
        return ERROR_SUCCESS;
    }
    if (buffer[room - 1] != '\0') return ERROR_INVALID_DATA;
    *size = room;
    return ERROR_SUCCESS;
}

LSTATUS RegistryKey::write_string(const char* name, const char* text) {
    if (!text) return ERROR_INVALID_DATA;
    if (!key_) return ERROR_INVALID_HANDLE;
    return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
}

LSTATUS RegistryKey::close() {
    if (!key_) return ERROR_SUCCESS;
    LSTATUS status = RegCloseKey(key_);
    key_ = nullptr;
    return status;
}
