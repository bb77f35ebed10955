// The test interface of the headless desktop (platform/desktop/gui_test.h): the
// virtual clock, message pumping, the mouse, and pictures as PNG files.
#include "platform/desktop/gui_test.h"

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/timer_clock.h"
#include "platform/desktop/window_core.h"

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

bool read_png(const std::string& path, Picture& picture) {
    std::ifstream in(path, std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 8 || b.compare(0, 8, std::string("\x89PNG\r\n\x1a\n", 8)) != 0) return false;
    auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
               static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3]));
    };
    size_t at = 8;
    uint32_t width = 0, height = 0;
    int step = 0;
    std::string packed;
    while (at + 12 <= b.size()) {
        const uint32_t length = be32(at);
        if (length > b.size() - at - 12) return false;
        const std::string kind = b.substr(at + 4, 4);
        if (kind == "IHDR" && length >= 13) {
            width = be32(at + 8);
            height = be32(at + 12);
            const int depth = static_cast<unsigned char>(b[at + 16]);
            const int colour = static_cast<unsigned char>(b[at + 17]);
            if (depth != 8 || (colour != 2 && colour != 6) || b[at + 20] != 0) return false;
            step = colour == 6 ? 4 : 3;
        } else if (kind == "IDAT") {
            packed += b.substr(at + 8, length);
        } else if (kind == "IEND") {
            break;
        }
        at += 12 + length;
    }
    if (!step || width == 0 || height == 0 || width > 16384 || height > 16384) return false;
    const size_t stride = static_cast<size_t>(width) * step;
    std::string raw(static_cast<size_t>(height) * (stride + 1), '\0');
    uLongf raw_size = static_cast<uLongf>(raw.size());
    if (uncompress(reinterpret_cast<Bytef*>(raw.data()), &raw_size,
                   reinterpret_cast<const Bytef*>(packed.data()),
                   static_cast<uLong>(packed.size())) != Z_OK ||
        raw_size != raw.size())
        return false;
    std::vector<uint8_t> previous(stride, 0), line(stride);
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.pixels.assign(static_cast<size_t>(width) * height, 0);
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char filter = static_cast<unsigned char>(raw[y * (stride + 1)]);
        for (size_t i = 0; i < stride; ++i) {
            const int value = static_cast<unsigned char>(raw[y * (stride + 1) + 1 + i]);
            const int left = i >= static_cast<size_t>(step) ? line[i - step] : 0;
            const int up = previous[i];
            const int corner = i >= static_cast<size_t>(step) ? previous[i - step] : 0;
            int predicted = 0;
            switch (filter) {
                case 1:
                    predicted = left;
                    break;
                case 2:
                    predicted = up;
                    break;
                case 3:
                    predicted = (left + up) / 2;
                    break;
                case 4: {
                    const int p = left + up - corner;
                    const int pa = std::abs(p - left), pb = std::abs(p - up),
                              pc = std::abs(p - corner);
                    predicted = pa <= pb && pa <= pc ? left : pb <= pc ? up : corner;
                    break;
                }
                default:
                    break;
            }
            line[i] = static_cast<uint8_t>(value + predicted);
        }
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = &line[x * step];
            const uint32_t alpha = step == 4 ? p[3] : 255;
            picture.pixels[static_cast<size_t>(y) * width + x] =
                alpha << 24 | static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 |
                p[2];
        }
        previous = line;
    }
    return true;
}

std::string pictures_folder() {
    std::string folder;
    if (const char* set = std::getenv("TOVEL_PICTURES"); set && *set)
        folder = set;
    else if (const char* source = std::getenv("TOVEL_SOURCE_DIR"); source && *source)
        folder = std::string(source) + "/build/pictures";
    else
        folder = "pictures";
    std::filesystem::create_directories(folder);
    return folder;
}

double differing_share(const Picture& a, const Picture& b, int threshold) {
    if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 1.0;
    size_t differing = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8) {
            const int p = static_cast<int>((a.pixels[i] >> shift) & 0xFF);
            const int q = static_cast<int>((b.pixels[i] >> shift) & 0xFF);
            if (std::abs(p - q) > threshold) {
                ++differing;
                break;
            }
        }
    return static_cast<double>(differing) / static_cast<double>(a.pixels.size());
}

bool matches_golden(const Picture& picture, const std::string& path, double share, int threshold) {
    const char* regenerate = std::getenv("TOVEL_REGENERATE");
    if (regenerate && std::string(regenerate) == "1") return write_png(picture, path);
    Picture golden;
    if (!read_png(path, golden)) return false;
    return differing_share(picture, golden, threshold) <= share;
}

}  // namespace tovel::platform::gui
