// The few window-library helpers over the class-library windows
// (atl_window.h) that the tray uses: a button window's calls and fonts made
// from point sizes.
#pragma once

#include "platform/atl_window.h"
#include "platform/win/gdi.h"

namespace WTL {

// A button's calls over a window handle; the window itself is the caller's
// (a CWindowImpl over CButtonT draws and handles it alone).
template <class TBase>
class CButtonT : public TBase {
public:
    CButtonT(HWND window = nullptr) : TBase(window) {}  // NOLINT
    CButtonT& operator=(HWND window) {
        this->m_hWnd = window;
        return *this;
    }
    static LPCWSTR GetWndClassName() { return L"BUTTON"; }
    void Click() const { ::SendMessageW(this->m_hWnd, BM_CLICK, 0, 0); }
};
typedef CButtonT<ATL::CWindow> CButton;

// A font handle that deletes its font (managed) or not.
template <bool t_bManaged>
class CFontT {
public:
    CFontT(HFONT font = nullptr) : m_hFont(font) {}  // NOLINT
    ~CFontT() {
        if (t_bManaged && m_hFont) ::DeleteObject(m_hFont);
    }
    CFontT(const CFontT&) = delete;
    CFontT& operator=(const CFontT&) = delete;
    operator HFONT() const { return m_hFont; }
    bool IsNull() const { return m_hFont == nullptr; }

    HFONT CreateFontIndirect(const LOGFONTW* font) {
        m_hFont = ::CreateFontIndirectW(font);
        return m_hFont;
    }
    // font->lfHeight is in tenths of a point: converted to pixels on the DC
    // (the screen's when null) as -(lfHeight * dpi / 720), rounded.
    HFONT CreatePointFontIndirect(const LOGFONTW* font, HDC dc = nullptr) {
        LOGFONTW scaled = *font;
        HDC screen = dc ? dc : ::GetDC(nullptr);
        const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
        if (!dc) ::ReleaseDC(nullptr, screen);
        const int pixels =
            ::MulDiv(font->lfHeight < 0 ? -font->lfHeight : font->lfHeight, dpi, 720);
        scaled.lfHeight = -pixels;
        return CreateFontIndirect(&scaled);
    }
    int GetLogFont(LOGFONTW* font) const { return ::GetObjectW(m_hFont, sizeof(LOGFONTW), font); }
    BOOL DeleteObject() {
        BOOL deleted = ::DeleteObject(m_hFont);
        if (deleted) m_hFont = nullptr;
        return deleted;
    }
    HFONT Detach() {
        HFONT font = m_hFont;
        m_hFont = nullptr;
        return font;
    }

    HFONT m_hFont;
};
typedef CFontT<true> CFont;
typedef CFontT<false> CFontHandle;

}  // namespace WTL
