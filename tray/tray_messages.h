// The tray's private window messages, posted or sent between windows of its
// GUI thread.
#pragma once

#include "platform/win32.h"

// A skinned menu item was chosen: to its menu, wParam the command id.
constexpr UINT TRAY_MENU_ITEM_MSG = 36022;
// A skinned menu lost activation and closes: to its owner.
constexpr UINT TRAY_MENU_CLOSED_MSG = 42623;
