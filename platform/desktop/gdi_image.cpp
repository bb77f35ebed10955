// BMP and ICO files decoded by gdk-pixbuf into bitmaps and icons, and icons
// drawn on device contexts (platform/win/gdi.h).
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/desktop/gdi_objects.h"
#include "platform/kernel/machine.h"
#include "platform/modules/resources_core.h"
#include "platform/win/errors.h"

namespace tovel::platform::gdi {
namespace {

constexpr int kLargest = 4096;
constexpr off_t kLargestFile = 64 << 20;

uint32_t le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

// Whether an ICO or BMP file holds all that its headers announce: a file cut
// short must not load as a partly decoded picture.
bool complete(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() >= 6 && b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] == 0) {
        const size_t count = static_cast<unsigned char>(b[4]) | static_cast<unsigned char>(b[5])
                                                                    << 8;
        if (count == 0 || b.size() < 6 + 16 * count) return false;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t size = le32(b, 6 + 16 * i + 8), offset = le32(b, 6 + 16 * i + 12);
            if (offset + size > b.size()) return false;
        }
        return true;
    }
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') {
        if (b.size() < 54) return false;
        const uint64_t declared = le32(b, 2), offset = le32(b, 10), image = le32(b, 34);
        if (declared > b.size() || offset > b.size()) return false;
        const int64_t width = static_cast<int32_t>(le32(b, 18));
        const int64_t height = static_cast<int32_t>(le32(b, 22));
        const unsigned bits = static_cast<unsigned char>(b[28]) | static_cast<unsigned char>(b[29])
                                                                      << 8;
        const uint32_t compression = le32(b, 30);
        if (compression == 0 && width > 0 && bits > 0) {
            const uint64_t stride = ((static_cast<uint64_t>(width) * bits + 31) / 32) * 4;
            const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
            if (offset + stride * rows > b.size()) return false;
        } else if (offset + image > b.size()) {
            return false;
        }
        return true;
    }
    return true;  // another format: gdk-pixbuf decides
}

// The picture of an image file, or null with the last error set.
std::shared_ptr<Canvas> decode(const std::string& path, int width, int height, bool opaque) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (st.st_size > kLargestFile) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (!complete(path)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    GError* error = nullptr;
    GdkPixbuf* read = gdk_pixbuf_new_from_file(path.c_str(), &error);
    if (error) g_error_free(error);
    if (!read) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    GdkPixbuf* pixbuf = read;
    int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    if (w < 1 || h < 1 || w > kLargest || h > kLargest ||
        gdk_pixbuf_get_bits_per_sample(pixbuf) != 8) {
        g_object_unref(read);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (width > 0 && height > 0 && (width != w || height != h)) {
        pixbuf = gdk_pixbuf_scale_simple(read, width, height, GDK_INTERP_BILINEAR);
        g_object_unref(read);
        if (!pixbuf) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        w = width;
        h = height;
    }
    auto canvas = std::make_shared<Canvas>(w, h, false);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf) && channels == 4;
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
    canvas->flush();
    for (int y = 0; y < h; ++y) {
        const guchar* p = data + static_cast<size_t>(y) * stride;
        for (int x = 0; x < w; ++x, p += channels) {
            uint32_t a = alpha && !opaque ? p[3] : 255;
            canvas->row(y)[x] = premultiply((a << 24) | (p[0] << 16) | (p[1] << 8) | p[2]);
        }
    }
    canvas->mark_dirty();
    g_object_unref(pixbuf);
    return canvas;
}

}  // namespace
}  // namespace tovel::platform::gdi

using tovel::platform::gdi::gdi_lock;
using tovel::platform::gdi::Object;

HANDLE LoadImageW(HINSTANCE module, LPCWSTR name, UINT type, int width, int height, UINT flags) {
    if (!name || (type != IMAGE_BITMAP && type != IMAGE_ICON)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring windows_path;
    if (flags & LR_LOADFROMFILE) {
        if (IS_INTRESOURCE(name)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        windows_path = name;
    } else {
        if (type != IMAGE_ICON || !IS_INTRESOURCE(name) ||
            !tovel::platform::res::icon_file(
                module, static_cast<UINT>(reinterpret_cast<uintptr_t>(name)), windows_path)) {
            SetLastError(1813);  // the resource type cannot be found
            return nullptr;
        }
    }
    std::string host;
    if (!tovel::platform::host_path(windows_path.c_str(), host)) return nullptr;
    auto canvas = tovel::platform::gdi::decode(host, width, height, type == IMAGE_BITMAP);
    if (!canvas) return nullptr;
    std::lock_guard<std::mutex> guard(gdi_lock());
    Object made{type == IMAGE_BITMAP ? Object::bitmap : Object::icon};
    made.canvas = canvas;
    made.file = host;
    return tovel::platform::gdi::add_object(made);
}

HICON LoadIconW(HINSTANCE module, LPCWSTR name) {
    return reinterpret_cast<HICON>(LoadImageW(module, name, IMAGE_ICON, 0, 0, 0));
}

BOOL DestroyIcon(HICON icon) {
    {
        std::lock_guard<std::mutex> guard(gdi_lock());
        Object* object = tovel::platform::gdi::object_of(reinterpret_cast<HGDIOBJ>(icon));
        if (!object || object->kind != Object::icon) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    return DeleteObject(reinterpret_cast<HGDIOBJ>(icon));
}

BOOL DrawIconEx(HDC handle, int x, int y, HICON icon, int width, int height, UINT /*step*/,
                HBRUSH /*flicker*/, UINT /*flags*/) {
    std::lock_guard<std::mutex> guard(gdi_lock());
    auto* dc = tovel::platform::gdi::dc_of(handle);
    Object* object = tovel::platform::gdi::object_of(reinterpret_cast<HGDIOBJ>(icon));
    if (!dc || !object || object->kind != Object::icon) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto& from = *object->canvas;
    if (width <= 0) width = from.width();
    if (height <= 0) height = from.height();
    auto& to = *dc->target;
    from.flush();
    to.flush();
    for (int j = 0; j < height; ++j) {
        const int ty = y + j + dc->origin.y;
        if (ty < 0 || ty >= to.height()) continue;
        for (int i = 0; i < width; ++i) {
            const int tx = x + i + dc->origin.x;
            if (tx < 0 || tx >= to.width() || !tovel::platform::gdi::may_draw(*dc, tx, ty))
                continue;
            uint32_t s = from.row(j * from.height() / height)[i * from.width() / width];
            uint32_t a = s >> 24;
            uint32_t d = to.row(ty)[tx];
            uint32_t out = 0;
            for (int shift = 0; shift <= 24; shift += 8) {
                uint32_t v = ((s >> shift) & 0xFF) + ((d >> shift) & 0xFF) * (255 - a) / 255;
                out |= std::min<uint32_t>(v, 255) << shift;
            }
            to.row(ty)[tx] = out;
        }
    }
    to.mark_dirty();
    return TRUE;
}
