// Host paths for the libraries that open their files themselves (ACE's
// service configurator and logging strategy, the web server's options file):
// they cannot go through the Windows file calls, so they get the path that
// the Windows path names on this machine.
#pragma once

#include <string>

#include "platform/kernel/machine.h"

namespace tovel::starter {

// The host path of a Windows path; empty when the path names no drive of the
// machine.
inline std::string host_file_path(const std::wstring& windowsPath) {
    std::string out;
    if (!tovel::platform::host_path(windowsPath.c_str(), out)) out.clear();
    return out;
}

}  // namespace tovel::starter
