// What windows show and what the user does to them: geometry, visibility,
// painting, the mouse (capture, hover and leave tracking), activation and
// focus, layered windows, the screen and its metrics, registered messages.
//
// The screen is 1280 x 800 pixels at 96 dpi with a taskbar of 40 pixels at
// its bottom edge (tests may move it, platform/desktop/gui_test.h); the work area is
// the screen less the taskbar. A window has no frame: its client area is its
// whole rectangle (dialogs excepted, see dialog.h). A child window's
// rectangle is kept in its parent's client coordinates, any other window's
// (pop-ups with an owner too) in screen coordinates.
//
// There is no pointer device: tests inject moves, presses and releases in
// screen coordinates (platform/desktop/gui_test.h). The mouse messages go, posted, to
// the window that holds the capture, else to the deepest visible, enabled
// window under the cursor; their lParam is the point in that window's client
// coordinates, wParam the buttons held (MK_LBUTTON, MK_RBUTTON).
//
// Unless said otherwise every call here is for the thread that owns the
// window; the state they read (rectangles, styles, capture, focus, the active
// window) may also be read from any thread.
#pragma once

#include "platform/win/types.h"
#include "platform/win/window.h"

struct SIZE {
    LONG cx;
    LONG cy;
};
typedef POINT* LPPOINT;
typedef SIZE* LPSIZE;
typedef const RECT* LPCRECT;
typedef struct HDC__* HDC;
typedef struct HRGN__* HRGN;
typedef DWORD COLORREF;

#define MAKELPARAM(low, high) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG_((low), (high)))))
#define MAKELONG_(a, b)                           \
    ((static_cast<DWORD>(static_cast<WORD>(a))) | \
     ((static_cast<DWORD>(static_cast<WORD>(b))) << 16))
#define MAKEWPARAM(low, high) (static_cast<WPARAM>(MAKELONG_((low), (high))))
#define GET_X_LPARAM(lp) (static_cast<int>(static_cast<short>(LOWORD(lp))))
#define GET_Y_LPARAM(lp) (static_cast<int>(static_cast<short>(HIWORD(lp))))

#define WM_MOVE 0x0003u
#define WM_SIZE 0x0005u
#define WM_ACTIVATE 0x0006u
#define WM_SETFOCUS 0x0007u
#define WM_KILLFOCUS 0x0008u
#define WM_ENABLE 0x000Au
#define WM_SETREDRAW 0x000Bu
#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_PAINT 0x000Fu
#define WM_ERASEBKGND 0x0014u
#define WM_SHOWWINDOW 0x0018u
#define WM_SETCURSOR 0x0020u
#define WM_MOUSEACTIVATE 0x0021u
#define WM_WINDOWPOSCHANGING 0x0046u
#define WM_WINDOWPOSCHANGED 0x0047u
#define WM_CONTEXTMENU 0x007Bu
#define WM_SETICON 0x0080u
#define WM_GETICON 0x007Fu
#define WM_NCHITTEST 0x0084u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_SYSCOMMAND 0x0112u
#define WM_MOUSEFIRST 0x0200u
#define WM_MOUSEMOVE 0x0200u
#define WM_LBUTTONDOWN 0x0201u
#define WM_LBUTTONUP 0x0202u
#define WM_LBUTTONDBLCLK 0x0203u
#define WM_RBUTTONDOWN 0x0204u
#define WM_RBUTTONUP 0x0205u
#define WM_RBUTTONDBLCLK 0x0206u
#define WM_MBUTTONDOWN 0x0207u
#define WM_MBUTTONUP 0x0208u
#define WM_MOUSEWHEEL 0x020Au
#define WM_MOUSELAST 0x020Du
#define WM_SIZING 0x0214u
#define WM_CAPTURECHANGED 0x0215u
#define WM_MOUSEHOVER 0x02A1u
#define WM_MOUSELEAVE 0x02A3u

#define MK_LBUTTON 0x0001u
#define MK_RBUTTON 0x0002u

// WM_ACTIVATE's LOWORD(wParam); lParam is the other window (or null).
#define WA_INACTIVE 0
#define WA_ACTIVE 1
#define WA_CLICKACTIVE 2

#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_CAPTION 0x00C00000u
#define WS_SYSMENU 0x00080000u
#define WS_DISABLED 0x08000000u
#define WS_TABSTOP 0x00010000u
#define WS_GROUP 0x00020000u
#define WS_EX_TOPMOST 0x00000008u
#define WS_EX_TRANSPARENT 0x00000020u
#define WS_EX_TOOLWINDOW 0x00000080u
#define WS_EX_LAYERED 0x00080000u
#define WS_EX_COMPOSITED 0x02000000u
#define WS_EX_NOACTIVATE 0x08000000u

#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWLP_ID (-12)
#define GWLP_HWNDPARENT (-8)

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_SHOWNA 8

#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u
#define SWP_NOREDRAW 0x0008u
#define SWP_NOACTIVATE 0x0010u
#define SWP_FRAMECHANGED 0x0020u
#define SWP_SHOWWINDOW 0x0040u
#define SWP_HIDEWINDOW 0x0080u
#define SWP_NOOWNERZORDER 0x0200u

#define HWND_TOP (reinterpret_cast<HWND>(static_cast<intptr_t>(0)))
#define HWND_BOTTOM (reinterpret_cast<HWND>(static_cast<intptr_t>(1)))
#define HWND_TOPMOST (reinterpret_cast<HWND>(static_cast<intptr_t>(-1)))
#define HWND_NOTOPMOST (reinterpret_cast<HWND>(static_cast<intptr_t>(-2)))
// To every top-level window of this process (SendMessageW, PostMessageW).
#define HWND_BROADCAST (reinterpret_cast<HWND>(static_cast<intptr_t>(0xFFFF)))
// CreateWindowExW's parent for a window that only receives messages: it has
// no rectangle on the screen and never gets mouse or activation messages.
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))

#define RDW_INVALIDATE 0x0001u
#define RDW_ERASE 0x0004u
#define RDW_ALLCHILDREN 0x0080u
#define RDW_UPDATENOW 0x0100u

// --- rectangles and points (any thread) ---------------------------------
BOOL SetRect(LPRECT rect, int left, int top, int right, int bottom);
BOOL SetRectEmpty(LPRECT rect);
BOOL CopyRect(LPRECT to, const RECT* from);
// Right and bottom are outside the rectangle.
BOOL PtInRect(const RECT* rect, POINT point);
BOOL IsRectEmpty(const RECT* rect);
BOOL OffsetRect(LPRECT rect, int dx, int dy);
BOOL InflateRect(LPRECT rect, int dx, int dy);
// FALSE (and an empty out) when they do not meet.
BOOL IntersectRect(LPRECT out, const RECT* a, const RECT* b);
BOOL UnionRect(LPRECT out, const RECT* a, const RECT* b);
BOOL EqualRect(const RECT* a, const RECT* b);
int MulDiv(int number, int numerator, int denominator);

// --- geometry --------------------------------------------------------------
// The window's rectangle in screen coordinates. FALSE with 1400 for no window.
BOOL GetWindowRect(HWND window, LPRECT rect);
// (0, 0, width, height) of the client area.
BOOL GetClientRect(HWND window, LPRECT rect);
BOOL ClientToScreen(HWND window, LPPOINT point);
BOOL ScreenToClient(HWND window, LPPOINT point);
// From one window's client coordinates to another's (null: the screen).
// Returns the horizontal shift in its low word, the vertical in its high word.
int MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count);
// Moves and sizes; WM_MOVE and WM_SIZE (SIZE_RESTORED, width and height) are
// sent when they change. repaint invalidates the window (with erase).
BOOL MoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint);
// As MoveWindow with the SWP_ flags; after is HWND_TOP, HWND_TOPMOST,
// HWND_NOTOPMOST or a sibling to go behind; SWP_SHOWWINDOW and
// SWP_HIDEWINDOW show and hide. A top-level window moved, sized or shown
// without SWP_NOACTIVATE is not activated by it (use SetForegroundWindow).
BOOL SetWindowPos(HWND window, HWND after, int x, int y, int width, int height, UINT flags);
// A batch of SetWindowPos calls, run in order by EndDeferWindowPos.
typedef struct HDWP__* HDWP;
HDWP BeginDeferWindowPos(int count);
HDWP DeferWindowPos(HDWP batch, HWND window, HWND after, int x, int y, int width, int height,
                    UINT flags);
BOOL EndDeferWindowPos(HDWP batch);
// SW_HIDE, SW_SHOW, SW_SHOWNORMAL (these two activate a top-level window),
// SW_SHOWNA and SW_SHOWNOACTIVATE. Sends WM_SHOWWINDOW (wParam TRUE or FALSE)
// when the visibility changes. Returns whether it was visible before.
BOOL ShowWindow(HWND window, int command);
// Visible: the window and all its ancestors have WS_VISIBLE.
BOOL IsWindowVisible(HWND window);
// Sends WM_ENABLE when it changes; returns whether it was disabled before.
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
// The parent of a child window, the owner of any other (null: none).
HWND GetParent(HWND window);
// GWL_STYLE, GWL_EXSTYLE, GWLP_ID (the menu argument of a child's creation).
LONG GetWindowLongW(HWND window, int index);
LONG SetWindowLongW(HWND window, int index, LONG value);
// The deepest visible window of this process at the screen point, or null.
HWND WindowFromPoint(POINT point);
// A child of the window with the id (GWLP_ID), or null (1421 none).
HWND GetDlgItem(HWND window, int id);
int GetDlgCtrlID(HWND window);
BOOL SetWindowTextW(HWND window, LPCWSTR text);
// Copies at most size - 1 units and a NUL; returns the length copied.
int GetWindowTextW(HWND window, LPWSTR text, int size);
int GetWindowTextLengthW(HWND window);

// A pseudo window for the whole screen: its rectangle is the screen's. It
// has no procedure and takes no messages.
HWND GetDesktopWindow();

// --- painting ----------------------------------------------------------------
// Each window keeps its own picture (its client area). Invalidating adds to
// the window's update rectangle; while a window of the thread has one, and
// no posted message waits, GetMessageW and PeekMessageW give WM_PAINT for it
// (parents before their children). BeginPaint sends WM_ERASEBKGND when an
// erase was asked for, hands a DC that draws on the window's picture clipped
// to the update rectangle, and validates it; the DefWindowProcW of WM_PAINT
// validates too.
struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
};
typedef PAINTSTRUCT* LPPAINTSTRUCT;
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND window, const RECT* rect);
BOOL GetUpdateRect(HWND window, LPRECT rect, BOOL erase);
// Paints the window now (its WM_PAINT, sent) when it has an update rectangle.
BOOL UpdateWindow(HWND window);
BOOL RedrawWindow(HWND window, const RECT* rect, HRGN region, UINT flags);
HDC BeginPaint(HWND window, LPPAINTSTRUCT paint);
BOOL EndPaint(HWND window, const PAINTSTRUCT* paint);
// A DC on the window's picture (client area) until ReleaseDC. GetDC(null)
// gives a DC of the screen's format that draws nowhere.
HDC GetDC(HWND window);
HDC GetWindowDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
// Records the window as locked for updates (one at a time; null unlocks).
// Nothing depends on it: drawing and painting go on as before.
BOOL LockWindowUpdate(HWND window);

// The window's shape: outside the region (window coordinates) nothing of the
// window is shown nor hit. The window owns the region from then on (the
// caller must not delete it); null removes the shape.
int SetWindowRgn(HWND window, HRGN region, BOOL redraw);

// --- layered windows ----------------------------------------------------
#define LWA_COLORKEY 0x00000001u
#define LWA_ALPHA 0x00000002u
// For a WS_EX_LAYERED window: the opacity the compositor shows it with
// (LWA_ALPHA) and a colour shown as fully transparent (LWA_COLORKEY).
BOOL SetLayeredWindowAttributes(HWND window, COLORREF key, BYTE alpha, DWORD flags);
BOOL GetLayeredWindowAttributes(HWND window, COLORREF* key, BYTE* alpha, DWORD* flags);

// --- the mouse ------------------------------------------------------------
// The cursor's position on the screen (any thread).
BOOL GetCursorPos(LPPOINT point);
BOOL SetCursorPos(int x, int y);
// The mouse goes to the window until released (per process here). Returns
// the window that held it before. WM_CAPTURECHANGED goes to the window that
// loses it.
HWND SetCapture(HWND window);
BOOL ReleaseCapture();
HWND GetCapture();

#define TME_HOVER 0x00000001u
#define TME_LEAVE 0x00000002u
#define TME_CANCEL 0x80000000u
#define HOVER_DEFAULT 0xFFFFFFFFu
struct TRACKMOUSEEVENT {
    DWORD cbSize;
    DWORD dwFlags;
    HWND hwndTrack;
    DWORD dwHoverTime;
};
typedef TRACKMOUSEEVENT* LPTRACKMOUSEEVENT;
// TME_HOVER: WM_MOUSEHOVER is posted once the cursor has stayed over the
// window, within SM_CXMOUSEHOVER x SM_CYMOUSEHOVER pixels, for the hover time
// (on the clock of GetTickCount; HOVER_DEFAULT: SPI_GETMOUSEHOVERTIME, 400
// ms). TME_LEAVE: WM_MOUSELEAVE is posted when the cursor leaves the window,
// moving onto a child of it included (at once when it is not over it now).
// Each fires once and ends the tracking; TME_CANCEL ends it. FALSE with 87
// for a size other than sizeof(TRACKMOUSEEVENT), 1400 for no window.
BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track);
// 500 ms unless a test changes it.
UINT GetDoubleClickTime();

// --- activation and focus ---------------------------------------------------
// One active window in the process, a top-level window. When it changes the
// window losing it gets WM_ACTIVATE (WA_INACTIVE, the new one), also when it
// goes because it is being destroyed (before its WM_DESTROY); then the new
// one gets WM_ACTIVATE (WA_ACTIVE or WA_CLICKACTIVE, the old one). Both are
// sent. A press on a top-level window activates it (unless it has
// WS_EX_NOACTIVATE), a press outside every window of the process leaves the
// process without an active window; showing a top-level window with
// WS_VISIBLE at its creation or with SW_SHOW activates it.
HWND SetActiveWindow(HWND window);
HWND GetActiveWindow();
// The window's top-level window becomes the active one; TRUE.
BOOL SetForegroundWindow(HWND window);
HWND GetForegroundWindow();
// Keyboard focus (one window of the process): WM_KILLFOCUS to the window
// losing it (wParam the new one), WM_SETFOCUS to the new one (wParam the old
// one), sent. Returns the window that had it.
HWND SetFocus(HWND window);
HWND GetFocus();

// --- the screen -------------------------------------------------------------
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXDOUBLECLK 36
#define SM_CYDOUBLECLK 37
#define SM_CXSMICON 49
#define SM_CYSMICON 50
#define SM_CXVIRTUALSCREEN 78
#define SM_CYVIRTUALSCREEN 79
// Screen 1280 x 800, icons 32 x 32, small icons 16 x 16, double-click square
// 4 x 4; 0 for any other index.
int GetSystemMetrics(int index);

#define SPI_GETWORKAREA 0x0030u
#define SPI_GETMOUSEHOVERWIDTH 0x0062u
#define SPI_GETMOUSEHOVERHEIGHT 0x0064u
#define SPI_GETMOUSEHOVERTIME 0x0066u
// SPI_GETWORKAREA: a RECT; SPI_GETMOUSEHOVERTIME/WIDTH/HEIGHT: a UINT (400,
// 4, 4). FALSE with 87 for another action or a null parameter.
BOOL SystemParametersInfoW(UINT action, UINT uiParam, PVOID parameter, UINT winIni);

// A message number for a name, the same for the same name (case-blind) in
// the process: 0xC000 to 0xFFFF. 0 with 87 for a null or empty name.
UINT RegisterWindowMessageW(LPCWSTR name);
UINT RegisterWindowMessageA(LPCSTR name);
