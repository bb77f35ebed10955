// Window classes and windows: their registry, creation and destruction, and
// the procedures' defaults.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/desktop/gui_remote_hooks.h"
#include "platform/desktop/window_broadcast.h"
#include "platform/desktop/window_core.h"
#include "platform/kernel/host_names.h"
#include "platform/win/errors.h"
#include "platform/win/gui.h"
#include "platform/win/sync.h"
#include "platform/win/time.h"

namespace tovel::platform {
namespace {

struct WindowClass {
    ATOM atom;
    std::wstring name;
    WNDPROC procedure;
    size_t extra_bytes;
};

struct Registry {
    std::mutex lock;
    std::map<std::wstring, std::shared_ptr<WindowClass>> classes;
    std::unordered_map<ATOM, std::shared_ptr<WindowClass>> atoms;
    ATOM next_atom = 0xC000;
    std::unordered_map<uintptr_t, std::shared_ptr<WindowRecord>> windows;
    uintptr_t next_window = 0x20000;
};

Registry& registry() {
    static auto* instance = new Registry;  // lives until the process ends
    return *instance;
}

bool is_atom(const void* name) { return reinterpret_cast<uintptr_t>(name) < 0x10000; }

ATOM register_class(const std::wstring& name, WNDPROC procedure, int extra_bytes) {
    if (!procedure || name.empty() || extra_bytes < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    if (all.classes.count(name) || all.next_atom == 0xFFFF) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto made = std::make_shared<WindowClass>(
        WindowClass{all.next_atom++, name, procedure, static_cast<size_t>(extra_bytes)});
    all.classes[name] = made;
    all.atoms[made->atom] = made;
    return made->atom;
}

std::shared_ptr<WindowClass> find_class(LPCWSTR name) {
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    if (is_atom(name)) {
        auto it = all.atoms.find(static_cast<ATOM>(reinterpret_cast<uintptr_t>(name)));
        if (it != all.atoms.end()) return it->second;
    } else {
        auto it = all.classes.find(name);
        if (it != all.classes.end()) return it->second;
    }
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
}

std::vector<std::shared_ptr<WindowRecord>> children_of(HWND parent) {
    std::vector<std::shared_ptr<WindowRecord>> children;
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    for (auto& entry : all.windows)
        if (entry.second->parent == parent) children.push_back(entry.second);
    return children;
}

// Marks the window gone, so that no message reaches it any more, and answers
// with 0 what was sent to it and not yet run.
void close_off(WindowRecord& window) {
    std::deque<std::shared_ptr<SentMessage>> dropped;
    {
        std::lock_guard<std::mutex> guard(window.queue->lock);
        window.gone = true;
        auto& sent = window.queue->sent;
        for (auto it = sent.begin(); it != sent.end();) {
            if ((*it)->window == window.handle) {
                dropped.push_back(std::move(*it));
                it = sent.erase(it);
            } else {
                ++it;
            }
        }
        auto& timers = window.queue->timers;
        for (auto it = timers.begin(); it != timers.end();)
            it = it->window == window.handle ? timers.erase(it) : it + 1;
    }
    for (auto& sent : dropped) complete(*sent, 0);
}

void forget(HWND window) {
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    all.windows.erase(reinterpret_cast<uintptr_t>(window));
}

// WM_DESTROY, the children (of this thread) destroyed, WM_NCDESTROY.
void destroy_tree(WindowRecord& window) {
    window.destroying = true;
    window_going(window);
    call_procedure(window, WM_DESTROY, 0, 0);
    for (auto& child : children_of(window.handle))
        if (child->queue == window.queue && !child->destroying) destroy_tree(*child);
    call_procedure(window, WM_NCDESTROY, 0, 0);
    close_off(window);
    forget(window.handle);
}

std::wstring wide(LPCSTR text) {
    return text ? wide_from_host_name(text, std::strlen(text)) : std::wstring();
}

}  // namespace

std::shared_ptr<WindowRecord> find_window(HWND window) {
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    auto it = all.windows.find(reinterpret_cast<uintptr_t>(window));
    if (it != all.windows.end()) return it->second;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

LRESULT call_procedure(const WindowRecord& window, UINT message, WPARAM wParam, LPARAM lParam) {
    return window.procedure.load()(window.handle, message, wParam, lParam);
}

void forget_windows_of(const ThreadQueue& queue) {
    std::vector<std::shared_ptr<WindowRecord>> dropped;  // destroyed outside the lock
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    for (auto it = all.windows.begin(); it != all.windows.end();) {
        if (it->second->queue.get() == &queue) {
            dropped.push_back(std::move(it->second));
            it = all.windows.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<std::shared_ptr<WindowRecord>> all_windows() {
    std::vector<std::shared_ptr<WindowRecord>> every;
    {
        auto& all = registry();
        std::lock_guard<std::mutex> guard(all.lock);
        every.reserve(all.windows.size());
        for (auto& entry : all.windows) every.push_back(entry.second);
    }
    std::sort(every.begin(), every.end(), [](const auto& a, const auto& b) {
        return reinterpret_cast<uintptr_t>(a->handle) < reinterpret_cast<uintptr_t>(b->handle);
    });
    return every;
}

std::vector<HWND> top_level_windows() {
    std::vector<HWND> windows;
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    for (auto& entry : all.windows)
        if (!entry.second->parent) windows.push_back(entry.second->handle);
    return windows;
}

}  // namespace tovel::platform

using tovel::platform::call_procedure;
using tovel::platform::find_window;
using tovel::platform::registry;
using tovel::platform::WindowRecord;

ATOM RegisterClassExW(const WNDCLASSEXW* windowClass) {
    if (!windowClass || !windowClass->lpszClassName ||
        tovel::platform::is_atom(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return tovel::platform::register_class(windowClass->lpszClassName, windowClass->lpfnWndProc,
                                           windowClass->cbWndExtra);
}

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) {
    if (!windowClass || !windowClass->lpszClassName ||
        tovel::platform::is_atom(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return tovel::platform::register_class(tovel::platform::wide(windowClass->lpszClassName),
                                           windowClass->lpfnWndProc, windowClass->cbWndExtra);
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter) {
    if (!className) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    auto windowClass = tovel::platform::find_class(className);
    if (!windowClass) return nullptr;
    const bool message_only = parent == HWND_MESSAGE;
    if (message_only) parent = nullptr;
    if (parent && !find_window(parent)) return nullptr;
    auto own = tovel::platform::own_queue();
    std::shared_ptr<WindowRecord> window;
    {
        auto& all = registry();
        std::lock_guard<std::mutex> guard(all.lock);
        HWND handle = reinterpret_cast<HWND>(all.next_window);
        all.next_window += 4;
        window = std::make_shared<WindowRecord>(handle, own, parent, windowClass->procedure,
                                                windowClass->extra_bytes);
        all.windows[reinterpret_cast<uintptr_t>(handle)] = window;
    }
    {
        std::lock_guard<std::mutex> guard(tovel::platform::ui_lock());
        auto& ui = window->ui;
        ui.style = style;
        ui.ex_style = exStyle;
        ui.message_only = message_only;
        ui.child = parent && (style & WS_CHILD);
        ui.topmost = (exStyle & WS_EX_TOPMOST) != 0;
        const int left = x == CW_USEDEFAULT ? 0 : x;
        const int top = y == CW_USEDEFAULT ? 0 : y;
        const int w = width == CW_USEDEFAULT ? 0 : std::max(width, 0);
        const int h = height == CW_USEDEFAULT ? 0 : std::max(height, 0);
        ui.rect = {left, top, left + w, top + h};
        if (ui.child) ui.id = reinterpret_cast<UINT_PTR>(menu);
        static uint64_t next_z = 0;
        ui.z = ++next_z;
        if (windowName) ui.text = windowName;
        ui.class_name = windowClass->name;
    }
    CREATESTRUCTW create = {parameter,
                            instance,
                            menu,
                            parent,
                            height,
                            width,
                            y,
                            x,
                            static_cast<LONG>(style),
                            windowName,
                            windowClass->name.c_str(),
                            exStyle};
    LPARAM lParam = reinterpret_cast<LPARAM>(&create);
    if (!call_procedure(*window, WM_NCCREATE, 0, lParam)) {
        call_procedure(*window, WM_NCDESTROY, 0, 0);
        tovel::platform::close_off(*window);
        tovel::platform::forget(window->handle);
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    if (call_procedure(*window, WM_CREATE, 0, lParam) == -1) {
        if (!window->destroying) tovel::platform::destroy_tree(*window);
        SetLastError(ERROR_SUCCESS);
        return nullptr;
    }
    if (!parent) tovel::platform::watch_clock_for_windows();
    if (!parent && !message_only) {
        tovel::platform::broadcast::listen();
        tovel::platform::gui::serve_remote_hooks();
    }
    tovel::platform::window_created(*window);
    if (!IsWindow(window->handle)) return nullptr;  // its showing destroyed it
    return window->handle;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter) {
    std::wstring name = tovel::platform::wide(windowName);
    std::wstring wide_class;
    LPCWSTR class_name = reinterpret_cast<LPCWSTR>(className);  // an atom as it is
    if (className && !tovel::platform::is_atom(className)) {
        wide_class = tovel::platform::wide(className);
        class_name = wide_class.c_str();
    }
    return CreateWindowExW(exStyle, class_name, windowName ? name.c_str() : nullptr, style, x, y,
                           width, height, parent, menu, instance, parameter);
}

BOOL DestroyWindow(HWND window) {
    auto record = find_window(window);
    if (!record) return FALSE;
    if (record->queue->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!record->destroying) tovel::platform::destroy_tree(*record);
    return TRUE;
}

BOOL IsWindow(HWND window) {
    auto& all = registry();
    std::lock_guard<std::mutex> guard(all.lock);
    return all.windows.count(reinterpret_cast<uintptr_t>(window)) ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId) {
    auto record = find_window(window);
    if (!record) return 0;
    if (processId) *processId = GetCurrentProcessId();
    return record->queue->thread;
}

namespace {

// The window's extra bytes at index, or null (1413) when they are not there.
unsigned char* extra_at(WindowRecord& window, int index) {
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > window.extra.size()) {
        SetLastError(ERROR_INVALID_INDEX);
        return nullptr;
    }
    return window.extra.data() + index;
}

}  // namespace

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
    auto record = find_window(window);
    if (!record) return 0;
    if (index == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(record->procedure.load());
    if (index == GWLP_USERDATA) return record->user_data.load();
    std::lock_guard<std::mutex> guard(record->extra_lock);
    unsigned char* at = extra_at(*record, index);
    if (!at) return 0;
    LONG_PTR value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    auto record = find_window(window);
    if (!record) return 0;
    if (index == GWLP_WNDPROC) {
        if (!value) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return reinterpret_cast<LONG_PTR>(
            record->procedure.exchange(reinterpret_cast<WNDPROC>(value)));
    }
    if (index == GWLP_USERDATA) return record->user_data.exchange(value);
    std::lock_guard<std::mutex> guard(record->extra_lock);
    unsigned char* at = extra_at(*record, index);
    if (!at) return 0;
    LONG_PTR previous;
    std::memcpy(&previous, at, sizeof previous);
    std::memcpy(at, &value, sizeof value);
    return previous;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;  // erases when asked to, and validates
            if (BeginPaint(window, &paint)) EndPaint(window, &paint);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        default:
            return 0;
    }
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

BOOL TranslateMessage(const MSG* /*msg*/) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam) {
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    if (!msg->hwnd) return 0;
    auto record = find_window(msg->hwnd);
    if (!record) return 0;
    if (record->queue->thread != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return call_procedure(*record, msg->message, msg->wParam, msg->lParam);
}

LRESULT DispatchMessageA(const MSG* msg) { return DispatchMessageW(msg); }
