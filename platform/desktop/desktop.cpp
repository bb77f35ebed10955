// The user's desktop (platform/win/desktop.h): the notification area, the
// taskbar, opening addresses, message boxes, the user's language and the
// system's version; and the test interface's view of them (gui_test.h).
#include "platform/win/desktop.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/gdi_core.h"
#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/gui_test.h"
#include "platform/kernel/spawn.h"
#include "platform/win/errors.h"
#include "platform/win/shell.h"
#include "platform/win/text.h"

namespace tovel::platform {
namespace {

struct Icon {
    HWND window = nullptr;
    UINT id = 0;
    UINT callback = 0;
    UINT version = 0;
    std::wstring tip;
    gdi::IconImage image;
    std::vector<std::string> history;
};

struct Shell {
    std::mutex lock;
    std::vector<Icon> icons;
    bool recording = false;
    std::vector<std::wstring> launches;
    std::vector<std::wstring> boxes;
};

Shell& shell() {
    static auto* state = new Shell;  // lives until the process ends
    return *state;
}

Icon* find_icon(Shell& s, HWND window, UINT id) {
    for (auto& icon : s.icons)
        if (icon.window == window && icon.id == id) return &icon;
    return nullptr;
}

std::string utf8_of(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

RECT icon_rect_at(size_t index) {
    UINT edge;
    RECT bar = desk::taskbar_rect(&edge);
    const int step = 24, size = 16;
    const int offset = 8 + step * static_cast<int>(index + 1) - (step - size) / 2;
    if (edge == ABE_LEFT || edge == ABE_RIGHT) {
        const int x = bar.left + (bar.right - bar.left - size) / 2;
        const int y = bar.bottom - offset;
        return {x, y, x + size, y + size};
    }
    const int x = bar.right - offset;
    const int y = bar.top + (bar.bottom - bar.top - size) / 2;
    return {x, y, x + size, y + size};
}

bool is_http(const std::wstring& file) {
    auto starts = [&](const wchar_t* prefix) {
        size_t n = std::wcslen(prefix);
        if (file.size() <= n) return false;
        for (size_t i = 0; i < n; ++i)
            if (std::towlower(static_cast<wint_t>(file[i])) != static_cast<wint_t>(prefix[i]))
                return false;
        return true;
    };
    return starts(L"http://") || starts(L"https://");
}

// With TOVEL_SHELL_RECORD naming a file (tests only), appends one line to
// it in UTF-8, written at once so that lines of several processes do not
// mix; false when the variable is not set.
bool append_shell_record(const std::wstring& line) {
    const char* path = std::getenv("TOVEL_SHELL_RECORD");
    if (!path || !*path) return false;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return true;
    std::string bytes = utf8_of(line) + "\n";
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    (void)written;
    ::close(fd);
    return true;
}

// Opens an address; the ShellExecute result.
INT_PTR open_address(LPCWSTR verb, LPCWSTR file) {
    if (!file || (verb && std::wcscmp(verb, L"open") != 0) || !is_http(file)) {
        SetLastError(1155);  // no program is associated
        return SE_ERR_NOASSOC;
    }
    {
        auto& s = shell();
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.recording) {
            s.launches.push_back(file);
            append_shell_record(std::wstring(L"launch ") + file);
            return 42;
        }
    }
    if (append_shell_record(std::wstring(L"launch ") + file)) return 42;
    SpawnPlan plan;
    const char* browser = std::getenv("BROWSER");
    plan.arguments = {browser && *browser ? browser : "xdg-open", utf8_of(file)};
    plan.search_path = true;
    plan.own_session = true;
    pid_t pid;
    if (spawn_reaped(plan, &pid) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return ERROR_FILE_NOT_FOUND;
    }
    return 42;
}

LANGID language_of_locale() {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string locale;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    struct Row {
        const char* prefix;
        LANGID id;
    };
    static const Row rows[] = {
        {"zh_CN", 2052}, {"zh_TW", 1028}, {"de_DE", 1031}, {"fr_FR", 1036}, {"ja_JP", 1041}};
    for (const auto& row : rows)
        if (locale.rfind(row.prefix, 0) == 0) return row.id;
    return 1033;
}

}  // namespace

namespace gui {

std::vector<NotifyIcon> notify_icons() {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<NotifyIcon> out;
    for (auto& icon : s.icons) {
        NotifyIcon copy;
        copy.window = icon.window;
        copy.id = icon.id;
        copy.callback = icon.callback;
        copy.version = icon.version;
        copy.tooltip = icon.tip;
        copy.image_file = icon.image.file;
        if (icon.image.canvas) {
            auto& canvas = *icon.image.canvas;
            canvas.flush();
            copy.width = canvas.width();
            copy.height = canvas.height();
            for (int y = 0; y < canvas.height(); ++y)
                for (int x = 0; x < canvas.width(); ++x)
                    copy.pixels.push_back(gdi::unpremultiply(canvas.row(y)[x]));
        }
        out.push_back(std::move(copy));
    }
    return out;
}

std::vector<std::string> notify_icon_history(HWND window, UINT id) {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    Icon* icon = find_icon(s, window, id);
    return icon ? icon->history : std::vector<std::string>{};
}

RECT notify_icon_rect(HWND window, UINT id) {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t i = 0; i < s.icons.size(); ++i)
        if (s.icons[i].window == window && s.icons[i].id == id) return icon_rect_at(i);
    return {0, 0, 0, 0};
}

bool click_notify_icon(HWND window, UINT id, IconClick kind) {
    RECT at = notify_icon_rect(window, id);
    Icon icon;
    {
        auto& s = shell();
        std::lock_guard<std::mutex> guard(s.lock);
        Icon* found = find_icon(s, window, id);
        if (!found) return false;
        icon = *found;
    }
    const int x = (at.left + at.right) / 2, y = (at.top + at.bottom) / 2;
    SetCursorPos(x, y);
    if (!icon.callback) return true;
    std::vector<UINT> events;
    switch (kind) {
        case IconClick::left:
            events = {WM_LBUTTONDOWN, WM_LBUTTONUP};
            break;
        case IconClick::right:
            events = {WM_RBUTTONDOWN, WM_RBUTTONUP};
            break;
        case IconClick::left_double:
            events = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP};
            break;
    }
    for (UINT event : events) {
        if (icon.version >= 4) {
            const WPARAM where = MAKEWPARAM(x, y);
            PostMessageW(window, icon.callback, where, MAKELPARAM(event, id));
            if (event == WM_LBUTTONUP)
                PostMessageW(window, icon.callback, where, MAKELPARAM(NIN_SELECT, id));
            if (event == WM_RBUTTONUP)
                PostMessageW(window, icon.callback, where, MAKELPARAM(WM_CONTEXTMENU, id));
        } else {
            PostMessageW(window, icon.callback, id, static_cast<LPARAM>(event));
        }
    }
    return true;
}

void broadcast_taskbar_created() {
    {
        auto& s = shell();
        std::lock_guard<std::mutex> guard(s.lock);
        s.icons.clear();
    }
    const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    for (HWND window : desk::broadcast_targets()) PostMessageW(window, message, 0, 0);
}

LaunchRecorder::LaunchRecorder() {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    s.recording = true;
    s.launches.clear();
}

LaunchRecorder::~LaunchRecorder() {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    s.recording = false;
}

std::vector<std::wstring> LaunchRecorder::launches() const {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.launches;
}

std::vector<std::wstring> message_boxes() {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.boxes;
}

// The notification icons drawn on the screen's picture (straight ARGB).
void draw_notify_icons(std::vector<uint32_t>& pixels, int width, int height) {
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t i = 0; i < s.icons.size(); ++i) {
        if (!s.icons[i].image.canvas) continue;
        auto& canvas = *s.icons[i].image.canvas;
        canvas.flush();
        RECT at = icon_rect_at(i);
        const int w = at.right - at.left, h = at.bottom - at.top;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int tx = at.left + x, ty = at.top + y;
                if (tx < 0 || ty < 0 || tx >= width || ty >= height) continue;
                uint32_t src = canvas.row(y * canvas.height() / h)[x * canvas.width() / w];
                uint32_t a = src >> 24;
                uint32_t& d = pixels[static_cast<size_t>(ty) * width + tx];
                uint32_t out = 0xFF000000u;
                for (int shift = 0; shift < 24; shift += 8) {
                    uint32_t v = ((src >> shift) & 0xFF) + ((d >> shift) & 0xFF) * (255 - a) / 255;
                    out |= std::min<uint32_t>(v, 255) << shift;
                }
                d = out;
            }
    }
}

}  // namespace gui
}  // namespace tovel::platform

using tovel::platform::shell;

BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data) {
    if (!data || !data->cbSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (message == NIM_ADD && !IsWindow(data->hWnd)) return FALSE;
    tovel::platform::gdi::IconImage image;
    const bool with_icon =
        (data->uFlags & NIF_ICON) && (message == NIM_ADD || message == NIM_MODIFY);
    if (with_icon && data->hIcon && !tovel::platform::gdi::icon_image(data->hIcon, image)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& s = shell();
    std::lock_guard<std::mutex> guard(s.lock);
    auto* icon = tovel::platform::find_icon(s, data->hWnd, data->uID);
    switch (message) {
        case NIM_ADD:
            if (icon) return FALSE;
            s.icons.emplace_back();
            icon = &s.icons.back();
            icon->window = data->hWnd;
            icon->id = data->uID;
            break;
        case NIM_MODIFY:
        case NIM_SETFOCUS:
            if (!icon) return FALSE;
            break;
        case NIM_DELETE:
            if (!icon) return FALSE;
            s.icons.erase(s.icons.begin() + (icon - s.icons.data()));
            return TRUE;
        case NIM_SETVERSION:
            if (!icon || data->uVersion > 4) return FALSE;
            icon->version = data->uVersion;
            return TRUE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    if (data->uFlags & NIF_MESSAGE) icon->callback = data->uCallbackMessage;
    if (data->uFlags & NIF_TIP) {
        size_t n = 0;
        while (n < 127 && data->szTip[n]) ++n;
        icon->tip.assign(data->szTip, n);
    }
    if (with_icon) {
        icon->image = image;
        icon->history.push_back(image.file);
    }
    return TRUE;
}

UINT_PTR SHAppBarMessage(DWORD message, PAPPBARDATA data) {
    if (message != ABM_GETTASKBARPOS || !data) return 0;
    UINT edge;
    data->rc = tovel::platform::desk::taskbar_rect(&edge);
    data->uEdge = edge;
    return TRUE;
}

namespace tovel::platform {
bool is_web_address(LPCWSTR file) { return file && is_http(file); }
INT_PTR open_web_address(LPCWSTR verb, LPCWSTR file) { return open_address(verb, file); }
}  // namespace tovel::platform

HINSTANCE ShellExecuteW(HWND /*window*/, LPCWSTR verb, LPCWSTR file, LPCWSTR /*parameters*/,
                        LPCWSTR /*folder*/, int /*show*/) {
    return reinterpret_cast<HINSTANCE>(tovel::platform::open_address(verb, file));
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create) {
    if (!path) return FALSE;
    wchar_t found[MAX_PATH];
    if (SHGetFolderPathW(owner, csidl | (create ? CSIDL_FLAG_CREATE : 0), nullptr, 0, found) !=
        S_OK)
        return FALSE;
    std::wcscpy(path, found);
    return TRUE;
}

BOOL PathRemoveFileSpecW(LPWSTR path) {
    if (!path) return FALSE;
    wchar_t* last = nullptr;
    for (wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/') last = p;
    if (!last) {
        if (!*path) return FALSE;
        *path = 0;
        return TRUE;
    }
    // "C:\" keeps its separator.
    if (last == path + 2 && path[1] == L':') {
        if (!last[1]) return FALSE;
        last[1] = 0;
        return TRUE;
    }
    *last = 0;
    return TRUE;
}

int MessageBoxW(HWND /*owner*/, LPCWSTR text, LPCWSTR caption, UINT type) {
    std::wstring line = std::wstring(caption ? caption : L"Error") + L": " + (text ? text : L"");
    {
        auto& s = shell();
        std::lock_guard<std::mutex> guard(s.lock);
        s.boxes.push_back(line);
    }
    tovel::platform::append_shell_record(L"box " + line);
    std::string bytes = tovel::platform::utf8_of(line) + "\n";
    ssize_t written = ::write(2, bytes.data(), bytes.size());
    (void)written;
    return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}

LANGID GetSystemDefaultLangID() { return tovel::platform::language_of_locale(); }
LANGID GetUserDefaultLangID() { return tovel::platform::language_of_locale(); }

BOOL GetVersionExW(OSVERSIONINFOW* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = 2;
    info->szCSDVersion[0] = 0;
    info->wServicePackMajor = 0;
    info->wServicePackMinor = 0;
    info->wSuiteMask = 0x100;
    info->wProductType = 1;
    return TRUE;
}
