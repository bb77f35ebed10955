// The layer's message tables, in the project's own words. Internal.
#pragma once

#include "platform/win/types.h"

namespace tovel::platform {

// The text of a Win32 code (system table) or of a WinHTTP code (the "winhttp"
// module's table), without line break; null when the table has no such code.
const char* system_message(DWORD code);
const char* winhttp_message(DWORD code);

}  // namespace tovel::platform
