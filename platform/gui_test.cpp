// The test interface of the headless desktop (platform/gui_test.h): the
// virtual clock, message pumping, the mouse, and pictures as PNG files.
#include "platform/gui_test.h"

#include <cairo.h>

#include <memory>

#include "platform/gui_desktop.h"
#include "platform/timer_clock.h"
#include "platform/window_core.h"

namespace tovel::platform::gui {

void draw_notify_icons(std::vector<uint32_t>& pixels, int width, int height);

namespace {
std::unique_ptr<HeldTimerClock>& held() {
    static std::unique_ptr<HeldTimerClock> clock;
    return clock;
}
}  // namespace

VirtualClock::VirtualClock() {
    held() = std::make_unique<HeldTimerClock>();
    set_virtual_clock(true);
}

VirtualClock::~VirtualClock() {
    set_virtual_clock(false);
    held().reset();
}

void VirtualClock::advance(uint32_t milliseconds) { held()->advance(milliseconds); }

uint32_t VirtualClock::now() const { return static_cast<uint32_t>(timer_clock_now()); }

int pump(int limit) {
    int ran = 0;
    MSG msg;
    while (ran < limit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        ++ran;
    }
    return ran;
}

void run_for(uint32_t milliseconds) {
    const uint64_t end = timer_clock_now() + milliseconds;
    while (timer_clock_now() < end) {
        // An empty look moves the virtual clock on by itself.
        if (pump() == 0 && !virtual_clock_on()) virtual_clock_tick();
    }
    pump();
}

void move_mouse(int x, int y) { desk::inject_move(x, y); }
void press(int x, int y, bool right) { desk::inject_button(x, y, right, true); }
void release(int x, int y, bool right) { desk::inject_button(x, y, right, false); }
void click(int x, int y, bool right) {
    move_mouse(x, y);
    press(x, y, right);
    release(x, y, right);
}

void set_taskbar(UINT edge, int thickness) { desk::set_taskbar(edge, thickness); }
void set_double_click_time(UINT milliseconds) { desk::set_double_click_time(milliseconds); }

Picture window_picture(HWND window) {
    desk::Shown shown = desk::compose_window(window);
    Picture picture;
    picture.width = shown.width;
    picture.height = shown.height;
    picture.pixels = std::move(shown.pixels);
    return picture;
}

Picture screen_picture() {
    Picture picture;
    RECT screen = desk::screen_rect();
    picture.width = screen.right;
    picture.height = screen.bottom;
    picture.pixels.assign(static_cast<size_t>(picture.width) * picture.height, 0xFF3A6EA5u);
    UINT edge;
    RECT bar = desk::taskbar_rect(&edge);
    for (int y = bar.top; y < bar.bottom; ++y)
        for (int x = bar.left; x < bar.right; ++x)
            picture.pixels[static_cast<size_t>(y) * picture.width + x] = 0xFF202020u;
    draw_notify_icons(picture.pixels, picture.width, picture.height);
    desk::compose_screen(picture.pixels);
    return picture;
}

bool write_png(const Picture& picture, const std::string& path) {
    if (picture.width <= 0 || picture.height <= 0) return false;
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.width, picture.height);
    cairo_surface_flush(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < picture.height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * stride);
        for (int x = 0; x < picture.width; ++x) row[x] = gdi::premultiply(picture.at(x, y));
    }
    cairo_surface_mark_dirty(surface);
    bool written = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    return written;
}

}  // namespace tovel::platform::gui
