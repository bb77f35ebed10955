// The class-library windows that the system's code uses: a window handle
// with its calls (CWindow), window styles as a type (CWinTraits), and a
// window whose messages go to a C++ object's message map (CWindowImpl with
// BEGIN_MSG_MAP / MESSAGE_HANDLER / END_MSG_MAP).
//
// A CWindowImpl<T> object and its window go together: Create makes the
// window of T's class (registered on first use under a generated name,
// "ATL:" and a number, or under the name of DECLARE_WND_CLASS) and ties it
// to the object; from then on every message of the window reaches
// T::ProcessWindowMessage on the window's thread, and what it leaves
// unhandled goes to DefWindowProcW. When the window is destroyed, m_hWnd is
// cleared after WM_NCDESTROY and OnFinalMessage is called. The object must
// outlive its window.
#pragma once

#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/win/desktop.h"
#include "platform/win/errors.h"
#include "platform/win/gdi.h"
#include "platform/win/gui.h"
#include "platform/win/module.h"
#include "platform/win/types.h"
#include "platform/win/window.h"

namespace ATL {

// A rectangle given by pointer or by reference (null: the default).
class _U_RECT {
public:
    _U_RECT(RECT* rect = nullptr) : m_lpRect(rect) {}  // NOLINT: converts as the library does
    _U_RECT(RECT& rect) : m_lpRect(&rect) {}           // NOLINT
    RECT* m_lpRect;
};

// A menu handle or a child window's id.
class _U_MENUorID {
public:
    _U_MENUorID(HMENU menu) : m_hMenu(menu) {}  // NOLINT
    _U_MENUorID(UINT id)                        // NOLINT
        : m_hMenu(reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id))) {}
    HMENU m_hMenu;
};

// A window handle (not owned: destroying the object leaves the window).
class CWindow {
public:
    // Default position and size.
    static inline RECT rcDefault = {CW_USEDEFAULT, CW_USEDEFAULT, 0, 0};

    CWindow(HWND window = nullptr) : m_hWnd(window) {}  // NOLINT
    CWindow& operator=(HWND window) {
        m_hWnd = window;
        return *this;
    }
    operator HWND() const { return m_hWnd; }

    void Attach(HWND window) { m_hWnd = window; }
    HWND Detach() {
        HWND window = m_hWnd;
        m_hWnd = nullptr;
        return window;
    }
    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
    // Clears m_hWnd when the window was destroyed.
    BOOL DestroyWindow() {
        if (!::DestroyWindow(m_hWnd)) return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC procedure = nullptr) const {
        return ::SetTimer(m_hWnd, id, elapse, procedure);
    }
    BOOL KillTimer(UINT_PTR id) const { return ::KillTimer(m_hWnd, id); }

    BOOL GetWindowRect(LPRECT rect) const { return ::GetWindowRect(m_hWnd, rect); }
    BOOL GetClientRect(LPRECT rect) const { return ::GetClientRect(m_hWnd, rect); }
    BOOL ClientToScreen(LPPOINT point) const { return ::ClientToScreen(m_hWnd, point); }
    BOOL ClientToScreen(LPRECT rect) const {
        POINT corners[2] = {{rect->left, rect->top}, {rect->right, rect->bottom}};
        if (!::ClientToScreen(m_hWnd, &corners[0]) || !::ClientToScreen(m_hWnd, &corners[1]))
            return FALSE;
        *rect = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        return TRUE;
    }
    BOOL ScreenToClient(LPPOINT point) const { return ::ScreenToClient(m_hWnd, point); }
    BOOL ScreenToClient(LPRECT rect) const {
        POINT corners[2] = {{rect->left, rect->top}, {rect->right, rect->bottom}};
        if (!::ScreenToClient(m_hWnd, &corners[0]) || !::ScreenToClient(m_hWnd, &corners[1]))
            return FALSE;
        *rect = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        return TRUE;
    }
    BOOL MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) const {
        return ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    BOOL MoveWindow(const RECT* rect, BOOL repaint = TRUE) const {
        return ::MoveWindow(m_hWnd, rect->left, rect->top, rect->right - rect->left,
                            rect->bottom - rect->top, repaint);
    }
    BOOL SetWindowPos(HWND after, int x, int y, int width, int height, UINT flags) const {
        return ::SetWindowPos(m_hWnd, after, x, y, width, height, flags);
    }
    BOOL SetWindowPos(HWND after, const RECT* rect, UINT flags) const {
        return ::SetWindowPos(m_hWnd, after, rect->left, rect->top, rect->right - rect->left,
                              rect->bottom - rect->top, flags);
    }
    BOOL ShowWindow(int command) const { return ::ShowWindow(m_hWnd, command); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL EnableWindow(BOOL enable = TRUE) const { return ::EnableWindow(m_hWnd, enable); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
    DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)); }
    BOOL SetWindowText(LPCWSTR text) const { return ::SetWindowTextW(m_hWnd, text); }
    BOOL Invalidate(BOOL erase = TRUE) const { return ::InvalidateRect(m_hWnd, nullptr, erase); }
    BOOL InvalidateRect(const RECT* rect, BOOL erase = TRUE) const {
        return ::InvalidateRect(m_hWnd, rect, erase);
    }
    BOOL UpdateWindow() const { return ::UpdateWindow(m_hWnd); }
    HDC GetDC() const { return ::GetDC(m_hWnd); }
    int ReleaseDC(HDC dc) const { return ::ReleaseDC(m_hWnd, dc); }
    HDC BeginPaint(LPPAINTSTRUCT paint) const { return ::BeginPaint(m_hWnd, paint); }
    void EndPaint(LPPAINTSTRUCT paint) const { ::EndPaint(m_hWnd, paint); }
    int SetWindowRgn(HRGN region, BOOL redraw = FALSE) const {
        return ::SetWindowRgn(m_hWnd, region, redraw);
    }
    HWND SetCapture() const { return ::SetCapture(m_hWnd); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }
    BOOL SetForegroundWindow() const { return ::SetForegroundWindow(m_hWnd); }
    BOOL LockWindowUpdate(BOOL lock = TRUE) const {
        return ::LockWindowUpdate(lock ? m_hWnd : nullptr);
    }
    // Centres the window on the other window (null: the owner, else the
    // work area), kept inside the work area.
    BOOL CenterWindow(HWND centreOn = nullptr) const {
        RECT own, around;
        if (!::GetWindowRect(m_hWnd, &own)) return FALSE;
        HWND on = centreOn ? centreOn : ::GetParent(m_hWnd);
        if (!on || !::GetWindowRect(on, &around))
            ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
        const int width = own.right - own.left, height = own.bottom - own.top;
        int x = around.left + (around.right - around.left - width) / 2;
        int y = around.top + (around.bottom - around.top - height) / 2;
        RECT work;
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        if (x + width > work.right) x = work.right - width;
        if (y + height > work.bottom) y = work.bottom - height;
        if (x < work.left) x = work.left;
        if (y < work.top) y = work.top;
        if (::GetWindowLongW(m_hWnd, GWL_STYLE) & WS_CHILD) {
            POINT at = {x, y};
            ::ScreenToClient(::GetParent(m_hWnd), &at);
            x = at.x;
            y = at.y;
        }
        return ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0,
                              SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    HWND m_hWnd;
};

// The styles a window class gives its windows when Create is given none.
template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0>
class CWinTraits {
public:
    static DWORD GetWndStyle(DWORD style) { return style == 0 ? t_dwStyle : style; }
    static DWORD GetWndExStyle(DWORD exStyle) { return exStyle == 0 ? t_dwExStyle : exStyle; }
};
typedef CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0> CControlWinTraits;

// What has a message map.
class CMessageMap {
public:
    virtual ~CMessageMap() = default;
    // Handles the message: TRUE with its result in result, or FALSE to leave
    // it to the default handling. mapId selects an alternate map (0: the main).
    virtual BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result, DWORD mapId) = 0;
};

namespace detail {
// The object whose window the calling thread is creating, until the
// window's first message ties the two.
inline thread_local void* t_creating = nullptr;
}  // namespace detail

template <class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImplBaseT : public TBase, public CMessageMap {
public:
    // Called once the window is gone (after WM_NCDESTROY, m_hWnd cleared).
    virtual void OnFinalMessage(HWND /*window*/) {}

    // The default handling of a message this object's map left.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
        return ::DefWindowProcW(this->m_hWnd, message, wParam, lParam);
    }

    // The class's procedure: ties the window being made to its object, then
    // hands this and every later message to WindowProc.
    static LRESULT StartWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = static_cast<CWindowImplBaseT*>(detail::t_creating);
        detail::t_creating = nullptr;
        if (!self) return ::DefWindowProcW(window, message, wParam, lParam);  // not made by Create
        self->m_hWnd = window;
        ::SetWindowLongPtrW(window, 0, reinterpret_cast<LONG_PTR>(self));
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc));
        return WindowProc(window, message, wParam, lParam);
    }

    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CWindowImplBaseT*>(::GetWindowLongPtrW(window, 0));
        LRESULT result = 0;
        if (!self->ProcessWindowMessage(window, message, wParam, lParam, result, 0))
            result = self->DefWindowProc(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            self->m_hWnd = nullptr;
            self->OnFinalMessage(window);
        }
        return result;
    }

protected:
    HWND Create(LPCWSTR className, HWND parent, _U_RECT rect, LPCWSTR name, DWORD style,
                DWORD exStyle, _U_MENUorID menu, LPVOID parameter) {
        const RECT* at = rect.m_lpRect ? rect.m_lpRect : &CWindow::rcDefault;
        // A default corner takes a default size too.
        const int width = at->left == CW_USEDEFAULT ? CW_USEDEFAULT : at->right - at->left;
        const int height = at->top == CW_USEDEFAULT ? CW_USEDEFAULT : at->bottom - at->top;
        detail::t_creating = this;
        HWND window = ::CreateWindowExW(TWinTraits::GetWndExStyle(exStyle), className, name,
                                        TWinTraits::GetWndStyle(style), at->left, at->top, width,
                                        height, parent, menu.m_hMenu, nullptr, parameter);
        detail::t_creating = nullptr;
        return window;
    }
};

// A window of class T (see the top of the file).
template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImpl : public CWindowImplBaseT<TBase, TWinTraits> {
public:
    // The class's name; DECLARE_WND_CLASS in T gives one, null a generated one.
    static LPCWSTR GetWndClassName() { return nullptr; }

    // Makes the window (see CreateWindowExW; null on failure, with its last
    // error). The styles of 0 take the traits' own.
    HWND Create(HWND parent, _U_RECT rect = nullptr, LPCWSTR name = nullptr, DWORD style = 0,
                DWORD exStyle = 0, _U_MENUorID menu = 0U, LPVOID parameter = nullptr) {
        static const ATOM atom = register_class();
        if (!atom) return nullptr;
        return CWindowImplBaseT<TBase, TWinTraits>::Create(MAKEINTATOM(atom), parent, rect, name,
                                                           style, exStyle, menu, parameter);
    }

private:
    static ATOM register_class() {
        static char marker;  // one per T: its address numbers the generated name
        std::wstring name;
        if (LPCWSTR given = T::GetWndClassName()) {
            name = given;
        } else {
            wchar_t generated[32];
            std::swprintf(generated, 32, L"ATL:%p", static_cast<void*>(&marker));
            name = generated;
        }
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &CWindowImplBaseT<TBase, TWinTraits>::StartWindowProc;
        windowClass.cbWndExtra = sizeof(void*);
        windowClass.lpszClassName = name.c_str();
        return ::RegisterClassExW(&windowClass);
    }
};

// The module of the program: its instance and the instance its resources
// (strings, dialogs, icons) are read from, which a program may switch to a
// resource library.
class CAtlBaseModule {
public:
    HINSTANCE GetModuleInstance() const { return ::GetModuleHandleW(nullptr); }
    HINSTANCE GetResourceInstance() const {
        return m_hInstResource ? m_hInstResource : ::GetModuleHandleW(nullptr);
    }
    HINSTANCE SetResourceInstance(HINSTANCE instance) {
        HINSTANCE old = m_hInstResource;
        m_hInstResource = instance;
        return old;
    }
    HINSTANCE m_hInstResource = nullptr;
};
inline CAtlBaseModule _AtlBaseModule;

// A dialog of template T::IDD (from the module's resource instance) whose
// messages go to T's message map: what the map handles is the dialog's
// answer (its result through DWLP_MSGRESULT), the rest the dialog's default
// handling. The object is kept in the dialog's DWLP_USER; m_hWnd is cleared
// after WM_NCDESTROY and OnFinalMessage called. The object must outlive its
// dialog.
template <class T, class TBase = CWindow>
class CDialogImpl : public TBase, public CMessageMap {
public:
    virtual void OnFinalMessage(HWND /*window*/) {}

    // Modeless; null on failure.
    HWND Create(HWND parent, LPARAM initParam = 0) {
        detail::t_creating = this;
        HWND made =
            ::CreateDialogParamW(_AtlBaseModule.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD),
                                 parent, &StartDialogProc, initParam);
        detail::t_creating = nullptr;
        return made;
    }
    // Modal: returns EndDialog's result, -1 when the dialog could not be made.
    INT_PTR DoModal(HWND parent = ::GetActiveWindow(), LPARAM initParam = 0) {
        detail::t_creating = this;
        INT_PTR result =
            ::DialogBoxParamW(_AtlBaseModule.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD),
                              parent, &StartDialogProc, initParam);
        detail::t_creating = nullptr;
        return result;
    }
    BOOL EndDialog(int result) { return ::EndDialog(this->m_hWnd, result); }

    static INT_PTR StartDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = static_cast<CDialogImpl*>(detail::t_creating);
        if (!self) return FALSE;
        detail::t_creating = nullptr;
        self->m_hWnd = dialog;
        ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        ::SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&DialogProc));
        return DialogProc(dialog, message, wParam, lParam);
    }

    static INT_PTR DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<CDialogImpl*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        if (!self) return FALSE;
        LRESULT result = 0;
        BOOL handled = self->ProcessWindowMessage(dialog, message, wParam, lParam, result, 0);
        if (message == WM_NCDESTROY) {
            self->m_hWnd = nullptr;
            self->OnFinalMessage(dialog);
            return FALSE;
        }
        if (!handled) return FALSE;
        if (message == WM_INITDIALOG) return result;
        ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, result);
        return TRUE;
    }
};

}  // namespace ATL

// In T's class body: the name of T's window class.
#define DECLARE_WND_CLASS(WndClassName) \
    static LPCWSTR GetWndClassName() { return WndClassName; }

// T's message map: BEGIN_MSG_MAP(T), entries, END_MSG_MAP(). The entries are
// tried in order; the first that handles the message ends the search.
// clang-format off
#define BEGIN_MSG_MAP(theClass)                                                   \
public:                                                                           \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, \
                              LRESULT& lResult, DWORD dwMsgMapID = 0) {           \
        BOOL bHandled = TRUE;                                                     \
        (void)hWnd;                                                               \
        (void)uMsg;                                                               \
        (void)wParam;                                                             \
        (void)lParam;                                                             \
        (void)lResult;                                                            \
        (void)bHandled;                                                           \
        switch (dwMsgMapID) {                                                     \
        case 0:

// func(UINT message, WPARAM, LPARAM, BOOL& handled) returns the message's
// result; handled comes in TRUE, and set FALSE the search goes on.
#define MESSAGE_HANDLER(msg, func)                              \
            if (uMsg == (msg)) {                                \
                bHandled = TRUE;                                \
                lResult = func(uMsg, wParam, lParam, bHandled); \
                if (bHandled) return TRUE;                      \
            }

// As MESSAGE_HANDLER for the messages first to last.
#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func)          \
            if (uMsg >= (msgFirst) && uMsg <= (msgLast)) {      \
                bHandled = TRUE;                                \
                lResult = func(uMsg, wParam, lParam, bHandled); \
                if (bHandled) return TRUE;                      \
            }

// Hands the message to a base class's map.
#define CHAIN_MSG_MAP(theChainClass)                                                      \
            if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) \
                return TRUE;

// func(WORD notifyCode, WORD id, HWND control, BOOL& handled) for the
// WM_COMMAND of that id.
#define COMMAND_ID_HANDLER(id, func)                                                \
            if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                     \
                bHandled = TRUE;                                                    \
                lResult = func(HIWORD(wParam), LOWORD(wParam),                      \
                               reinterpret_cast<HWND>(lParam), bHandled);           \
                if (bHandled) return TRUE;                                          \
            }

#define END_MSG_MAP() \
            break;    \
        default:      \
            break;    \
        }             \
        return FALSE; \
    }
// clang-format on
