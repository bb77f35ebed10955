// The simulated machine: the root folder named by TOVEL_ROOT and the
// translation of Windows paths to host paths. Internal to the layer, and used
// by tests that need to look at the host side.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/win/types.h"

namespace tovel::platform {

// The machine's root folder (TOVEL_ROOT, or /var/lib/tovel when unset). The
// first call for a root creates drives/c (with ProgramData), drives/z -> /,
// registry/ and objects/. Thread-safe.
std::string machine_root();

// Translates a Windows path ("C:\a\b", "c:/a//b", "\\?\C:\a") to the host
// path under the root. A path without a drive is relative to the host's
// current folder; "\a" is on drive C. Returns false for paths that name no
// drive of the machine: a letter with no drive folder (last error 3) or a UNC
// path, "\\?\UNC\..." included (last error 53).
bool host_path(const wchar_t* windows_path, std::string& out);

// Whether a host path (as host_path gives it) is a drive's own folder, the
// root of a volume: never a reparse point, never removed or renamed, even
// where the drive is a symbolic link on the host.
bool is_drive_root(const std::string& host_path);

// The access a new file or folder inherits (made without a descriptor of
// its own) below the common application-data folder (drives/c/ProgramData),
// where every user may read and its owner write: 0644 for a file, 0755 for a
// folder, whatever the process's file mode mask. False elsewhere: the
// creator's default applies there.
bool inherited_mode(const std::string& host_path, bool folder, mode_t& mode);

// The Windows form of a host path: a path under a drive folder becomes that
// drive's path, anything else a path on Z:.
std::wstring windows_path(const std::string& host_path);

// Sets the thread's last error from errno, telling a missing folder (3) from a
// missing file (2) by looking at the parent of host_path when errno is ENOENT.
void set_last_error_from_errno(int error, const std::string& host_path = std::string());
DWORD win32_error_from_errno(int error);

}  // namespace tovel::platform
