// The few window-library helpers over the class-library windows
// (atl_window.h) that the tray uses: a button window's calls and fonts made
// from point sizes.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "platform/desktop/atl_window.h"
#include "platform/win/gdi.h"
#include "platform/win/sync.h"

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

// Sees each message of a message loop before it is dispatched; TRUE: it was
// handled and is not dispatched.
class CMessageFilter {
public:
    virtual ~CMessageFilter() = default;
    virtual BOOL PreTranslateMessage(MSG* msg) = 0;
};

// Called when the loop's queue is empty; FALSE: no more idle calls until the
// next message.
class CIdleHandler {
public:
    virtual ~CIdleHandler() = default;
    virtual BOOL OnIdle() = 0;
};

// The message loop of a thread with its filters and idle handlers (not
// owned; the later added is asked first).
class CMessageLoop {
public:
    BOOL AddMessageFilter(CMessageFilter* filter) {
        filters_.push_back(filter);
        return TRUE;
    }
    BOOL RemoveMessageFilter(CMessageFilter* filter) { return remove(filters_, filter); }
    BOOL AddIdleHandler(CIdleHandler* handler) {
        idle_.push_back(handler);
        return TRUE;
    }
    BOOL RemoveIdleHandler(CIdleHandler* handler) { return remove(idle_, handler); }

    // Runs until WM_QUIT; returns its code (-1 when GetMessageW fails).
    int Run() {
        MSG msg;
        bool idle = true;
        for (;;) {
            while (idle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
                bool more = false;
                for (auto* handler : std::vector<CIdleHandler*>(idle_))
                    if (handler->OnIdle()) more = true;
                idle = more;
            }
            BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
            if (got == -1) return -1;
            if (!got) return static_cast<int>(msg.wParam);
            if (!PreTranslateMessage(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
            idle = true;
        }
    }
    virtual ~CMessageLoop() = default;
    virtual BOOL PreTranslateMessage(MSG* msg) {
        for (auto it = filters_.rbegin(); it != filters_.rend(); ++it)
            if ((*it)->PreTranslateMessage(msg)) return TRUE;
        return FALSE;
    }

private:
    template <class P>
    static BOOL remove(std::vector<P*>& list, P* item) {
        auto it = std::find(list.begin(), list.end(), item);
        if (it == list.end()) return FALSE;
        list.erase(it);
        return TRUE;
    }
    std::vector<CMessageFilter*> filters_;
    std::vector<CIdleHandler*> idle_;
};

// The program's module: its instance, its resource instance (shared with
// ATL::_AtlBaseModule) and the message loop of each thread.
class CAppModule {
public:
    HRESULT Init(void* /*objectMap*/, HINSTANCE instance) {
        m_hInst = instance;
        return S_OK;
    }
    void Term() {
        std::lock_guard<std::mutex> guard(lock_);
        loops_.clear();
    }
    HINSTANCE GetModuleInstance() const { return m_hInst; }
    HINSTANCE GetResourceInstance() const { return ATL::_AtlBaseModule.GetResourceInstance(); }
    HINSTANCE SetResourceInstance(HINSTANCE instance) {
        return ATL::_AtlBaseModule.SetResourceInstance(instance);
    }
    BOOL AddMessageLoop(CMessageLoop* loop) {
        std::lock_guard<std::mutex> guard(lock_);
        return loops_.emplace(::GetCurrentThreadId(), loop).second ? TRUE : FALSE;
    }
    BOOL RemoveMessageLoop() {
        std::lock_guard<std::mutex> guard(lock_);
        return loops_.erase(::GetCurrentThreadId()) ? TRUE : FALSE;
    }
    CMessageLoop* GetMessageLoop(DWORD thread = ::GetCurrentThreadId()) const {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = loops_.find(thread);
        return it == loops_.end() ? nullptr : it->second;
    }

    HINSTANCE m_hInst = nullptr;

private:
    mutable std::mutex lock_;
    std::map<DWORD, CMessageLoop*> loops_;
};

// Updating of menu and toolbar items: the tray has none, so the map is
// empty and the calls keep nothing.
template <class T>
class CUpdateUI {
public:
    BOOL UIAddChildWindowContainer(HWND /*window*/) { return TRUE; }
    BOOL UIUpdateChildWindows(BOOL /*force*/ = FALSE) { return TRUE; }
};

}  // namespace WTL

#define BEGIN_UPDATE_UI_MAP(theClass)
#define END_UPDATE_UI_MAP()
