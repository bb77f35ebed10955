// The tray's resource library (its texts by id), loaded at start-up. GUI
// thread.
#pragma once

#include <string>

#include "platform/win32.h"

// The library the texts come from (null until set: every text is empty).
HINSTANCE trayResources();
void setTrayResources(HINSTANCE library);
// The text of the id; empty when the library lacks it.
std::wstring trayString(UINT id);
