// The desktop's inside as the test interface, the notification area and the
// compositor reach it (platform/desktop/gui_test.h). Internal to the layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/desktop/gdi_core.h"
#include "platform/win/gui.h"

namespace tovel::platform {
// Whether the shell opens file as an address in the user's browser (http or
// https), and that opening: the ShellExecute result (over 32 on success).
bool is_web_address(LPCWSTR file);
INT_PTR open_web_address(LPCWSTR verb, LPCWSTR file);
}  // namespace tovel::platform

namespace tovel::platform::desk {

RECT screen_rect();
// The taskbar's rectangle on the screen, and its edge.
RECT taskbar_rect(UINT* edge);
RECT work_area();
void set_taskbar(UINT edge, int thickness);
void set_double_click_time(UINT milliseconds);
// The windows a broadcast reaches: every top-level window that is not
// message-only.
std::vector<HWND> broadcast_targets();
// What the broadcast targets show, for the test hooks.
struct TopWindow {
    HWND handle;
    std::wstring title;
    std::wstring class_name;
    RECT rect;
    bool visible;
};
std::vector<TopWindow> top_windows();

// The user's hand on the mouse (screen coordinates); messages are posted.
void inject_move(int x, int y);
void inject_button(int x, int y, bool right, bool down);

// The window as shown: its picture with its children's, clipped, shaped,
// with its alpha. width x height straight ARGB.
struct Shown {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
};
Shown compose_window(HWND window);
// Every visible top-level window over the background, bottom to top; the
// background is drawn by the caller into pixels (screen size) first.
void compose_screen(std::vector<uint32_t>& pixels);

}  // namespace tovel::platform::desk
