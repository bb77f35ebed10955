// The table of drawing objects and device contexts (gdi.cpp), shared by the
// files that draw text and load images. Internal to the layer.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/gdi_core.h"

typedef struct _cairo cairo_t;

namespace tovel::platform::gdi {

struct Object {
    enum Kind { pen, brush, font, bitmap, region, icon } kind;
    bool stock = false;
    int style = 0;  // pen
    int width = 1;  // pen
    COLORREF colour = 0;
    bool hollow = false;  // a null pen or brush
    LOGFONTW logfont = {};
    std::shared_ptr<Canvas> canvas;  // bitmap, icon
    std::string file;                // icon, bitmap: where it was read from
    std::shared_ptr<Region> shape;   // region
};

struct Dc {
    bool memory = false;
    HWND window = nullptr;
    std::shared_ptr<Canvas> target;
    HGDIOBJ bitmap = nullptr;
    HGDIOBJ pen = nullptr;
    HGDIOBJ brush = nullptr;
    HGDIOBJ font = nullptr;
    COLORREF background = 0xFFFFFF;
    COLORREF text = 0;
    int background_mode = 2;  // OPAQUE
    POINT position = {0, 0};
    POINT origin = {0, 0};
    bool clipped = false;
    RECT clip = {0, 0, 0, 0};             // on the target
    std::shared_ptr<Region> clip_region;  // on the target
    std::vector<std::shared_ptr<Dc>> saved;
};

// Guards the tables and every drawing.
std::mutex& gdi_lock();
// Under gdi_lock(): the object or DC of a handle, or null.
Object* object_of(HGDIOBJ handle);
Dc* dc_of(HDC dc);
// Under gdi_lock(): adds an object and returns its handle.
HGDIOBJ add_object(Object object);
// Under gdi_lock(): whether the target pixel (x, y) may be drawn.
bool may_draw(const Dc& dc, int x, int y);
// Under gdi_lock(): a cairo context on the DC's target with its origin and
// clip, shapes not smoothed. The caller destroys it and marks the target dirty.
cairo_t* context_of(const Dc& dc);
void set_colour(cairo_t* cr, COLORREF colour);

}  // namespace tovel::platform::gdi
