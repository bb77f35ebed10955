#include "platform/win/rpc.h"

#include <pthread.h>
#include <sys/random.h>
#include <uuid/uuid.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/win/errors.h"

namespace {

// Bumped in a child after fork: a pool copied from the parent is never used
// there, or parent and child would hand out the same identifiers.
std::atomic<unsigned> g_fork_generation{0};

// Random bytes for identifiers, drawn from the kernel a pool at a time: an
// identifier costs no system call of its own (a block upload makes one for
// its boundary). False when the kernel gives none.
bool pooled_random(unsigned char* out, size_t size) {
    static std::once_flag once;
    std::call_once(
        once, [] { pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1); }); });
    struct Pool {
        unsigned char bytes[512];
        size_t used = sizeof bytes;
        unsigned generation = 0;
    };
    thread_local Pool pool;
    unsigned generation = g_fork_generation.load(std::memory_order_relaxed);
    if (pool.generation != generation) {
        pool.used = sizeof pool.bytes;
        pool.generation = generation;
    }
    if (size > sizeof pool.bytes) return false;
    if (pool.used + size > sizeof pool.bytes) {
        size_t filled = 0;
        while (filled < sizeof pool.bytes) {
            ssize_t got = ::getrandom(pool.bytes + filled, sizeof pool.bytes - filled, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            filled += static_cast<size_t>(got);
        }
        pool.used = 0;
    }
    std::memcpy(out, pool.bytes + pool.used, size);
    // What was handed out is not kept.
    std::memset(pool.bytes + pool.used, 0, size);
    pool.used += size;
    return true;
}

}  // namespace

RPC_STATUS UuidCreate(UUID* out) {
    if (!out) return ERROR_INVALID_PARAMETER;
    uuid_t bytes;
    if (pooled_random(bytes, sizeof bytes)) {
        // A random identifier (version 4, the RFC's variant).
        bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
        bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    } else {
        uuid_generate_random(bytes);
    }
    // libuuid gives the RFC byte order; GUID fields hold the first three groups as numbers.
    out->Data1 = (static_cast<DWORD>(bytes[0]) << 24) | (static_cast<DWORD>(bytes[1]) << 16) |
                 (static_cast<DWORD>(bytes[2]) << 8) | bytes[3];
    out->Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    out->Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return RPC_S_OK;
}

RPC_STATUS UuidToStringA(const UUID* uuid, RPC_CSTR* out) {
    if (!uuid || !out) return ERROR_INVALID_PARAMETER;
    auto text = static_cast<char*>(std::malloc(37));
    if (!text) return RPC_S_OUT_OF_MEMORY;
    std::snprintf(text, 37, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", uuid->Data1,
                  uuid->Data2, uuid->Data3, uuid->Data4[0], uuid->Data4[1], uuid->Data4[2],
                  uuid->Data4[3], uuid->Data4[4], uuid->Data4[5], uuid->Data4[6], uuid->Data4[7]);
    *out = reinterpret_cast<RPC_CSTR>(text);
    return RPC_S_OK;
}

RPC_STATUS UuidFromStringA(RPC_CSTR text, UUID* out) {
    if (!out) return ERROR_INVALID_PARAMETER;
    if (!text) {
        std::memset(out, 0, sizeof *out);
        return RPC_S_OK;
    }
    auto s = reinterpret_cast<const char*>(text);
    if (std::strlen(s) != 36) return RPC_S_INVALID_STRING_UUID;
    unsigned values[11];
    int used = 0;
    for (int i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i])))
            return RPC_S_INVALID_STRING_UUID;
    }
    if (std::sscanf(s, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &values[0], &values[1],
                    &values[2], &values[3], &values[4], &values[5], &values[6], &values[7],
                    &values[8], &values[9], &values[10], &used) != 11 ||
        used != 36)
        return RPC_S_INVALID_STRING_UUID;
    out->Data1 = values[0];
    out->Data2 = static_cast<WORD>(values[1]);
    out->Data3 = static_cast<WORD>(values[2]);
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<BYTE>(values[3 + i]);
    return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(RPC_CSTR* text) {
    if (!text) return ERROR_INVALID_PARAMETER;
    std::free(*text);
    *text = nullptr;
    return RPC_S_OK;
}
