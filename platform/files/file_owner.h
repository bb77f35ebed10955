// Who owns a file, for code that must not trust what another user could have
// put or changed (the downloaded installer that the service starts). Any
// thread.
#pragma once

#include <string>

namespace tovel::platform {

// Whether the file or folder at the Windows path (its last part not followed
// when it is a link) belongs to this process's user and no other user may
// write it. false for a link, a missing path or a path on no drive.
bool owned_privately(const wchar_t* path);

// Whether the host path's name ends in ".exe" (any case): files that
// CreateFileW makes under such names can be run by their owner.
bool names_program(const std::string& host);

}  // namespace tovel::platform
