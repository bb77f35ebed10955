// Drawing objects, device contexts, shapes, copies and regions on cairo
// image surfaces (platform/win/gdi.h), and the paint calls of windows.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "platform/desktop/gdi_objects.h"
#include "platform/desktop/window_core.h"
#include "platform/win/errors.h"
#include "platform/win/gui.h"

namespace tovel::platform::gdi {
namespace {

struct Tables {
    std::unordered_map<uintptr_t, Object> objects;
    std::unordered_map<uintptr_t, std::unique_ptr<Dc>> dcs;
    uintptr_t next = 0x40000;
    HGDIOBJ stock[20] = {};
    HDC screen = nullptr;
};

Tables& tables() {
    static auto* all = new Tables;  // lives until the process ends
    return *all;
}

HGDIOBJ stock_object(int index) {
    auto& all = tables();
    if (index < 0 || index >= 20) return nullptr;
    if (all.stock[index]) return all.stock[index];
    Object made{Object::brush};
    switch (index) {
        case WHITE_BRUSH:
            made.colour = 0xFFFFFF;
            break;
        case LTGRAY_BRUSH:
            made.colour = 0xC0C0C0;
            break;
        case GRAY_BRUSH:
            made.colour = 0x808080;
            break;
        case BLACK_BRUSH:
            made.colour = 0;
            break;
        case NULL_BRUSH:
            made.hollow = true;
            break;
        case WHITE_PEN:
            made = Object{Object::pen};
            made.colour = 0xFFFFFF;
            break;
        case BLACK_PEN:
            made = Object{Object::pen};
            break;
        case NULL_PEN:
            made = Object{Object::pen};
            made.hollow = true;
            made.style = PS_NULL;
            break;
        case 19:  // the 1 x 1 bitmap of a new memory DC
            made = Object{Object::bitmap};
            made.canvas = std::make_shared<Canvas>(1, 1, true);
            break;
        case SYSTEM_FONT:
        case DEFAULT_GUI_FONT:
            made = Object{Object::font};
            made.logfont.lfHeight = -12;
            made.logfont.lfWeight = FW_NORMAL;
            made.logfont.lfCharSet = DEFAULT_CHARSET;
            std::wcsncpy(made.logfont.lfFaceName, L"DejaVu Sans", LF_FACESIZE - 1);
            break;
        default:
            return nullptr;
    }
    made.stock = true;
    all.stock[index] = add_object(made);
    return all.stock[index];
}

// A brush handle may also be a system colour's number plus one.
bool brush_colour(HBRUSH brush, COLORREF& colour) {
    auto value = reinterpret_cast<uintptr_t>(brush);
    if (value > 0 && value <= 31) {
        colour = value == 6 ? 0xFFFFFF : 0xF0F0F0;  // COLOR_WINDOW + 1, else a face colour
        return true;
    }
    Object* object = object_of(reinterpret_cast<HGDIOBJ>(brush));
    if (!object || object->kind != Object::brush || object->hollow) return false;
    colour = object->colour;
    return true;
}

std::shared_ptr<Dc> copy_state(const Dc& dc) {
    auto copy = std::make_shared<Dc>();
    *copy = dc;
    copy->saved.clear();
    return copy;
}

HDC add_dc(std::unique_ptr<Dc> dc) {
    auto& all = tables();
    dc->pen = stock_object(BLACK_PEN);
    dc->brush = stock_object(WHITE_BRUSH);
    dc->font = stock_object(SYSTEM_FONT);
    uintptr_t handle = all.next;
    all.next += 4;
    all.dcs[handle] = std::move(dc);
    return reinterpret_cast<HDC>(handle);
}

void rounded_path(cairo_t* cr, double x, double y, double w, double h, double rx, double ry) {
    rx = std::min(rx, w / 2);
    ry = std::min(ry, h / 2);
    if (rx <= 0 || ry <= 0) {
        cairo_rectangle(cr, x, y, w, h);
        return;
    }
    cairo_new_sub_path(cr);
    auto corner = [&](double cx, double cy, double from, double to) {
        cairo_save(cr);
        cairo_translate(cr, cx, cy);
        cairo_scale(cr, rx, ry);
        cairo_arc(cr, 0, 0, 1, from, to);
        cairo_restore(cr);
    };
    corner(x + w - rx, y + ry, -M_PI / 2, 0);
    corner(x + w - rx, y + h - ry, 0, M_PI / 2);
    corner(x + rx, y + h - ry, M_PI / 2, M_PI);
    corner(x + rx, y + ry, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// Fills with the DC's brush and outlines with its pen the shape that path
// draws for an inset (0 for the filling, half the pen for the outline).
template <class Path>
bool fill_and_outline(HDC handle, Path path) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    cairo_t* cr = context_of(*dc);
    COLORREF colour;
    if (brush_colour(reinterpret_cast<HBRUSH>(dc->brush), colour)) {
        path(cr, 0.0);
        set_colour(cr, colour);
        cairo_fill(cr);
    }
    Object* pen = object_of(dc->pen);
    if (pen && pen->kind == Object::pen && !pen->hollow && pen->style != PS_NULL) {
        const int width = std::max(pen->width, 1);
        path(cr, width / 2.0);
        set_colour(cr, pen->colour);
        cairo_set_line_width(cr, width);
        cairo_stroke(cr);
    }
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return true;
}

Region rasterise(int left, int top, int right, int bottom, int w, int h, bool ellipse) {
    Region region;
    if (right < left) std::swap(left, right);
    if (bottom < top) std::swap(top, bottom);
    region.box = {left, top, right, bottom};
    const int bw = right - left, bh = bottom - top;
    region.mask.assign(static_cast<size_t>(bw) * bh, 0);
    if (bw == 0 || bh == 0) return region;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_A8, bw, bh);
    cairo_t* cr = cairo_create(surface);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    if (ellipse)
        rounded_path(cr, 0, 0, bw, bh, bw / 2.0, bh / 2.0);
    else
        rounded_path(cr, 0, 0, bw, bh, w / 2.0, h / 2.0);
    cairo_set_source_rgba(cr, 0, 0, 0, 1);
    cairo_fill(cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x)
            region.mask[static_cast<size_t>(y) * bw + x] = data[y * stride + x] ? 1 : 0;
    cairo_surface_destroy(surface);
    return region;
}

int kind_of(const Region& region) {
    if (region.empty()) return NULLREGION;
    for (uint8_t in : region.mask)
        if (!in) return COMPLEXREGION;
    return SIMPLEREGION;
}

Region shrink(Region region) {
    RECT box = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    const int w = region.box.right - region.box.left;
    const int h = region.box.bottom - region.box.top;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (region.mask[static_cast<size_t>(y) * w + x]) {
                box.left = std::min<LONG>(box.left, region.box.left + x);
                box.top = std::min<LONG>(box.top, region.box.top + y);
                box.right = std::max<LONG>(box.right, region.box.left + x + 1);
                box.bottom = std::max<LONG>(box.bottom, region.box.top + y + 1);
            }
    if (box.left > box.right) return Region{};
    Region out;
    out.box = box;
    const int bw = box.right - box.left, bh = box.bottom - box.top;
    out.mask.assign(static_cast<size_t>(bw) * bh, 0);
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x)
            out.mask[static_cast<size_t>(y) * bw + x] = region.contains(box.left + x, box.top + y);
    return out;
}

Region* region_object(HRGN handle) {
    Object* object = object_of(reinterpret_cast<HGDIOBJ>(handle));
    if (!object || object->kind != Object::region || !object->shape) return nullptr;
    return object->shape.get();
}

// Copies pixels from one DC's target to another's, stretched to the nearest
// pixel; keep(pixel) tells which source pixels are copied; blend mixes.
template <class Keep, class Mix>
BOOL copy_pixels(HDC to, int x, int y, int width, int height, HDC from, int fx, int fy, int fw,
                 int fh, Keep keep, Mix mix) {
    if (width < 0 || height < 0 || fw < 0 || fh < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* target = dc_of(to);
    Dc* source = dc_of(from);
    if (!target || !source) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (width == 0 || height == 0) return TRUE;
    auto& src = *source->target;
    const int sx0 = fx + source->origin.x, sy0 = fy + source->origin.y;
    if (sx0 < 0 || sy0 < 0 || sx0 + fw > src.width() || sy0 + fh > src.height() || fw == 0 ||
        fh == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    src.flush();
    target->target->flush();
    // Read the whole source first: the two may be one picture.
    std::vector<uint32_t> taken(static_cast<size_t>(width) * height);
    for (int j = 0; j < height; ++j) {
        const int sy = sy0 + static_cast<int>(static_cast<long long>(j) * fh / height);
        for (int i = 0; i < width; ++i) {
            const int sx = sx0 + static_cast<int>(static_cast<long long>(i) * fw / width);
            taken[static_cast<size_t>(j) * width + i] = src.row(sy)[sx];
        }
    }
    auto& dst = *target->target;
    for (int j = 0; j < height; ++j) {
        const int ty = y + j + target->origin.y;
        if (ty < 0 || ty >= dst.height()) continue;
        for (int i = 0; i < width; ++i) {
            const int tx = x + i + target->origin.x;
            if (tx < 0 || tx >= dst.width() || !may_draw(*target, tx, ty)) continue;
            uint32_t pixel = taken[static_cast<size_t>(j) * width + i];
            if (!keep(pixel)) continue;
            dst.row(ty)[tx] = mix(pixel, dst.row(ty)[tx]);
        }
    }
    dst.mark_dirty();
    return TRUE;
}

COLORREF colour_of_pixel(uint32_t premultiplied) {
    uint32_t p = unpremultiply(premultiplied);
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

uint32_t pixel_of_colour(COLORREF colour) {
    return 0xFF000000u | (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
}

}  // namespace

Canvas::Canvas(int width, int height, bool opaque_black)
    : surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)),
      width_(width),
      height_(height) {
    if (opaque_black) {
        cairo_t* cr = cairo_create(surface_);
        cairo_set_source_rgba(cr, 0, 0, 0, 1);
        cairo_paint(cr);
        cairo_destroy(cr);
    }
}

Canvas::~Canvas() { cairo_surface_destroy(surface_); }

uint32_t* Canvas::row(int y) const {
    return reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(surface_) +
                                       static_cast<size_t>(y) *
                                           cairo_image_surface_get_stride(surface_));
}

void Canvas::flush() const { cairo_surface_flush(surface_); }
void Canvas::mark_dirty() const { cairo_surface_mark_dirty(surface_); }

bool Region::contains(int x, int y) const {
    if (x < box.left || x >= box.right || y < box.top || y >= box.bottom) return false;
    return mask[static_cast<size_t>(y - box.top) * (box.right - box.left) + (x - box.left)] != 0;
}

bool Region::empty() const { return std::find(mask.begin(), mask.end(), 1) == mask.end(); }

Region Region::rect(int left, int top, int right, int bottom) {
    Region region;
    if (right < left) std::swap(left, right);
    if (bottom < top) std::swap(top, bottom);
    region.box = {left, top, right, bottom};
    region.mask.assign(static_cast<size_t>(right - left) * (bottom - top), 1);
    return region;
}

uint32_t unpremultiply(uint32_t p) {
    uint32_t a = p >> 24;
    if (a == 0) return 0;
    if (a == 255) return p;
    auto c = [&](int shift) {
        return std::min<uint32_t>(((p >> shift) & 0xFF) * 255 / a, 255) << shift;
    };
    return (a << 24) | c(16) | c(8) | c(0);
}

uint32_t premultiply(uint32_t p) {
    uint32_t a = p >> 24;
    if (a == 255) return p;
    auto c = [&](int shift) { return (((p >> shift) & 0xFF) * a / 255) << shift; };
    return (a << 24) | c(16) | c(8) | c(0);
}

std::mutex& gdi_lock() {
    static auto* lock = new std::mutex;  // lives until the process ends
    return *lock;
}

Object* object_of(HGDIOBJ handle) {
    auto& all = tables();
    auto it = all.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == all.objects.end() ? nullptr : &it->second;
}

Dc* dc_of(HDC dc) {
    auto& all = tables();
    auto it = all.dcs.find(reinterpret_cast<uintptr_t>(dc));
    return it == all.dcs.end() ? nullptr : it->second.get();
}

HGDIOBJ add_object(Object object) {
    auto& all = tables();
    uintptr_t handle = all.next;
    all.next += 4;
    all.objects.emplace(handle, std::move(object));
    return reinterpret_cast<HGDIOBJ>(handle);
}

bool may_draw(const Dc& dc, int x, int y) {
    if (dc.clipped &&
        !(x >= dc.clip.left && x < dc.clip.right && y >= dc.clip.top && y < dc.clip.bottom))
        return false;
    if (dc.clip_region && !dc.clip_region->contains(x, y)) return false;
    return true;
}

cairo_t* context_of(const Dc& dc) {
    cairo_t* cr = cairo_create(dc.target->surface());
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    if (dc.clipped) {
        cairo_rectangle(cr, dc.clip.left, dc.clip.top, dc.clip.right - dc.clip.left,
                        dc.clip.bottom - dc.clip.top);
        cairo_clip(cr);
    }
    if (dc.clip_region) {
        const Region& r = *dc.clip_region;
        const int w = r.box.right - r.box.left;
        for (int y = r.box.top; y < r.box.bottom; ++y) {
            int x = r.box.left;
            while (x < r.box.right) {
                if (!r.contains(x, y)) {
                    ++x;
                    continue;
                }
                int start = x;
                while (x < r.box.right && r.contains(x, y)) ++x;
                cairo_rectangle(cr, start, y, x - start, 1);
            }
        }
        if (w == 0) cairo_rectangle(cr, 0, 0, 0, 0);
        cairo_clip(cr);
    }
    cairo_translate(cr, dc.origin.x, dc.origin.y);
    return cr;
}

void set_colour(cairo_t* cr, COLORREF colour) {
    cairo_set_source_rgb(cr, GetRValue(colour) / 255.0, GetGValue(colour) / 255.0,
                         GetBValue(colour) / 255.0);
}

std::shared_ptr<Region> take_region(HRGN handle) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto& all = tables();
    auto it = all.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == all.objects.end() || it->second.kind != Object::region) return nullptr;
    auto shape = it->second.shape;
    all.objects.erase(it);
    return shape;
}

bool icon_image(HICON icon, IconImage& out) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object* object = object_of(reinterpret_cast<HGDIOBJ>(icon));
    if (!object || object->kind != Object::icon) return false;
    out.canvas = object->canvas;
    out.file = object->file;
    return true;
}

HDC dc_for_window(HWND window, bool paint, const RECT& clip) {
    auto canvas = window_canvas(window);
    if (!canvas) return nullptr;
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto dc = std::make_unique<Dc>();
    dc->window = window;
    dc->target = canvas;
    dc->clipped = paint;
    dc->clip = clip;
    return add_dc(std::move(dc));
}

}  // namespace tovel::platform::gdi

using tovel::platform::gdi::Dc;
using tovel::platform::gdi::dc_of;
using tovel::platform::gdi::gdi_lock;
using tovel::platform::gdi::Object;
using tovel::platform::gdi::object_of;

// --- device contexts -------------------------------------------------------------

HDC CreateCompatibleDC(HDC /*dc*/) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto dc = std::make_unique<Dc>();
    dc->memory = true;
    dc->bitmap = tovel::platform::gdi::stock_object(19);
    dc->target = object_of(dc->bitmap)->canvas;
    return tovel::platform::gdi::add_dc(std::move(dc));
}

BOOL DeleteDC(HDC dc) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto& all = tovel::platform::gdi::tables();
    if (!all.dcs.erase(reinterpret_cast<uintptr_t>(dc))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

int SaveDC(HDC handle) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return 0;
    dc->saved.push_back(tovel::platform::gdi::copy_state(*dc));
    return static_cast<int>(dc->saved.size());
}

BOOL RestoreDC(HDC handle, int saved) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc || dc->saved.empty()) return FALSE;
    size_t index = saved < 0 ? dc->saved.size() + saved : static_cast<size_t>(saved) - 1;
    if (index >= dc->saved.size()) return FALSE;
    auto state = dc->saved[index];
    auto rest = std::vector<std::shared_ptr<Dc>>(dc->saved.begin(), dc->saved.begin() + index);
    *dc = *state;
    dc->saved = rest;
    return TRUE;
}

HGDIOBJ SelectObject(HDC handle, HGDIOBJ object) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    Object* chosen = object_of(object);
    if (!dc || !chosen) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HGDIOBJ old = nullptr;
    switch (chosen->kind) {
        case Object::pen:
            old = dc->pen;
            dc->pen = object;
            break;
        case Object::brush:
            old = dc->brush;
            dc->brush = object;
            break;
        case Object::font:
            old = dc->font;
            dc->font = object;
            break;
        case Object::bitmap:
            if (!dc->memory) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            old = dc->bitmap;
            dc->bitmap = object;
            dc->target = chosen->canvas;
            break;
        case Object::region:
            dc->clip_region = std::make_shared<tovel::platform::gdi::Region>(*chosen->shape);
            return reinterpret_cast<HGDIOBJ>(
                static_cast<uintptr_t>(tovel::platform::gdi::kind_of(*chosen->shape)));
        case Object::icon:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
    return old;
}

HGDIOBJ GetCurrentObject(HDC handle, UINT type) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return nullptr;
    switch (type) {
        case OBJ_PEN:
            return dc->pen;
        case OBJ_BRUSH:
            return dc->brush;
        case OBJ_FONT:
            return dc->font;
        case OBJ_BITMAP:
            return dc->bitmap;
        default:
            return nullptr;
    }
}

int GetDeviceCaps(HDC /*dc*/, int index) {
    switch (index) {
        case LOGPIXELSX:
        case LOGPIXELSY:
            return 96;
        case HORZRES:
            return 1280;
        case VERTRES:
            return 800;
        case BITSPIXEL:
            return 32;
        default:
            return 0;
    }
}

#define DC_FIELD(name, field, type, invalid)           \
    type Set##name(HDC handle, type value) {           \
        std::lock_guard<std::mutex> guard(gdi_lock()); \
        Dc* dc = dc_of(handle);                        \
        if (!dc) return invalid;                       \
        type old = dc->field;                          \
        dc->field = value;                             \
        return old;                                    \
    }                                                  \
    type Get##name(HDC handle) {                       \
        std::lock_guard<std::mutex> guard(gdi_lock()); \
        Dc* dc = dc_of(handle);                        \
        return dc ? dc->field : invalid;               \
    }
DC_FIELD(BkColor, background, COLORREF, CLR_INVALID)
DC_FIELD(TextColor, text, COLORREF, CLR_INVALID)
#undef DC_FIELD

int SetBkMode(HDC handle, int mode) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
    int old = dc->background_mode;
    dc->background_mode = mode;
    return old;
}

BOOL SetViewportOrgEx(HDC handle, int x, int y, LPPOINT previous) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return FALSE;
    if (previous) *previous = dc->origin;
    dc->origin = {x, y};
    return TRUE;
}

// --- objects ------------------------------------------------------------------------

HPEN CreatePen(int style, int width, COLORREF colour) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object pen{Object::pen};
    pen.style = style;
    pen.width = std::max(width, 1);
    pen.colour = colour & 0xFFFFFF;
    pen.hollow = style == PS_NULL;
    return static_cast<HPEN>(tovel::platform::gdi::add_object(pen));
}

HBRUSH CreateSolidBrush(COLORREF colour) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object brush{Object::brush};
    brush.colour = colour & 0xFFFFFF;
    return reinterpret_cast<HBRUSH>(tovel::platform::gdi::add_object(brush));
}

HGDIOBJ GetStockObject(int index) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    return tovel::platform::gdi::stock_object(index);
}

BOOL DeleteObject(HGDIOBJ handle) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto& all = tovel::platform::gdi::tables();
    auto it = all.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == all.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (it->second.stock) return TRUE;
    all.objects.erase(it);
    return TRUE;
}

int GetObjectW(HGDIOBJ handle, int size, LPVOID buffer) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object* object = object_of(handle);
    if (!object || !buffer) return 0;
    if (object->kind == Object::bitmap && size >= static_cast<int>(sizeof(BITMAP))) {
        BITMAP bitmap = {};
        bitmap.bmWidth = object->canvas->width();
        bitmap.bmHeight = object->canvas->height();
        bitmap.bmWidthBytes = bitmap.bmWidth * 4;
        bitmap.bmPlanes = 1;
        bitmap.bmBitsPixel = 32;
        std::memcpy(buffer, &bitmap, sizeof bitmap);
        return sizeof bitmap;
    }
    if (object->kind == Object::font && size >= static_cast<int>(sizeof(LOGFONTW))) {
        std::memcpy(buffer, &object->logfont, sizeof(LOGFONTW));
        return sizeof(LOGFONTW);
    }
    return 0;
}

HBITMAP CreateCompatibleBitmap(HDC /*dc*/, int width, int height) {
    if (width < 1 || height < 1 || width > 16384 || height > 16384) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object bitmap{Object::bitmap};
    bitmap.canvas = std::make_shared<tovel::platform::gdi::Canvas>(width, height, true);
    return static_cast<HBITMAP>(tovel::platform::gdi::add_object(bitmap));
}

COLORREF GetPixel(HDC handle, int x, int y) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return CLR_INVALID;
    x += dc->origin.x;
    y += dc->origin.y;
    auto& canvas = *dc->target;
    if (x < 0 || y < 0 || x >= canvas.width() || y >= canvas.height()) return CLR_INVALID;
    canvas.flush();
    return tovel::platform::gdi::colour_of_pixel(canvas.row(y)[x]);
}

COLORREF SetPixel(HDC handle, int x, int y, COLORREF colour) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return CLR_INVALID;
    x += dc->origin.x;
    y += dc->origin.y;
    auto& canvas = *dc->target;
    if (x < 0 || y < 0 || x >= canvas.width() || y >= canvas.height() ||
        !tovel::platform::gdi::may_draw(*dc, x, y))
        return CLR_INVALID;
    canvas.flush();
    canvas.row(y)[x] = tovel::platform::gdi::pixel_of_colour(colour);
    canvas.mark_dirty();
    return colour & 0xFFFFFF;
}

// --- shapes -------------------------------------------------------------------------

int FillRect(HDC handle, const RECT* rect, HBRUSH brush) {
    if (!rect) return 0;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    COLORREF colour;
    if (!dc || !tovel::platform::gdi::brush_colour(brush, colour)) return 0;
    cairo_t* cr = tovel::platform::gdi::context_of(*dc);
    cairo_rectangle(cr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top);
    tovel::platform::gdi::set_colour(cr, colour);
    cairo_fill(cr);
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return 1;
}

int FrameRect(HDC handle, const RECT* rect, HBRUSH brush) {
    if (!rect) return 0;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    COLORREF colour;
    if (!dc || !tovel::platform::gdi::brush_colour(brush, colour)) return 0;
    cairo_t* cr = tovel::platform::gdi::context_of(*dc);
    cairo_rectangle(cr, rect->left + 0.5, rect->top + 0.5, rect->right - rect->left - 1,
                    rect->bottom - rect->top - 1);
    cairo_set_line_width(cr, 1);
    tovel::platform::gdi::set_colour(cr, colour);
    cairo_stroke(cr);
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return 1;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    return tovel::platform::gdi::fill_and_outline(dc, [&](cairo_t* cr, double inset) {
        cairo_rectangle(cr, left + inset, top + inset, right - left - 2 * inset,
                        bottom - top - 2 * inset);
    });
}

BOOL RoundRect(HDC dc, int left, int top, int right, int bottom, int width, int height) {
    return tovel::platform::gdi::fill_and_outline(dc, [&](cairo_t* cr, double inset) {
        tovel::platform::gdi::rounded_path(cr, left + inset, top + inset, right - left - 2 * inset,
                                           bottom - top - 2 * inset, width / 2.0, height / 2.0);
    });
}

BOOL Ellipse(HDC dc, int left, int top, int right, int bottom) {
    return tovel::platform::gdi::fill_and_outline(dc, [&](cairo_t* cr, double inset) {
        const double w = right - left - 2 * inset, h = bottom - top - 2 * inset;
        tovel::platform::gdi::rounded_path(cr, left + inset, top + inset, w, h, w / 2, h / 2);
    });
}

BOOL MoveToEx(HDC handle, int x, int y, LPPOINT previous) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return FALSE;
    if (previous) *previous = dc->position;
    dc->position = {x, y};
    return TRUE;
}

BOOL LineTo(HDC handle, int x, int y) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    if (!dc) return FALSE;
    POINT from = dc->position;
    dc->position = {x, y};
    Object* pen = object_of(dc->pen);
    if (!pen || pen->hollow || (from.x == x && from.y == y)) return TRUE;
    const double dx = x - from.x, dy = y - from.y;
    const double length = std::sqrt(dx * dx + dy * dy);
    // The end point is left out: the line stops half a pixel before it.
    const double ex = x + 0.5 - 0.5 * dx / length, ey = y + 0.5 - 0.5 * dy / length;
    cairo_t* cr = tovel::platform::gdi::context_of(*dc);
    cairo_move_to(cr, from.x + 0.5, from.y + 0.5);
    cairo_line_to(cr, ex, ey);
    cairo_set_line_width(cr, pen->width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    tovel::platform::gdi::set_colour(cr, pen->colour);
    cairo_stroke(cr);
    cairo_destroy(cr);
    dc->target->mark_dirty();
    return TRUE;
}

// --- copies -----------------------------------------------------------------------------

BOOL BitBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
            DWORD rop) {
    if (rop == BLACKNESS || rop == WHITENESS) {
        RECT r = {x, y, x + width, y + height};
        return FillRect(to, &r,
                        reinterpret_cast<HBRUSH>(
                            GetStockObject(rop == BLACKNESS ? BLACK_BRUSH : WHITE_BRUSH)))
                   ? TRUE
                   : FALSE;
    }
    return StretchBlt(to, x, y, width, height, from, fromX, fromY, width, height, rop);
}

BOOL StretchBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                int fromWidth, int fromHeight, DWORD /*rop*/) {
    return tovel::platform::gdi::copy_pixels(
        to, x, y, width, height, from, fromX, fromY, fromWidth, fromHeight,
        [](uint32_t) { return true; }, [](uint32_t pixel, uint32_t) { return pixel; });
}

BOOL TransparentBlt(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                    int fromWidth, int fromHeight, UINT key) {
    const uint32_t keyed = tovel::platform::gdi::pixel_of_colour(key) & 0xFFFFFF;
    return tovel::platform::gdi::copy_pixels(
        to, x, y, width, height, from, fromX, fromY, fromWidth, fromHeight,
        [keyed](uint32_t pixel) {
            return (pixel >> 24) != 0 &&
                   (tovel::platform::gdi::unpremultiply(pixel) & 0xFFFFFF) != keyed;
        },
        [](uint32_t pixel, uint32_t) { return pixel; });
}

BOOL AlphaBlend(HDC to, int x, int y, int width, int height, HDC from, int fromX, int fromY,
                int fromWidth, int fromHeight, BLENDFUNCTION blend) {
    const uint32_t constant = blend.SourceConstantAlpha;
    const bool own_alpha = (blend.AlphaFormat & AC_SRC_ALPHA) != 0;
    return tovel::platform::gdi::copy_pixels(
        to, x, y, width, height, from, fromX, fromY, fromWidth, fromHeight,
        [](uint32_t) { return true; },
        [constant, own_alpha](uint32_t s, uint32_t d) {
            if (!own_alpha) s |= 0xFF000000u;
            auto part = [&](int shift) { return ((s >> shift) & 0xFF) * constant / 255; };
            const uint32_t sa = part(24);
            uint32_t out = 0;
            for (int shift = 0; shift <= 24; shift += 8) {
                uint32_t v = part(shift) + ((d >> shift) & 0xFF) * (255 - sa) / 255;
                out |= std::min<uint32_t>(v, 255) << shift;
            }
            return out;
        });
}

// --- regions -----------------------------------------------------------------------------

namespace {

HRGN add_region(tovel::platform::gdi::Region region) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object object{Object::region};
    object.shape = std::make_shared<tovel::platform::gdi::Region>(std::move(region));
    return reinterpret_cast<HRGN>(tovel::platform::gdi::add_object(object));
}

}  // namespace

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
    return add_region(tovel::platform::gdi::Region::rect(left, top, right, bottom));
}

HRGN CreateRectRgnIndirect(const RECT* rect) {
    if (!rect) return nullptr;
    return CreateRectRgn(rect->left, rect->top, rect->right, rect->bottom);
}

HRGN CreateRoundRectRgn(int left, int top, int right, int bottom, int width, int height) {
    return add_region(
        tovel::platform::gdi::rasterise(left, top, right, bottom, width, height, false));
}

HRGN CreateEllipticRgn(int left, int top, int right, int bottom) {
    return add_region(tovel::platform::gdi::rasterise(left, top, right, bottom, 0, 0, true));
}

int CombineRgn(HRGN out, HRGN a, HRGN b, int op) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* target = tovel::platform::gdi::region_object(out);
    auto* first = tovel::platform::gdi::region_object(a);
    auto* second = op == RGN_COPY ? first : tovel::platform::gdi::region_object(b);
    if (!target || !first || !second) return ERROR_REGION;
    RECT box;
    UnionRect(&box, &first->box, &second->box);
    if (IsRectEmpty(&box)) box = {0, 0, 0, 0};
    tovel::platform::gdi::Region result =
        tovel::platform::gdi::Region::rect(box.left, box.top, box.right, box.bottom);
    const int w = box.right - box.left;
    for (int y = box.top; y < box.bottom; ++y)
        for (int x = box.left; x < box.right; ++x) {
            bool p = first->contains(x, y), q = second->contains(x, y), in = false;
            switch (op) {
                case RGN_AND:
                    in = p && q;
                    break;
                case RGN_OR:
                    in = p || q;
                    break;
                case RGN_XOR:
                    in = p != q;
                    break;
                case RGN_DIFF:
                    in = p && !q;
                    break;
                default:
                    in = p;
                    break;
            }
            result.mask[static_cast<size_t>(y - box.top) * w + (x - box.left)] = in;
        }
    *target = tovel::platform::gdi::shrink(std::move(result));
    return tovel::platform::gdi::kind_of(*target);
}

int OffsetRgn(HRGN region, int dx, int dy) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* shape = tovel::platform::gdi::region_object(region);
    if (!shape) return ERROR_REGION;
    OffsetRect(&shape->box, dx, dy);
    return tovel::platform::gdi::kind_of(*shape);
}

BOOL PtInRegion(HRGN region, int x, int y) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* shape = tovel::platform::gdi::region_object(region);
    return shape && shape->contains(x, y) ? TRUE : FALSE;
}

int GetRgnBox(HRGN region, LPRECT box) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* shape = tovel::platform::gdi::region_object(region);
    if (!shape || !box) return ERROR_REGION;
    tovel::platform::gdi::Region tight = tovel::platform::gdi::shrink(*shape);
    *box = tight.empty() ? RECT{0, 0, 0, 0} : tight.box;
    return tovel::platform::gdi::kind_of(*shape);
}

BOOL EqualRgn(HRGN a, HRGN b) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* p = tovel::platform::gdi::region_object(a);
    auto* q = tovel::platform::gdi::region_object(b);
    if (!p || !q) return FALSE;
    RECT box;
    UnionRect(&box, &p->box, &q->box);
    for (int y = box.top; y < box.bottom; ++y)
        for (int x = box.left; x < box.right; ++x)
            if (p->contains(x, y) != q->contains(x, y)) return FALSE;
    return TRUE;
}

BOOL FillRgn(HDC handle, HRGN region, HBRUSH brush) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    Dc* dc = dc_of(handle);
    auto* shape = tovel::platform::gdi::region_object(region);
    COLORREF colour;
    if (!dc || !shape || !tovel::platform::gdi::brush_colour(brush, colour)) return FALSE;
    auto& canvas = *dc->target;
    canvas.flush();
    const uint32_t pixel = tovel::platform::gdi::pixel_of_colour(colour);
    for (int y = shape->box.top; y < shape->box.bottom; ++y)
        for (int x = shape->box.left; x < shape->box.right; ++x) {
            if (!shape->contains(x, y)) continue;
            const int tx = x + dc->origin.x, ty = y + dc->origin.y;
            if (tx < 0 || ty < 0 || tx >= canvas.width() || ty >= canvas.height() ||
                !tovel::platform::gdi::may_draw(*dc, tx, ty))
                continue;
            canvas.row(ty)[tx] = pixel;
        }
    canvas.mark_dirty();
    return TRUE;
}

int SelectClipRgn(HDC handle, HRGN region) {
    if (!region) {
        std::lock_guard<std::mutex> guard(gdi_lock());
        Dc* dc = dc_of(handle);
        if (!dc) return ERROR_REGION;
        dc->clip_region.reset();
        return SIMPLEREGION;
    }
    HGDIOBJ kind = SelectObject(handle, reinterpret_cast<HGDIOBJ>(region));
    return static_cast<int>(reinterpret_cast<uintptr_t>(kind));
}

// --- painting windows -------------------------------------------------------------------------

HDC BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    if (!paint) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    RECT update = {0, 0, 0, 0};
    BOOL erase = FALSE;
    if (GetUpdateRect(window, &update, FALSE)) {
        auto record = tovel::platform::find_window(window);
        if (record) {
            std::lock_guard<std::mutex> guard(tovel::platform::ui_lock());
            erase = record->ui.erase ? TRUE : FALSE;
        }
    } else if (!IsWindow(window)) {
        return nullptr;
    }
    ValidateRect(window, nullptr);
    HDC dc = tovel::platform::gdi::dc_for_window(window, true, update);
    if (!dc) return nullptr;
    *paint = {};
    paint->hdc = dc;
    paint->rcPaint = update;
    paint->fErase = erase;
    if (erase)
        paint->fErase =
            SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) ? FALSE : TRUE;
    return dc;
}

BOOL EndPaint(HWND /*window*/, const PAINTSTRUCT* paint) {
    if (!paint) return FALSE;
    DeleteDC(paint->hdc);
    return TRUE;
}

HDC GetDC(HWND window) {
    if (!window) {
        std::lock_guard<std::mutex> guard(gdi_lock());
        auto dc = std::make_unique<Dc>();
        dc->target = std::make_shared<tovel::platform::gdi::Canvas>(1, 1, true);
        return tovel::platform::gdi::add_dc(std::move(dc));
    }
    return tovel::platform::gdi::dc_for_window(window, false, RECT{0, 0, 0, 0});
}

HDC GetWindowDC(HWND window) { return GetDC(window); }

int ReleaseDC(HWND /*window*/, HDC dc) { return DeleteDC(dc) ? 1 : 0; }
