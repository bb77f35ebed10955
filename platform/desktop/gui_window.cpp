// What windows show and what the user does to them (platform/win/gui.h):
// geometry, visibility, painting, the mouse, activation, focus, the screen,
// and the compositor that turns windows into pictures.
#include <algorithm>
#include <cwctype>
#include <map>
#include <unordered_map>

#include "platform/desktop/gdi_core.h"
#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/window_core.h"
#include "platform/win/errors.h"
#include "platform/win/gui.h"
#include "platform/win/sync.h"
#include "platform/win/time.h"

namespace tovel::platform {
namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
constexpr UINT kHoverTime = 400;
constexpr int kHoverSize = 4;

// The desktop's state, under ui_lock().
struct Desktop {
    POINT cursor = {kScreenWidth / 2, kScreenHeight / 2};
    UINT buttons = 0;
    HWND capture = nullptr;
    HWND focus = nullptr;
    HWND active = nullptr;
    HWND locked = nullptr;
    UINT taskbar_edge = 3;  // ABE_BOTTOM
    int taskbar_thickness = 40;
    UINT double_click = 500;
    uint64_t next_z = 1u << 20;
};

Desktop& desktop() {
    static auto* state = new Desktop;  // lives until the process ends
    return *state;
}

std::atomic<bool> g_maybe_dirty{false};
std::atomic<int> g_hovers{0};

// Every window by handle, for walks under ui_lock() without the registry.
struct Snapshot {
    std::vector<std::shared_ptr<WindowRecord>> windows;
    std::unordered_map<HWND, WindowRecord*> by_handle;
    Snapshot() : windows(all_windows()) {
        for (auto& window : windows) by_handle[window->handle] = window.get();
    }
    WindowRecord* find(HWND handle) const {
        auto it = by_handle.find(handle);
        return it == by_handle.end() ? nullptr : it->second;
    }
};

int width_of(const RECT& rect) { return rect.right - rect.left; }
int height_of(const RECT& rect) { return rect.bottom - rect.top; }
int client_width(const WindowRecord& w) {
    return std::max<int>(width_of(w.ui.rect) - w.ui.insets.left - w.ui.insets.right, 0);
}
int client_height(const WindowRecord& w) {
    return std::max<int>(height_of(w.ui.rect) - w.ui.insets.top - w.ui.insets.bottom, 0);
}

// The screen position of the window's client origin (under ui_lock()).
POINT origin_of(const WindowRecord& window, const Snapshot& all) {
    POINT at = {window.ui.rect.left + window.ui.insets.left,
                window.ui.rect.top + window.ui.insets.top};
    const WindowRecord* walk = &window;
    while (walk->ui.child) {
        walk = all.find(walk->parent);
        if (!walk) break;
        at.x += walk->ui.rect.left + walk->ui.insets.left;
        at.y += walk->ui.rect.top + walk->ui.insets.top;
    }
    return at;
}

bool shows(const WindowRecord& window, const Snapshot& all) {
    const WindowRecord* walk = &window;
    for (;;) {
        if (!(walk->ui.style & WS_VISIBLE) || walk->ui.message_only) return false;
        if (!walk->ui.child) return true;
        walk = all.find(walk->parent);
        if (!walk) return false;
    }
}

WindowRecord* top_of(WindowRecord* window, const Snapshot& all) {
    while (window && window->ui.child) window = all.find(window->parent);
    return window;
}

bool is_within(WindowRecord* window, HWND ancestor, const Snapshot& all) {
    for (; window; window = window->ui.child ? all.find(window->parent) : nullptr)
        if (window->handle == ancestor) return true;
    return false;
}

bool region_has(const WindowRecord& window, int x, int y) {
    if (!window.ui.region) return true;
    return std::static_pointer_cast<gdi::Region>(window.ui.region)->contains(x, y);
}

// Top-level windows that show, bottom first (topmost ones over the others).
std::vector<WindowRecord*> top_levels(const Snapshot& all) {
    std::vector<WindowRecord*> tops;
    for (auto& window : all.windows)
        if (!window->ui.child && shows(*window, all)) tops.push_back(window.get());
    std::sort(tops.begin(), tops.end(), [](WindowRecord* a, WindowRecord* b) {
        if (a->ui.topmost != b->ui.topmost) return !a->ui.topmost;
        return a->ui.z < b->ui.z;
    });
    return tops;
}

// Children of parent that show, bottom first.
std::vector<WindowRecord*> shown_children(HWND parent, const Snapshot& all) {
    std::vector<WindowRecord*> children;
    for (auto& window : all.windows)
        if (window->ui.child && window->parent == parent && (window->ui.style & WS_VISIBLE))
            children.push_back(window.get());
    std::sort(children.begin(), children.end(),
              [](WindowRecord* a, WindowRecord* b) { return a->ui.z < b->ui.z; });
    return children;
}

bool inside(const RECT& r, int x, int y) {
    return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// x, y in the window's client coordinates, inside it.
WindowRecord* deepest_at(WindowRecord* window, int x, int y, const Snapshot& all) {
    auto children = shown_children(window->handle, all);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        const RECT& r = (*it)->ui.rect;
        const RECT& in = (*it)->ui.insets;
        if (inside(r, x, y) && region_has(**it, x - r.left, y - r.top)) {
            RECT client = {r.left + in.left, r.top + in.top, r.right - in.right,
                           r.bottom - in.bottom};
            if (!inside(client, x, y)) return *it;
            return deepest_at(*it, x - client.left, y - client.top, all);
        }
    }
    return window;
}

WindowRecord* hit(POINT point, const Snapshot& all) {
    auto tops = top_levels(all);
    for (auto it = tops.rbegin(); it != tops.rend(); ++it) {
        const RECT& r = (*it)->ui.rect;
        const RECT& in = (*it)->ui.insets;
        if (inside(r, point.x, point.y) && region_has(**it, point.x - r.left, point.y - r.top)) {
            RECT client = {r.left + in.left, r.top + in.top, r.right - in.right,
                           r.bottom - in.bottom};
            if (!inside(client, point.x, point.y)) return *it;
            return deepest_at(*it, point.x - client.left, point.y - client.top, all);
        }
    }
    return nullptr;
}

LPARAM client_point(const WindowRecord& window, POINT screen, const Snapshot& all) {
    POINT origin = origin_of(window, all);
    return MAKELPARAM(screen.x - origin.x, screen.y - origin.y);
}

struct Post {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

void post_all(const std::vector<Post>& posts) {
    for (auto& post : posts) PostMessageW(post.window, post.message, post.wParam, post.lParam);
}

void invalidate_locked(WindowRecord& window, const RECT* rect, bool erase) {
    RECT client = {0, 0, client_width(window), client_height(window)};
    RECT add = client;
    if (rect && !IntersectRect(&add, rect, &client)) return;
    if (IsRectEmpty(&add)) return;
    auto& ui = window.ui;
    if (ui.has_update)
        UnionRect(&ui.update, &ui.update, &add);
    else
        ui.update = add;
    ui.has_update = true;
    ui.erase = ui.erase || erase;
    g_maybe_dirty.store(true);
}

// Sends to a window of the calling thread at once, to another thread's
// without waiting for it.
void tell(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window) SendNotifyMessageW(window, message, wParam, lParam);
}

void set_focus_to(HWND window) {
    HWND old;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        old = desktop().focus;
        if (old == window) return;
        desktop().focus = window;
    }
    if (old && IsWindow(old)) tell(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(window), 0);
    if (window) tell(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
}

// Makes window (a top-level window, or null) the active one.
void activate(HWND window, int how) {
    HWND old;
    bool focus_inside = false;
    {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        old = desktop().active;
        if (old == window) return;
        desktop().active = window;
        focus_inside = window && is_within(all.find(desktop().focus), window, all);
    }
    if (old && IsWindow(old))
        tell(old, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), reinterpret_cast<LPARAM>(window));
    if (!window) return;
    tell(window, WM_ACTIVATE, MAKEWPARAM(how, 0), reinterpret_cast<LPARAM>(old));
    if (!focus_inside) set_focus_to(window);
}

bool can_activate(const WindowRecord& window) {
    return !window.ui.child && !window.ui.message_only && !(window.ui.ex_style & WS_EX_NOACTIVATE);
}

// Sets the rectangle; the messages to send for it are returned.
struct Moved {
    bool moved = false;
    bool sized = false;
    RECT rect;
    int width = 0, height = 0;  // of the client area
};

Moved place(WindowRecord& window, const RECT& rect, bool redraw) {
    Moved result;
    auto& ui = window.ui;
    result.moved = rect.left != ui.rect.left || rect.top != ui.rect.top;
    result.sized = width_of(rect) != width_of(ui.rect) || height_of(rect) != height_of(ui.rect);
    ui.rect = rect;
    result.rect = rect;
    result.width = client_width(window);
    result.height = client_height(window);
    if (result.sized) ui.canvas.reset();  // remade at the new size (window_canvas keeps what fits)
    if (result.sized && redraw) invalidate_locked(window, nullptr, true);
    return result;
}

void send_moves(HWND window, const Moved& moved) {
    if (moved.moved) tell(window, WM_MOVE, 0, MAKELPARAM(moved.rect.left, moved.rect.top));
    if (moved.sized) tell(window, WM_SIZE, 0, MAKELPARAM(moved.width, moved.height));
}

// The old canvas of a window being resized, to copy from.
std::unordered_map<HWND, std::shared_ptr<gdi::Canvas>>& old_canvases() {
    static auto* kept = new std::unordered_map<HWND, std::shared_ptr<gdi::Canvas>>;
    return *kept;
}

}  // namespace

std::mutex& ui_lock() {
    static auto* lock = new std::mutex;  // lives until the process ends
    return *lock;
}

HWND window_to_paint(const ThreadQueue& queue, HWND filter) {
    if (filter == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return nullptr;
    if (!g_maybe_dirty.load()) return nullptr;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    bool any = false;
    for (auto& window : all.windows) {
        if (!window->ui.has_update) continue;
        any = true;
        if (window->queue.get() != &queue) continue;
        if (filter && window->handle != filter) continue;
        if (!shows(*window, all)) continue;
        return window->handle;
    }
    if (!any) g_maybe_dirty.store(false);
    return nullptr;
}

bool hover_due(const ThreadQueue& queue, uint64_t now, MSG& out, uint64_t& due) {
    if (g_hovers.load() == 0) return false;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    for (auto& window : all.windows) {
        auto& ui = window->ui;
        if (!ui.hover || window->queue.get() != &queue) continue;
        if (ui.hover_due > now) {
            due = std::min(due, ui.hover_due);
            continue;
        }
        ui.hover = false;
        g_hovers.fetch_sub(1);
        out = MSG{window->handle,
                  WM_MOUSEHOVER,
                  desktop().buttons,
                  client_point(*window, desktop().cursor, all),
                  0,
                  {0, 0}};
        return true;
    }
    return false;
}

void window_going(WindowRecord& window) {
    bool was_active;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        auto& d = desktop();
        was_active = d.active == window.handle;
        if (was_active) d.active = nullptr;
        if (d.focus == window.handle) d.focus = nullptr;
        if (d.capture == window.handle) d.capture = nullptr;
        if (d.locked == window.handle) d.locked = nullptr;
        if (window.ui.hover) g_hovers.fetch_sub(1);
        window.ui.hover = false;
        window.ui.leave = false;
        window.ui.has_update = false;
    }
    if (was_active) call_procedure(window, WM_ACTIVATE, MAKEWPARAM(WA_INACTIVE, 0), 0);
}

void window_created(WindowRecord& window) {
    bool visible, activates;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        visible = (window.ui.style & WS_VISIBLE) && !window.ui.message_only;
        activates = visible && can_activate(window);
        if (visible) invalidate_locked(window, nullptr, true);
    }
    if (!visible) return;
    call_procedure(window, WM_SHOWWINDOW, TRUE, 0);
    if (activates && IsWindow(window.handle)) activate(window.handle, WA_ACTIVE);
}

void set_frame(HWND window, const RECT& insets) {
    auto record = find_window(window);
    if (!record) return;
    std::lock_guard<std::mutex> guard(ui_lock());
    record->ui.insets = insets;
    record->ui.canvas.reset();
}

namespace gdi {

std::shared_ptr<Canvas> window_canvas(HWND window) {
    auto record = find_window(window);
    if (!record) return nullptr;
    std::lock_guard<std::mutex> guard(ui_lock());
    auto& ui = record->ui;
    if (ui.canvas) return std::static_pointer_cast<Canvas>(ui.canvas);
    auto canvas = std::make_shared<Canvas>(client_width(*record), client_height(*record), false);
    auto kept = old_canvases().find(window);
    if (kept != old_canvases().end()) {
        auto& old = kept->second;
        old->flush();
        const int w = std::min(old->width(), canvas->width());
        const int h = std::min(old->height(), canvas->height());
        for (int y = 0; y < h; ++y) std::copy(old->row(y), old->row(y) + w, canvas->row(y));
        canvas->mark_dirty();
        old_canvases().erase(kept);
    }
    ui.canvas = canvas;
    return canvas;
}

}  // namespace gdi

namespace desk {

RECT screen_rect() { return {0, 0, kScreenWidth, kScreenHeight}; }

RECT taskbar_rect(UINT* edge) {
    std::lock_guard<std::mutex> guard(ui_lock());
    const int t = desktop().taskbar_thickness;
    if (edge) *edge = desktop().taskbar_edge;
    switch (desktop().taskbar_edge) {
        case 0:
            return {0, 0, t, kScreenHeight};
        case 1:
            return {0, 0, kScreenWidth, t};
        case 2:
            return {kScreenWidth - t, 0, kScreenWidth, kScreenHeight};
        default:
            return {0, kScreenHeight - t, kScreenWidth, kScreenHeight};
    }
}

RECT work_area() {
    UINT edge;
    RECT bar = taskbar_rect(&edge);
    RECT work = screen_rect();
    switch (edge) {
        case 0:
            work.left = bar.right;
            break;
        case 1:
            work.top = bar.bottom;
            break;
        case 2:
            work.right = bar.left;
            break;
        default:
            work.bottom = bar.top;
            break;
    }
    return work;
}

void set_taskbar(UINT edge, int thickness) {
    std::lock_guard<std::mutex> guard(ui_lock());
    desktop().taskbar_edge = edge <= 3 ? edge : 3;
    desktop().taskbar_thickness = std::clamp(thickness, 0, 400);
}

void set_double_click_time(UINT milliseconds) {
    std::lock_guard<std::mutex> guard(ui_lock());
    desktop().double_click = milliseconds;
}

std::vector<HWND> broadcast_targets() {
    std::vector<HWND> targets;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    for (auto& window : all.windows)
        if (!window->ui.child && !window->ui.message_only && !window->parent)
            targets.push_back(window->handle);
    return targets;
}

std::vector<TopWindow> top_windows() {
    std::vector<TopWindow> out;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    for (auto& window : all.windows)
        if (!window->ui.child && !window->ui.message_only && !window->parent)
            out.push_back({window->handle, window->ui.text, window->ui.class_name, window->ui.rect,
                           shows(*window, all)});
    return out;
}

void inject_move(int x, int y) {
    std::vector<Post> posts;
    {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        auto& d = desktop();
        d.cursor = {x, y};
        WindowRecord* under = hit(d.cursor, all);
        for (auto& window : all.windows) {
            auto& ui = window->ui;
            if (window.get() == under) continue;
            if (ui.leave) {
                ui.leave = false;
                posts.push_back({window->handle, WM_MOUSELEAVE, 0, 0});
            }
            if (ui.hover) {
                ui.hover = false;
                g_hovers.fetch_sub(1);
            }
        }
        if (under && under->ui.hover &&
            (std::abs(x - under->ui.hover_at.x) > kHoverSize / 2 ||
             std::abs(y - under->ui.hover_at.y) > kHoverSize / 2)) {
            under->ui.hover_at = d.cursor;
            under->ui.hover_due = timer_clock_now() + under->ui.hover_time;
        }
        WindowRecord* target = d.capture ? all.find(d.capture) : under;
        if (target && !(target->ui.style & WS_DISABLED))
            posts.push_back(
                {target->handle, WM_MOUSEMOVE, d.buttons, client_point(*target, d.cursor, all)});
    }
    post_all(posts);
}

void inject_button(int x, int y, bool right, bool down) {
    bool elsewhere;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        elsewhere = desktop().cursor.x != x || desktop().cursor.y != y;
    }
    if (elsewhere) inject_move(x, y);
    HWND activate_to = nullptr;
    bool change_activation = false;
    Post post = {nullptr, 0, 0, 0};
    {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        auto& d = desktop();
        WindowRecord* under = hit(d.cursor, all);
        if (down) {
            WindowRecord* top = top_of(under, all);
            if (!top) {
                change_activation = d.active != nullptr;
            } else if (can_activate(*top) && d.active != top->handle) {
                change_activation = true;
                activate_to = top->handle;
            }
        }
        const UINT flag = right ? MK_RBUTTON : MK_LBUTTON;
        d.buttons = down ? (d.buttons | flag) : (d.buttons & ~flag);
        WindowRecord* target = d.capture ? all.find(d.capture) : under;
        if (target && !(target->ui.style & WS_DISABLED)) {
            UINT message = right ? (down ? WM_RBUTTONDOWN : WM_RBUTTONUP)
                                 : (down ? WM_LBUTTONDOWN : WM_LBUTTONUP);
            post = {target->handle, message, d.buttons, client_point(*target, d.cursor, all)};
        }
    }
    if (change_activation) activate(activate_to, WA_CLICKACTIVE);
    if (post.window) PostMessageW(post.window, post.message, post.wParam, post.lParam);
}

namespace {

void blend_over(std::vector<uint32_t>& to, int to_width, int to_height, int x0, int y0,
                const Shown& from) {
    for (int y = 0; y < from.height; ++y) {
        const int ty = y0 + y;
        if (ty < 0 || ty >= to_height) continue;
        for (int x = 0; x < from.width; ++x) {
            const int tx = x0 + x;
            if (tx < 0 || tx >= to_width) continue;
            uint32_t s = from.pixels[static_cast<size_t>(y) * from.width + x];
            uint32_t a = s >> 24;
            if (a == 0) continue;
            uint32_t& d = to[static_cast<size_t>(ty) * to_width + tx];
            if (a == 255) {
                d = s;
                continue;
            }
            uint32_t da = d >> 24;
            uint32_t oa = a + da * (255 - a) / 255;
            auto channel = [&](int shift) {
                uint32_t sc = (s >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
                uint32_t v = oa ? (sc * a + dc * da * (255 - a) / 255) / oa : 0;
                return std::min<uint32_t>(v, 255) << shift;
            };
            d = (oa << 24) | channel(16) | channel(8) | channel(0);
        }
    }
}

Shown compose(WindowRecord& window, const Snapshot& all, bool apply_alpha) {
    Shown shown;
    shown.width = std::max<int>(width_of(window.ui.rect), 0);
    shown.height = std::max<int>(height_of(window.ui.rect), 0);
    shown.pixels.assign(static_cast<size_t>(shown.width) * shown.height, 0);
    const RECT& in = window.ui.insets;
    if (in.left || in.top || in.right || in.bottom) {
        // A plain frame: a border and a caption bar.
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                shown.pixels[static_cast<size_t>(y) * shown.width + x] =
                    y < in.top && y > 0 && x > 0 && x < shown.width - 1 ? 0xFF2D5F8Bu : 0xFF1E3C5Au;
    }
    const int cw = client_width(window), ch = client_height(window);
    if (window.ui.canvas) {
        auto canvas = std::static_pointer_cast<gdi::Canvas>(window.ui.canvas);
        canvas->flush();
        for (int y = 0; y < std::min(ch, canvas->height()); ++y)
            for (int x = 0; x < std::min(cw, canvas->width()); ++x)
                shown.pixels[static_cast<size_t>(y + in.top) * shown.width + x + in.left] =
                    gdi::unpremultiply(canvas->row(y)[x]);
    }
    for (WindowRecord* child : shown_children(window.handle, all)) {
        Shown part = compose(*child, all, false);
        // Clipped to the client area.
        for (int y = 0; y < part.height; ++y)
            for (int x = 0; x < part.width; ++x) {
                const int px = child->ui.rect.left + x, py = child->ui.rect.top + y;
                if (px < 0 || py < 0 || px >= cw || py >= ch)
                    part.pixels[static_cast<size_t>(y) * part.width + x] = 0;
            }
        blend_over(shown.pixels, shown.width, shown.height, child->ui.rect.left + in.left,
                   child->ui.rect.top + in.top, part);
    }
    if (window.ui.region) {
        auto region = std::static_pointer_cast<gdi::Region>(window.ui.region);
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (!region->contains(x, y))
                    shown.pixels[static_cast<size_t>(y) * shown.width + x] = 0;
    }
    if (apply_alpha && (window.ui.ex_style & WS_EX_LAYERED)) {
        for (auto& pixel : shown.pixels) {
            if (window.ui.color_key && (pixel >> 24) == 255 &&
                ((pixel & 0xFF) << 16 | (pixel & 0xFF00) | ((pixel >> 16) & 0xFF)) ==
                    (window.ui.key & 0xFFFFFF)) {
                pixel = 0;
                continue;
            }
            if (window.ui.layered_alpha) {
                uint32_t a = (pixel >> 24) * window.ui.alpha / 255;
                pixel = (a << 24) | (pixel & 0xFFFFFF);
            }
        }
    }
    return shown;
}

}  // namespace

Shown compose_window(HWND window) {
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    WindowRecord* record = all.find(window);
    if (!record) return {};
    return compose(*record, all, true);
}

void compose_screen(std::vector<uint32_t>& pixels) {
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    for (WindowRecord* top : top_levels(all)) {
        Shown part = compose(*top, all, true);
        blend_over(pixels, kScreenWidth, kScreenHeight, top->ui.rect.left, top->ui.rect.top, part);
    }
}

}  // namespace desk
}  // namespace tovel::platform

using tovel::platform::desktop;
using tovel::platform::find_window;
using tovel::platform::Snapshot;
using tovel::platform::ui_lock;
using tovel::platform::WindowRecord;

// --- rectangles ---------------------------------------------------------------

BOOL SetRect(LPRECT rect, int left, int top, int right, int bottom) {
    if (!rect) return FALSE;
    *rect = {left, top, right, bottom};
    return TRUE;
}
BOOL SetRectEmpty(LPRECT rect) { return SetRect(rect, 0, 0, 0, 0); }
BOOL CopyRect(LPRECT to, const RECT* from) {
    if (!to || !from) return FALSE;
    *to = *from;
    return TRUE;
}
BOOL PtInRect(const RECT* rect, POINT point) {
    return rect && tovel::platform::inside(*rect, point.x, point.y) ? TRUE : FALSE;
}
BOOL IsRectEmpty(const RECT* rect) {
    return !rect || rect->right <= rect->left || rect->bottom <= rect->top ? TRUE : FALSE;
}
BOOL OffsetRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left += dx;
    rect->right += dx;
    rect->top += dy;
    rect->bottom += dy;
    return TRUE;
}
BOOL InflateRect(LPRECT rect, int dx, int dy) {
    if (!rect) return FALSE;
    rect->left -= dx;
    rect->right += dx;
    rect->top -= dy;
    rect->bottom += dy;
    return TRUE;
}
BOOL IntersectRect(LPRECT out, const RECT* a, const RECT* b) {
    if (!out || !a || !b) return FALSE;
    RECT r = {std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
              std::min(a->bottom, b->bottom)};
    if (IsRectEmpty(&r)) {
        *out = {0, 0, 0, 0};
        return FALSE;
    }
    *out = r;
    return TRUE;
}
BOOL UnionRect(LPRECT out, const RECT* a, const RECT* b) {
    if (!out || !a || !b) return FALSE;
    if (IsRectEmpty(a)) {
        *out = *b;
    } else if (IsRectEmpty(b)) {
        *out = *a;
    } else {
        *out = {std::min(a->left, b->left), std::min(a->top, b->top), std::max(a->right, b->right),
                std::max(a->bottom, b->bottom)};
    }
    return IsRectEmpty(out) ? FALSE : TRUE;
}
BOOL EqualRect(const RECT* a, const RECT* b) {
    return a && b && a->left == b->left && a->top == b->top && a->right == b->right &&
                   a->bottom == b->bottom
               ? TRUE
               : FALSE;
}
int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) return -1;
    long long product = static_cast<long long>(number) * numerator;
    long long half = std::llabs(denominator) / 2;
    long long result = (product >= 0) == (denominator > 0)
                           ? (std::llabs(product) + half) / std::llabs(denominator)
                           : -((std::llabs(product) + half) / std::llabs(denominator));
    return static_cast<int>(result);
}

// --- geometry -------------------------------------------------------------------

namespace {

HWND desktop_window() { return reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010)); }

}  // namespace

HWND GetDesktopWindow() { return desktop_window(); }

BOOL GetWindowRect(HWND window, LPRECT rect) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (window == desktop_window()) {
        *rect = tovel::platform::desk::screen_rect();
        return TRUE;
    }
    if (!find_window(window)) return FALSE;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    WindowRecord* record = all.find(window);
    if (!record) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    POINT at = tovel::platform::origin_of(*record, all);
    at.x -= record->ui.insets.left;
    at.y -= record->ui.insets.top;
    *rect = {at.x, at.y, at.x + tovel::platform::width_of(record->ui.rect),
             at.y + tovel::platform::height_of(record->ui.rect)};
    return TRUE;
}

BOOL GetClientRect(HWND window, LPRECT rect) {
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (window == desktop_window()) {
        *rect = tovel::platform::desk::screen_rect();
        return TRUE;
    }
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    *rect = {0, 0, tovel::platform::client_width(*record), tovel::platform::client_height(*record)};
    return TRUE;
}

namespace {

bool screen_origin(HWND window, POINT& at) {
    if (!window || window == desktop_window()) {
        at = {0, 0};
        return true;
    }
    if (!find_window(window)) return false;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    WindowRecord* record = all.find(window);
    if (!record) return false;
    at = tovel::platform::origin_of(*record, all);
    return true;
}

}  // namespace

BOOL ClientToScreen(HWND window, LPPOINT point) {
    POINT at;
    if (!point || !screen_origin(window, at)) return FALSE;
    point->x += at.x;
    point->y += at.y;
    return TRUE;
}

BOOL ScreenToClient(HWND window, LPPOINT point) {
    POINT at;
    if (!point || !screen_origin(window, at)) return FALSE;
    point->x -= at.x;
    point->y -= at.y;
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count) {
    POINT a, b;
    if (!screen_origin(from, a) || !screen_origin(to, b)) return 0;
    const int dx = a.x - b.x, dy = a.y - b.y;
    for (UINT i = 0; points && i < count; ++i) {
        points[i].x += dx;
        points[i].y += dy;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<int>(MAKELONG_(static_cast<WORD>(dx), static_cast<WORD>(dy)));
}

BOOL SetWindowPos(HWND window, HWND after, int x, int y, int width, int height, UINT flags) {
    auto record = find_window(window);
    if (!record) return FALSE;
    tovel::platform::Moved moved;
    {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        auto& ui = record->ui;
        if (!(flags & SWP_NOZORDER)) {
            auto& d = desktop();
            if (after == HWND_TOPMOST) {
                ui.topmost = true;
                ui.z = ++d.next_z;
            } else if (after == HWND_NOTOPMOST) {
                ui.topmost = false;
                ui.z = ++d.next_z;
            } else if (after == HWND_TOP) {
                ui.z = ++d.next_z;
            } else if (after == HWND_BOTTOM) {
                ui.z = 0;
            } else if (WindowRecord* sibling = all.find(after)) {
                ui.z = sibling->ui.z > 0 ? sibling->ui.z - 1 : 0;
            }
        }
        RECT rect = ui.rect;
        if (!(flags & SWP_NOMOVE)) OffsetRect(&rect, x - rect.left, y - rect.top);
        if (!(flags & SWP_NOSIZE)) {
            rect.right = rect.left + std::max(width, 0);
            rect.bottom = rect.top + std::max(height, 0);
        }
        if (tovel::platform::width_of(rect) != tovel::platform::width_of(ui.rect) ||
            tovel::platform::height_of(rect) != tovel::platform::height_of(ui.rect)) {
            if (ui.canvas)
                tovel::platform::old_canvases()[window] =
                    std::static_pointer_cast<tovel::platform::gdi::Canvas>(ui.canvas);
        }
        moved = tovel::platform::place(*record, rect, !(flags & SWP_NOREDRAW));
    }
    tovel::platform::send_moves(window, moved);
    if (flags & SWP_SHOWWINDOW) ShowWindow(window, SW_SHOWNA);
    if (flags & SWP_HIDEWINDOW) ShowWindow(window, SW_HIDE);
    return TRUE;
}

BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint) {
    return SetWindowPos(window, nullptr, x, y, width, height,
                        SWP_NOZORDER | SWP_NOACTIVATE | (repaint ? 0 : SWP_NOREDRAW));
}

struct HDWP__ {
    struct Step {
        HWND window, after;
        int x, y, width, height;
        UINT flags;
    };
    std::vector<Step> steps;
};

HDWP BeginDeferWindowPos(int count) {
    if (count < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* batch = new HDWP__;
    batch->steps.reserve(static_cast<size_t>(count));
    return batch;
}

HDWP DeferWindowPos(HDWP batch, HWND window, HWND after, int x, int y, int width, int height,
                    UINT flags) {
    if (!batch) return nullptr;
    if (!IsWindow(window)) {
        delete batch;
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    batch->steps.push_back({window, after, x, y, width, height, flags});
    return batch;
}

BOOL EndDeferWindowPos(HDWP batch) {
    if (!batch) return FALSE;
    BOOL all = TRUE;
    for (auto& s : batch->steps)
        if (!SetWindowPos(s.window, s.after, s.x, s.y, s.width, s.height, s.flags)) all = FALSE;
    delete batch;
    return all;
}

BOOL ShowWindow(HWND window, int command) {
    auto record = find_window(window);
    if (!record) return FALSE;
    bool was, now, activates, deactivates = false;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        auto& ui = record->ui;
        was = (ui.style & WS_VISIBLE) != 0;
        now = command != SW_HIDE;
        if (now)
            ui.style |= WS_VISIBLE;
        else
            ui.style &= ~WS_VISIBLE;
        if (now && !was) tovel::platform::invalidate_locked(*record, nullptr, true);
        activates = now && (command == SW_SHOW || command == SW_SHOWNORMAL) &&
                    tovel::platform::can_activate(*record);
        if (!now && desktop().active == window) deactivates = true;
    }
    if (was != now) tovel::platform::tell(window, WM_SHOWWINDOW, now ? TRUE : FALSE, 0);
    if (activates) tovel::platform::activate(window, WA_ACTIVE);
    if (deactivates) tovel::platform::activate(nullptr, WA_INACTIVE);
    return was ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) {
    if (!find_window(window)) return FALSE;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    WindowRecord* record = all.find(window);
    return record && tovel::platform::shows(*record, all) ? TRUE : FALSE;
}

BOOL EnableWindow(HWND window, BOOL enable) {
    auto record = find_window(window);
    if (!record) return FALSE;
    bool was_disabled;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        was_disabled = (record->ui.style & WS_DISABLED) != 0;
        if (enable)
            record->ui.style &= ~WS_DISABLED;
        else
            record->ui.style |= WS_DISABLED;
    }
    if (was_disabled == static_cast<bool>(enable))
        tovel::platform::tell(window, WM_ENABLE, enable ? TRUE : FALSE, 0);
    return was_disabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND window) {
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    return (record->ui.style & WS_DISABLED) ? FALSE : TRUE;
}

HWND GetParent(HWND window) {
    auto record = find_window(window);
    if (!record) return nullptr;
    return record->parent;
}

LONG GetWindowLongW(HWND window, int index) {
    auto record = find_window(window);
    if (!record) return 0;
    std::lock_guard<std::mutex> guard(ui_lock());
    switch (index) {
        case GWL_STYLE:
            return static_cast<LONG>(record->ui.style);
        case GWL_EXSTYLE:
            return static_cast<LONG>(record->ui.ex_style);
        case GWLP_ID:
            return static_cast<LONG>(record->ui.id);
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

LONG SetWindowLongW(HWND window, int index, LONG value) {
    auto record = find_window(window);
    if (!record) return 0;
    std::lock_guard<std::mutex> guard(ui_lock());
    LONG previous;
    switch (index) {
        case GWL_STYLE:
            previous = static_cast<LONG>(record->ui.style);
            record->ui.style = static_cast<DWORD>(value);
            return previous;
        case GWL_EXSTYLE:
            previous = static_cast<LONG>(record->ui.ex_style);
            record->ui.ex_style = static_cast<DWORD>(value);
            return previous;
        case GWLP_ID:
            previous = static_cast<LONG>(record->ui.id);
            record->ui.id = static_cast<UINT_PTR>(value);
            return previous;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
    }
}

HWND WindowFromPoint(POINT point) {
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    WindowRecord* record = tovel::platform::hit(point, all);
    return record ? record->handle : nullptr;
}

HWND GetDlgItem(HWND window, int id) {
    if (!find_window(window)) return nullptr;
    Snapshot all;
    std::lock_guard<std::mutex> guard(ui_lock());
    for (auto& each : all.windows)
        if (each->ui.child && each->parent == window && each->ui.id == static_cast<UINT_PTR>(id))
            return each->handle;
    SetLastError(1421);  // the control id was not found
    return nullptr;
}

int GetDlgCtrlID(HWND window) { return static_cast<int>(GetWindowLongW(window, GWLP_ID)); }

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
    auto record = find_window(window);
    if (!record) return FALSE;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        record->ui.text = text ? text : L"";
    }
    InvalidateRect(window, nullptr, TRUE);
    return TRUE;
}

int GetWindowTextW(HWND window, LPWSTR text, int size) {
    auto record = find_window(window);
    if (!record || !text || size <= 0) return 0;
    std::lock_guard<std::mutex> guard(ui_lock());
    const auto& own = record->ui.text;
    const int n = std::min<int>(static_cast<int>(own.size()), size - 1);
    std::copy(own.begin(), own.begin() + n, text);
    text[n] = 0;
    return n;
}

int GetWindowTextLengthW(HWND window) {
    auto record = find_window(window);
    if (!record) return 0;
    std::lock_guard<std::mutex> guard(ui_lock());
    return static_cast<int>(record->ui.text.size());
}

// --- painting ---------------------------------------------------------------------

BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase) {
    if (!window) {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        for (auto& each : all.windows) tovel::platform::invalidate_locked(*each, nullptr, erase);
        return TRUE;
    }
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    tovel::platform::invalidate_locked(*record, rect, erase);
    return TRUE;
}

BOOL ValidateRect(HWND window, const RECT* rect) {
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    auto& ui = record->ui;
    if (!rect) {
        ui.has_update = false;
        ui.erase = false;
        return TRUE;
    }
    // A rectangle that covers the update area validates it; a part leaves
    // the whole bounding rectangle to paint.
    RECT cover;
    UnionRect(&cover, &ui.update, rect);
    if (EqualRect(&cover, rect)) {
        ui.has_update = false;
        ui.erase = false;
    }
    return TRUE;
}

BOOL GetUpdateRect(HWND window, LPRECT rect, BOOL /*erase*/) {
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    if (rect) *rect = record->ui.has_update ? record->ui.update : RECT{0, 0, 0, 0};
    return record->ui.has_update ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND window) {
    auto record = find_window(window);
    if (!record) return FALSE;
    bool paint;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        paint = record->ui.has_update;
    }
    if (paint) SendMessageW(window, WM_PAINT, 0, 0);
    return TRUE;
}

BOOL RedrawWindow(HWND window, const RECT* rect, HRGN /*region*/, UINT flags) {
    if (flags & RDW_INVALIDATE) InvalidateRect(window, rect, (flags & RDW_ERASE) ? TRUE : FALSE);
    if (flags & RDW_UPDATENOW) UpdateWindow(window);
    return TRUE;
}

BOOL LockWindowUpdate(HWND window) {
    std::lock_guard<std::mutex> guard(ui_lock());
    auto& d = desktop();
    if (window && d.locked && d.locked != window) return FALSE;
    d.locked = window;
    return TRUE;
}

int SetWindowRgn(HWND window, HRGN region, BOOL redraw) {
    auto record = find_window(window);
    if (!record) return 0;
    std::shared_ptr<tovel::platform::gdi::Region> shape;
    if (region) {
        shape = tovel::platform::gdi::take_region(region);
        if (!shape) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
    }
    std::lock_guard<std::mutex> guard(ui_lock());
    record->ui.region = shape;
    if (redraw) tovel::platform::invalidate_locked(*record, nullptr, true);
    return 1;
}

BOOL SetLayeredWindowAttributes(HWND window, COLORREF key, BYTE alpha, DWORD flags) {
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    auto& ui = record->ui;
    if (!(ui.ex_style & WS_EX_LAYERED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ui.layered_alpha = (flags & LWA_ALPHA) != 0;
    ui.alpha = alpha;
    ui.color_key = (flags & LWA_COLORKEY) != 0;
    ui.key = key;
    return TRUE;
}

BOOL GetLayeredWindowAttributes(HWND window, COLORREF* key, BYTE* alpha, DWORD* flags) {
    auto record = find_window(window);
    if (!record) return FALSE;
    std::lock_guard<std::mutex> guard(ui_lock());
    auto& ui = record->ui;
    if (key) *key = ui.key;
    if (alpha) *alpha = ui.alpha;
    if (flags) *flags = (ui.layered_alpha ? LWA_ALPHA : 0) | (ui.color_key ? LWA_COLORKEY : 0);
    return TRUE;
}

// --- the mouse -----------------------------------------------------------------------

BOOL GetCursorPos(LPPOINT point) {
    if (!point) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(ui_lock());
    *point = desktop().cursor;
    return TRUE;
}

BOOL SetCursorPos(int x, int y) {
    std::lock_guard<std::mutex> guard(ui_lock());
    desktop().cursor = {x, y};
    return TRUE;
}

HWND SetCapture(HWND window) {
    if (!find_window(window)) return nullptr;
    HWND old;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        old = desktop().capture;
        desktop().capture = window;
    }
    if (old && old != window)
        tovel::platform::tell(old, WM_CAPTURECHANGED, 0, reinterpret_cast<LPARAM>(window));
    return old;
}

BOOL ReleaseCapture() {
    HWND old;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        old = desktop().capture;
        desktop().capture = nullptr;
    }
    if (old) tovel::platform::tell(old, WM_CAPTURECHANGED, 0, 0);
    return TRUE;
}

HWND GetCapture() {
    std::lock_guard<std::mutex> guard(ui_lock());
    return desktop().capture;
}

BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track) {
    if (!track || track->cbSize != sizeof(TRACKMOUSEEVENT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!find_window(track->hwndTrack)) return FALSE;
    bool leave_now = false;
    {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        WindowRecord* record = all.find(track->hwndTrack);
        if (!record) return FALSE;
        auto& ui = record->ui;
        if (track->dwFlags & TME_CANCEL) {
            if ((track->dwFlags & TME_HOVER) && ui.hover) {
                ui.hover = false;
                tovel::platform::g_hovers.fetch_sub(1);
            }
            if (track->dwFlags & TME_LEAVE) ui.leave = false;
            return TRUE;
        }
        WindowRecord* under = tovel::platform::hit(desktop().cursor, all);
        if (track->dwFlags & TME_HOVER) {
            if (under == record) {
                if (!ui.hover) tovel::platform::g_hovers.fetch_add(1);
                ui.hover = true;
                ui.hover_time = track->dwHoverTime == HOVER_DEFAULT ? tovel::platform::kHoverTime
                                                                    : track->dwHoverTime;
                ui.hover_at = desktop().cursor;
                ui.hover_due = tovel::platform::timer_clock_now() + ui.hover_time;
            }
        }
        if (track->dwFlags & TME_LEAVE) {
            if (under == record)
                ui.leave = true;
            else
                leave_now = true;
        }
    }
    if (leave_now) PostMessageW(track->hwndTrack, WM_MOUSELEAVE, 0, 0);
    return TRUE;
}

UINT GetDoubleClickTime() {
    std::lock_guard<std::mutex> guard(ui_lock());
    return desktop().double_click;
}

// --- activation and focus ---------------------------------------------------------

HWND SetActiveWindow(HWND window) {
    HWND old = GetActiveWindow();
    if (window && !find_window(window)) return nullptr;
    HWND top = window;
    if (window) {
        Snapshot all;
        std::lock_guard<std::mutex> guard(ui_lock());
        WindowRecord* record = tovel::platform::top_of(all.find(window), all);
        top = record ? record->handle : nullptr;
    }
    tovel::platform::activate(top, WA_ACTIVE);
    return old;
}

HWND GetActiveWindow() {
    std::lock_guard<std::mutex> guard(ui_lock());
    return desktop().active;
}

BOOL SetForegroundWindow(HWND window) {
    if (!find_window(window)) return FALSE;
    SetActiveWindow(window);
    return TRUE;
}

HWND GetForegroundWindow() { return GetActiveWindow(); }

HWND SetFocus(HWND window) {
    if (window && !find_window(window)) return nullptr;
    HWND old;
    {
        std::lock_guard<std::mutex> guard(ui_lock());
        old = desktop().focus;
    }
    tovel::platform::set_focus_to(window);
    return old;
}

HWND GetFocus() {
    std::lock_guard<std::mutex> guard(ui_lock());
    return desktop().focus;
}

// --- the screen --------------------------------------------------------------------

int GetSystemMetrics(int index) {
    switch (index) {
        case SM_CXSCREEN:
        case SM_CXVIRTUALSCREEN:
            return tovel::platform::kScreenWidth;
        case SM_CYSCREEN:
        case SM_CYVIRTUALSCREEN:
            return tovel::platform::kScreenHeight;
        case SM_CXICON:
        case SM_CYICON:
            return 32;
        case SM_CXSMICON:
        case SM_CYSMICON:
            return 16;
        case SM_CXDOUBLECLK:
        case SM_CYDOUBLECLK:
            return 4;
        default:
            return 0;
    }
}

BOOL SystemParametersInfoW(UINT action, UINT /*uiParam*/, PVOID parameter, UINT /*winIni*/) {
    if (!parameter) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    switch (action) {
        case SPI_GETWORKAREA:
            *static_cast<RECT*>(parameter) = tovel::platform::desk::work_area();
            return TRUE;
        case SPI_GETMOUSEHOVERTIME:
            *static_cast<UINT*>(parameter) = tovel::platform::kHoverTime;
            return TRUE;
        case SPI_GETMOUSEHOVERWIDTH:
        case SPI_GETMOUSEHOVERHEIGHT:
            *static_cast<UINT*>(parameter) = tovel::platform::kHoverSize;
            return TRUE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}
