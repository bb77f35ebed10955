// Windows, window classes, message queues and timers: a headless window
// system of this process. Windows are never drawn; they exist to receive
// messages. Every thread has its own queue, made by its first queue call
// (GetMessageW, PeekMessageW, PostQuitMessage, SendMessageW to another
// thread's window, SetTimer, CreateWindowExW); a window belongs to the thread
// that made it, and its procedure runs only on that thread.
//
// When a thread ends, its queue goes: its windows are gone (without further
// messages), what was posted to it is dropped, and every SendMessageW still
// waiting for it returns 0.
#pragma once

#include "platform/win/types.h"

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;
typedef struct HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef struct HMENU__* HMENU;

struct POINT {
    LONG x;
    LONG y;
};
struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
typedef RECT* LPRECT;

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // GetTickCount() when the message was taken from the queue
    POINT pt;    // always 0, 0 here: there is no pointer
};
typedef MSG* LPMSG;

typedef LRESULT (*WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// A timer's procedure: called by DispatchMessageW for its WM_TIMER, with the
// timer's id and GetTickCount().
typedef void (*TIMERPROC)(HWND window, UINT message, UINT_PTR id, DWORD time);

#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_TIMECHANGE 0x001Eu
#define WM_NCCREATE 0x0081u
#define WM_NCDESTROY 0x0082u
#define WM_TIMER 0x0113u
#define WM_USER 0x0400u
#define WM_APP 0x8000u

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#define PM_NOYIELD 0x0002u

#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define CW_USEDEFAULT (static_cast<int>(0x80000000u))

#define GWLP_WNDPROC (-4)
#define GWLP_USERDATA (-21)

#define USER_TIMER_MINIMUM 0x0000000Au
#define USER_TIMER_MAXIMUM 0x7FFFFFFFu

#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CANNOT_FIND_WND_CLASS 1407u
#define ERROR_CLASS_ALREADY_EXISTS 1410u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_INVALID_THREAD_ID 1444u

// An atom given where a class name is expected.
#define MAKEINTATOM(atom) \
    (reinterpret_cast<LPCWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(atom))))

struct WNDCLASSEXW {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;  // bytes of the window's own, read and written with Get/SetWindowLongPtrW
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
    HICON hIconSm;
};
struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
};

// What WM_NCCREATE and WM_CREATE carry in lParam, valid during the call.
struct CREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};

// Classes are of the process (the instance is not looked at); the A form
// takes UTF-8 names, in the same name space. Returns the class's atom, or 0
// with 1410 for a name that is taken, 87 for a null class, procedure or name,
// or a negative extra size. Any thread.
ATOM RegisterClassExW(const WNDCLASSEXW* windowClass);
ATOM RegisterClassExA(const WNDCLASSEXA* windowClass);

// Makes a window of the calling thread: its class by name or atom, a parent
// (any thread's window, or null for a top-level window). The class's
// procedure gets WM_NCCREATE (FALSE: no window) and WM_CREATE (-1: the window
// is destroyed), both with a CREATESTRUCTW, before this returns. Null with
// 1407 for an unknown class, 1400 for a parent that is no window. The
// position, size, title and menu are not kept; the window is never shown.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID parameter);

// Destroys a window of the calling thread and its children: WM_DESTROY to
// it, then the children are destroyed, then WM_NCDESTROY to it; its timers
// end, and SendMessageW calls waiting for it return 0. Messages posted to it
// stay in the queue (DispatchMessageW then does nothing). FALSE with 1400 for
// a handle that is no window, 5 for another thread's window.
BOOL DestroyWindow(HWND window);
// Whether the handle names a living window (of any thread). Any thread.
BOOL IsWindow(HWND window);
// The thread that owns the window (0 for no window); *processId, when given,
// receives this process's id.
DWORD GetWindowThreadProcessId(HWND window, LPDWORD processId);

// GWLP_WNDPROC, GWLP_USERDATA, or an offset into the window's extra bytes
// (up to cbWndExtra less the size of a LONG_PTR). Set returns the previous
// value. 0 with 1400 for no window, 1413 for another index.
LONG_PTR GetWindowLongPtrW(HWND window, int index);
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);

// What a window procedure does with what it does not handle: WM_NCCREATE
// gives TRUE, WM_CLOSE destroys the window, anything else gives 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Takes the next message of the calling thread's queue for the window (null:
// any window of the thread, and the thread's own messages; (HWND)-1: the
// thread's own only) in the range of messages (0, 0: all). Messages that
// other threads sent to the thread's windows are run first, inside this
// call, and are never returned. Then, in this order: posted messages in the
// order they came, WM_QUIT of PostQuitMessage (whatever the filter), and
// WM_TIMER of a due timer. Waits for one, without limit.
// Returns 0 when the message is WM_QUIT, -1 with 1400 for a window filter
// that is no window of the thread, 87 for a null msg; otherwise non-zero.
BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
// As GetMessageW without waiting: FALSE when there is none. With PM_REMOVE
// the message is taken out, with PM_NOREMOVE left (a timer then stays due,
// WM_QUIT stays to come).
BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
// There is no keyboard here: nothing is translated (FALSE).
BOOL TranslateMessage(const MSG* msg);
// Runs the message: a WM_TIMER that carries a timer procedure calls it;
// otherwise the window's procedure, whose result is returned. 0 (and 1400)
// for a window that no longer lives, 5 for another thread's window; a
// message to no window does nothing.
LRESULT DispatchMessageW(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);

// Puts a message at the end of the queue of the window's thread and returns.
// A null window posts to the calling thread (which then has a queue). FALSE
// with 1400 for a handle that is no window. Any thread.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Posts to a thread's queue, with no window. FALSE with 1444 when the thread
// has no queue (it never made one, or it ended). Any thread.
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Asks the calling thread's message loop to end: its GetMessageW returns 0
// with WM_QUIT (wParam the code) once the posted messages are taken.
void PostQuitMessage(int exitCode);

// Runs the window's procedure and returns its result. For a window of the
// calling thread the procedure is called directly. For another thread's
// window the message waits in that thread's queue until its GetMessageW or
// PeekMessageW runs it, and the caller waits for the result; meanwhile the
// caller runs the messages that other threads send to its own windows, so
// that two threads that send to each other do not block. 0 when the window
// is no window (1400), or when it or its thread goes before the message ran.
// Windows are of this process only: there is no broadcast to every window.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// As SendMessageW, but for another thread's window it returns at once
// (TRUE) and drops the result. FALSE with 1400 for no window.
BOOL SendNotifyMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Makes or replaces a timer of the calling thread. With a window (of the
// calling thread; 5 otherwise) the timer is (window, id) and the result is
// id (1 for an id of 0); without one, a new timer id is returned unless id
// names a timer of the thread without a window, which is then replaced.
// When due, the queue gives WM_TIMER (wParam the id, lParam the procedure)
// once, however long it was not taken, and the next comes elapse
// milliseconds after it was taken. An elapse below USER_TIMER_MINIMUM is
// raised to it. 0 with 1400 for a handle that is no window.
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure);
// Ends the timer; FALSE when the calling thread has no such timer.
BOOL KillTimer(HWND window, UINT_PTR id);
