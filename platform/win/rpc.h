// RPC UUIDs, made by libuuid and kept in the GUID field layout.
#pragma once

#include "platform/win/types.h"

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
typedef GUID UUID;
typedef LONG RPC_STATUS;  // 32-bit, as on Windows
typedef unsigned char* RPC_CSTR;

#define RPC_S_OK 0
#define RPC_S_OUT_OF_MEMORY 14
#define RPC_S_INVALID_STRING_UUID 1705
#define RPC_S_UUID_LOCAL_ONLY 1824

RPC_STATUS UuidCreate(UUID* out);
// Lower-case "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; free with RpcStringFreeA.
RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* out);
RPC_STATUS UuidFromStringA(RPC_CSTR text, UUID* out);
// Frees *text and sets it to null.
RPC_STATUS RpcStringFreeA(RPC_CSTR* text);
