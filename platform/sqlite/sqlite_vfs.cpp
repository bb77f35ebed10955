// A file layer over the host's default one that differs only in how a database's name becomes a
// full path: the name is a Windows path of the machine (UTF-8), translated with host_path. The
// journal and other side files are named from that full path, so every later call of SQLite
// already gets host paths and goes straight to the default layer.
#include "platform/sqlite/sqlite_vfs.h"

#include <sqlite3.h>

#include <cstring>
#include <string>

#include "platform/kernel/host_names.h"
#include "platform/kernel/machine.h"

namespace tovel::platform {
namespace {

sqlite3_vfs* g_host = nullptr;
sqlite3_vfs g_vfs;

int fullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    std::wstring windows = wide_from_host_name(name, std::strlen(name));
    std::string host;
    if (!host_path(windows.c_str(), host)) return SQLITE_CANTOPEN;
    return g_host->xFullPathname(g_host, host.c_str(), size, out);
}

// Every call but the name's translation goes to the host's layer with its own object.
int open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    return g_host->xOpen(g_host, name, file, flags, outFlags);
}
int remove(sqlite3_vfs*, const char* name, int syncDir) {
    return g_host->xDelete(g_host, name, syncDir);
}
int access(sqlite3_vfs*, const char* name, int flags, int* result) {
    return g_host->xAccess(g_host, name, flags, result);
}
void* dlOpen(sqlite3_vfs*, const char* name) { return g_host->xDlOpen(g_host, name); }
void dlError(sqlite3_vfs*, int size, char* out) { g_host->xDlError(g_host, size, out); }
void (*dlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_host->xDlSym(g_host, handle, symbol);
}
void dlClose(sqlite3_vfs*, void* handle) { g_host->xDlClose(g_host, handle); }
int randomness(sqlite3_vfs*, int size, char* out) { return g_host->xRandomness(g_host, size, out); }
int sleep(sqlite3_vfs*, int microseconds) { return g_host->xSleep(g_host, microseconds); }
int currentTime(sqlite3_vfs*, double* out) { return g_host->xCurrentTime(g_host, out); }
int lastError(sqlite3_vfs*, int size, char* out) {
    return g_host->xGetLastError ? g_host->xGetLastError(g_host, size, out) : 0;
}
int currentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_host->xCurrentTimeInt64(g_host, out);
}

const char* registerVfs() {
    if (sqlite3_initialize() != SQLITE_OK) return nullptr;
    g_host = sqlite3_vfs_find(nullptr);
    if (!g_host) return nullptr;
    std::memset(&g_vfs, 0, sizeof g_vfs);
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = g_host->szOsFile;
    g_vfs.mxPathname = g_host->mxPathname;
    g_vfs.zName = "tovel-machine";
    g_vfs.xOpen = open;
    g_vfs.xDelete = remove;
    g_vfs.xAccess = access;
    g_vfs.xFullPathname = fullPathname;
    g_vfs.xDlOpen = dlOpen;
    g_vfs.xDlError = dlError;
    g_vfs.xDlSym = dlSym;
    g_vfs.xDlClose = dlClose;
    g_vfs.xRandomness = randomness;
    g_vfs.xSleep = sleep;
    g_vfs.xCurrentTime = currentTime;
    g_vfs.xGetLastError = lastError;
    g_vfs.xCurrentTimeInt64 = currentTimeInt64;
    if (sqlite3_vfs_register(&g_vfs, 0) != SQLITE_OK) return nullptr;
    return g_vfs.zName;
}

}  // namespace

const char* sqlite_vfs_name() {
    static const char* const name = registerVfs();
    return name;
}

}  // namespace tovel::platform
