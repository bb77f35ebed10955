#include "tray/tray_resources.h"

namespace {

HINSTANCE g_library = nullptr;

}  // namespace

HINSTANCE trayResources() { return g_library; }

void setTrayResources(HINSTANCE library) { g_library = library; }

std::wstring trayString(UINT id) {
    if (!g_library) return std::wstring();
    wchar_t text[1024];
    int length = ::LoadStringW(g_library, id, text, 1024);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}
