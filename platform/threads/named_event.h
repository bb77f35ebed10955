// Events shared by name between the processes of the machine. Internal to the
// layer: CreateEventW hands a named event here.
#pragma once

#include "platform/win/types.h"

namespace tovel::platform {

// CreateEventW for a non-empty name (see platform/win/sync.h).
HANDLE create_named_event(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                          LPCWSTR name);

}  // namespace tovel::platform
