// The test interface of the headless desktop (platform/gui_test.h): the
// virtual clock, message pumping, the mouse, and pictures as PNG files.
#include "platform/gui_test.h"

#include <zlib.h>

#include <fstream>
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
    std::string rows;
    rows.reserve(static_cast<size_t>(picture.height) * (1 + 4 * picture.width));
    for (int y = 0; y < picture.height; ++y) {
        rows += '\0';  // no filter
        for (int x = 0; x < picture.width; ++x) {
            uint32_t p = picture.at(x, y);
            rows += static_cast<char>((p >> 16) & 0xFF);
            rows += static_cast<char>((p >> 8) & 0xFF);
            rows += static_cast<char>(p & 0xFF);
            rows += static_cast<char>(p >> 24);
        }
    }
    uLongf packed_size = compressBound(static_cast<uLong>(rows.size()));
    std::string packed(packed_size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packed_size,
                  reinterpret_cast<const Bytef*>(rows.data()), static_cast<uLong>(rows.size()),
                  6) != Z_OK)
        return false;
    packed.resize(packed_size);
    auto be32 = [](uint32_t v) {
        std::string out(4, '\0');
        for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
        return out;
    };
    auto chunk = [&](const char* kind, const std::string& body) {
        std::string typed = std::string(kind, 4) + body;
        uLong crc =
            crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
        return be32(static_cast<uint32_t>(body.size())) + typed + be32(static_cast<uint32_t>(crc));
    };
    std::string header = be32(static_cast<uint32_t>(picture.width)) +
                         be32(static_cast<uint32_t>(picture.height)) +
                         std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA
    std::string file = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
                       chunk("IDAT", packed) + chunk("IEND", "");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace tovel::platform::gui
