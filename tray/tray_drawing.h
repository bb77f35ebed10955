// Small drawing and shell steps shared by the tray's windows. GUI thread.
#pragma once

#include "platform/win32.h"

namespace tray {

// The local web interface as the tray's menu, tabs and cards open it.
inline constexpr wchar_t kWebInterface[] = L"http://localhost:8888";

// Opens the local web interface in the browser, without error boxes; the
// result is not looked at.
inline void open_web_interface() {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = kWebInterface;
    info.nShow = SW_SHOW;
    ::ShellExecuteExW(&info);
}

// The pop-up's own colours when the options give none.
inline constexpr COLORREF kPopupBorder = 0xF3D497;
inline constexpr COLORREF kPopupFill = 0xEFEFED;

// A rounded rectangle in a 1-pixel border pen and a fill brush; the DC's
// pen and brush are put back after.
inline void round_box(HDC dc, int left, int top, int right, int bottom, int corner, COLORREF border,
                      COLORREF fill) {
    HPEN pen = ::CreatePen(PS_SOLID, 1, border);
    HBRUSH brush = ::CreateSolidBrush(fill);
    HGDIOBJ oldPen = ::SelectObject(dc, pen);
    HGDIOBJ oldBrush = ::SelectObject(dc, brush);
    ::RoundRect(dc, left, top, right, bottom, corner, corner);
    ::SelectObject(dc, oldPen);
    ::SelectObject(dc, oldBrush);
    ::DeleteObject(pen);
    ::DeleteObject(brush);
}

// Frees a window's back buffer: its bitmap put back out of the memory DC,
// the DC and the bitmap deleted; the three are null after.
inline void free_back_buffer(HDC& memDC, HBITMAP& bitmap, HGDIOBJ& old) {
    if (memDC) {
        if (old) ::SelectObject(memDC, old);
        ::DeleteDC(memDC);
    }
    if (bitmap) ::DeleteObject(bitmap);
    memDC = nullptr;
    bitmap = nullptr;
    old = nullptr;
}

// Fills area white and stretches image over it whole, key as its
// transparent colour; without an image the area stays white. False when the
// image could not be drawn.
inline bool draw_keyed_image(HDC dc, const RECT& area, HBITMAP image, COLORREF key) {
    ::FillRect(dc, &area, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    if (!image) return true;
    HDC source = ::CreateCompatibleDC(dc);
    if (!source) return false;
    HGDIOBJ old = ::SelectObject(source, image);
    BITMAP info = {};
    ::GetObjectW(image, sizeof info, &info);
    bool ok =
        ::TransparentBlt(dc, area.left, area.top, area.right - area.left, area.bottom - area.top,
                         source, 0, 0, info.bmWidth, info.bmHeight, key);
    ::SelectObject(source, old);
    ::DeleteDC(source);
    return ok;
}

}  // namespace tray
