// What tests do to the headless desktop and read of it: a virtual clock, the
// mouse, the screen's taskbar, the notification area, launches and message
// boxes, and pictures of windows and of the screen as PNG files. For the
// layer's tests and the tray's; never called by the system's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace tovel::platform::gui {

// The virtual clock: while one lives, GetTickCount, the window timers, hover
// tracking and double-click waits follow it, and it moves only by advance()
// and by one millisecond for each PeekMessageW that finds no message (which
// first runs the messages that other threads sent). A test makes it before
// its first window; at most one at a time. Destroying it returns to the
// monotonic clock.
class VirtualClock {
public:
    VirtualClock();
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;
    // Moves the clock on and wakes every queue (any thread).
    void advance(uint32_t milliseconds);
    uint32_t now() const;
};

// Runs the calling thread's messages until none is left (at most limit),
// as a message loop would: PeekMessageW with PM_REMOVE and DispatchMessageW.
// Returns how many it ran. With the virtual clock every empty look moves it
// 1 ms, so the loop ends at the first empty look.
int pump(int limit = 10000);
// Advances the virtual clock by milliseconds in steps of 1 ms, pumping
// after each (timers and hover tracking fire in order).
void run_for(uint32_t milliseconds);

// The mouse, in screen coordinates: the cursor moves there (WM_MOUSEMOVE to
// the window under it, leave and hover tracking), the button goes down or
// up there (activation, WM_xBUTTONDOWN / UP). Messages are posted; pump()
// to run them.
void move_mouse(int x, int y);
void press(int x, int y, bool right = false);
void release(int x, int y, bool right = false);
// move, press, release at one point.
void click(int x, int y, bool right = false);

// The taskbar's edge (ABE_BOTTOM...) and thickness; the work area follows.
void set_taskbar(UINT edge, int thickness);
void set_double_click_time(UINT milliseconds);

// The notification area.
struct NotifyIcon {
    HWND window;
    UINT id;
    UINT callback;  // 0: none
    UINT version;   // 0, 3 or 4
    std::wstring tooltip;
    std::string image_file;  // host path of the ICO the current image came from ("" none)
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // ARGB, not premultiplied, row by row
};
std::vector<NotifyIcon> notify_icons();
// The files of the images the icon was given (NIM_ADD, NIM_MODIFY), in order.
std::vector<std::string> notify_icon_history(HWND window, UINT id);
// Where the icon stands on the taskbar (screen), or an empty rectangle.
RECT notify_icon_rect(HWND window, UINT id);
enum class IconClick { left, right, left_double };
// The user clicks the icon: the cursor goes onto it, and the callback
// messages the icon's version gives are posted (version below 4: the button
// messages (down, up; a double click: down, up, WM_LBUTTONDBLCLK, up);
// version 4: NIN_SELECT for a left click (each click of a double), and
// WM_CONTEXTMENU for a right one). FALSE when there is no such icon.
bool click_notify_icon(HWND window, UINT id, IconClick kind);
// The shell restarted: every icon is gone and every top-level window gets
// the registered message "TaskbarCreated" (posted).
void broadcast_taskbar_created();

// Launches of ShellExecuteW/ExW recorded instead of started, while a
// recorder lives (one at a time). Another process is watched through files
// and sockets instead: with TOVEL_SHELL_RECORD naming a file, each launch
// of a web address ("launch <address>", not started) and each MessageBoxW
// ("box <caption>: <text>") appends a UTF-8 line to it; with
// TOVEL_GUI_SOCKET naming a path, these hooks answer there
// (gui_remote_hooks.h; tools/testkit/gui_remote.h is the client).
class LaunchRecorder {
public:
    LaunchRecorder();
    ~LaunchRecorder();
    std::vector<std::wstring> launches() const;
};
// Every MessageBoxW of the process so far: "caption: text".
std::vector<std::wstring> message_boxes();

// The lines of text that DrawTextW and TextOutW draw on any DC of the
// process (as drawn: wrapped, cut and with their ellipses), in order, while a
// recorder lives (one at a time). x and y are the line's top-left in the DC,
// width its extent in pixels.
struct DrawnText {
    std::wstring text;
    int x = 0, y = 0, width = 0;
};
class TextRecorder {
public:
    TextRecorder();
    ~TextRecorder();
    TextRecorder(const TextRecorder&) = delete;
    TextRecorder& operator=(const TextRecorder&) = delete;
    std::vector<DrawnText> texts() const;
};

// Pictures. A window's picture is the window as the compositor shows it:
// its own pixels with its children's over them (each clipped to its parent
// and its region), in its region only, with its layered alpha; pixels
// nothing drew are transparent. The screen: the desktop's colour
// (RGB(58, 110, 165)), the taskbar (RGB(32, 32, 32)) with the notification
// icons, and every visible top-level window over them in their order.
struct Picture {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;  // ARGB, not premultiplied, row by row
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
Picture window_picture(HWND window);
Picture screen_picture();
// Writes the picture as an 8-bit RGBA PNG; false when it cannot.
bool write_png(const Picture& picture, const std::string& path);
// Reads an 8-bit RGB or RGBA PNG (not interlaced); false when it cannot.
bool read_png(const std::string& path, Picture& picture);

// Where tests leave the pictures a person looks at: TOVEL_PICTURES when set,
// else build/pictures under TOVEL_SOURCE_DIR (the test environment's), else
// the current folder's "pictures"; made when missing.
std::string pictures_folder();
// The share (0 to 1) of pixels of which some channel (alpha included)
// differs by more than threshold; 1 when the sizes differ.
double differing_share(const Picture& a, const Picture& b, int threshold);
// Compares the picture with the golden copy at path: true when at most
// share of its pixels differ by more than threshold. With TOVEL_REGENERATE
// set to 1 the golden copy is written from the picture instead (true).
bool matches_golden(const Picture& picture, const std::string& path, double share = 0.005,
                    int threshold = 8);

}  // namespace tovel::platform::gui
