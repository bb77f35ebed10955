// The inside of drawing (platform/win/gdi.h): pictures, regions and icons as
// the windows, the compositor and the notification area share them.
// Internal to the layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win/gdi.h"

typedef struct _cairo_surface cairo_surface_t;

namespace tovel::platform::gdi {

// A picture of width x height pixels: a cairo image surface of premultiplied
// ARGB. Made transparent, or opaque black for a bitmap.
class Canvas {
public:
    Canvas(int width, int height, bool opaque_black);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    cairo_surface_t* surface() const { return surface_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Row y's pixels (premultiplied ARGB); flush before reading what cairo
    // drew, mark_dirty after writing.
    uint32_t* row(int y) const;
    void flush() const;
    void mark_dirty() const;

private:
    cairo_surface_t* surface_;
    int width_;
    int height_;
};

// A set of pixels: a bounding box and a mask over it.
struct Region {
    RECT box = {0, 0, 0, 0};
    std::vector<uint8_t> mask;  // (box width) x (box height), 1: in
    bool contains(int x, int y) const;
    bool empty() const;
    static Region rect(int left, int top, int right, int bottom);
};

// The canvas of a window, made at the client's size on first use (and again
// after a resize, keeping what fits of the old picture). Null for no window.
std::shared_ptr<Canvas> window_canvas(HWND window);
// Takes the region out of the object table (the caller owns its copy).
std::shared_ptr<Region> take_region(HRGN region);
// An icon's picture and the file it came from.
struct IconImage {
    std::shared_ptr<Canvas> canvas;
    std::string file;  // host path, or ""
};
bool icon_image(HICON icon, IconImage& out);
// Converts between premultiplied and straight ARGB.
uint32_t unpremultiply(uint32_t pixel);
uint32_t premultiply(uint32_t pixel);

}  // namespace tovel::platform::gdi
