// Conversions between host times and FILETIME values. Internal to the layer.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include "platform/win/types.h"

namespace tovel::platform {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;

inline FILETIME filetime_from_u64(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}
inline uint64_t u64_from_filetime(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME filetime_from_timespec(const struct timespec& ts) {
    int64_t ticks = static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 +
                    static_cast<int64_t>(kUnixEpochInFileTime);
    return filetime_from_u64(ticks < 0 ? 0 : static_cast<uint64_t>(ticks));
}

// Windows attributes of a file, from its lstat record (and, for a link, the
// record of its target when that can be read).
DWORD attributes_from_stat(const struct stat& st, const char* host_path);

}  // namespace tovel::platform
