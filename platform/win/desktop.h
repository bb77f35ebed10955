// The user's desktop: the notification area, the taskbar, opening documents
// and addresses, message boxes, the user's language, the system's version,
// resource libraries and dialogs made from their templates.
#pragma once

#include "platform/win/gdi.h"
#include "platform/win/gui.h"
#include "platform/win/rpc.h"
#include "platform/win/shell.h"
#include "platform/win/types.h"

// --- notification area ------------------------------------------------------
#define NIM_ADD 0x00000000u
#define NIM_MODIFY 0x00000001u
#define NIM_DELETE 0x00000002u
#define NIM_SETFOCUS 0x00000003u
#define NIM_SETVERSION 0x00000004u
#define NIF_MESSAGE 0x00000001u
#define NIF_ICON 0x00000002u
#define NIF_TIP 0x00000004u
#define NIF_STATE 0x00000008u
#define NIF_INFO 0x00000010u
#define NOTIFYICON_VERSION 3
#define NOTIFYICON_VERSION_4 4
#define NIN_SELECT (WM_USER + 0)
#define NIN_KEYSELECT (WM_USER + 1)
// The layout as the program fills it; cbSize is not checked (programs give
// the size of the members they fill).
struct NOTIFYICONDATAW {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    union {
        UINT uTimeout;
        UINT uVersion;
    };
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    HICON hBalloonIcon;
};
typedef NOTIFYICONDATAW* PNOTIFYICONDATAW;
// The notification area of the screen, kept by the layer (read and clicked
// by tests through platform/desktop/gui_test.h). An icon is (hWnd, uID). NIM_ADD:
// FALSE when it exists (or hWnd is no window); NIM_MODIFY, NIM_DELETE,
// NIM_SETVERSION: FALSE when it does not. The icon is copied (the caller may
// destroy its handle). NIF_MESSAGE sets the callback message, NIF_ICON the
// image, NIF_TIP the tooltip; NIM_SETVERSION takes uVersion (0, 3 or 4).
// The callback message is posted to hWnd: version below 4 with wParam the
// icon id and lParam the mouse message; version 4 with wParam the cursor's
// screen point (x low word, y high word) and lParam the event (NIN_SELECT,
// WM_CONTEXTMENU, WM_MOUSEMOVE...) in its low word and the id in its high.
BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data);

// --- taskbar ------------------------------------------------------------------
#define ABM_GETSTATE 0x00000004u
#define ABM_GETTASKBARPOS 0x00000005u
#define ABE_LEFT 0
#define ABE_TOP 1
#define ABE_RIGHT 2
#define ABE_BOTTOM 3
struct APPBARDATA {
    DWORD cbSize;
    HWND hWnd;
    UINT uCallbackMessage;
    UINT uEdge;
    RECT rc;
    LPARAM lParam;
};
typedef APPBARDATA* PAPPBARDATA;
// ABM_GETTASKBARPOS: the taskbar's edge and screen rectangle, TRUE. Any other
// message: 0.
UINT_PTR SHAppBarMessage(DWORD message, PAPPBARDATA data);

// --- opening documents and addresses ----------------------------------------
#define SEE_MASK_DEFAULT 0x00000000u
#define SE_ERR_NOASSOC 31
// Opens an http or https address (verb null or "open") in the user's
// browser, started detached (BROWSER, else xdg-open; the layer reaps it).
// While a test records launches (platform/desktop/gui_test.h) nothing is started and
// the address is recorded instead. Returns a value above 32 on success;
// SE_ERR_NOASSOC (31, last error 1155) for anything else, or when no browser
// could be started (2).
HINSTANCE ShellExecuteW(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                        int show);
// ShellExecuteExW (shell.h) opens http and https addresses the same way.

// The wide form of SHGetSpecialFolderPathA (shell.h): MAX_PATH units.
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
// Cuts the last part (file name) off a path in place; TRUE when it did.
BOOL PathRemoveFileSpecW(LPWSTR path);

// --- message boxes --------------------------------------------------------------
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNO 0x00000004u
#define MB_ICONERROR 0x00000010u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
// Nobody can answer: writes "caption: text" to standard error as one line,
// records it for tests, and returns IDOK (IDYES for MB_YESNO).
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// --- language and version ---------------------------------------------------
typedef WORD LANGID;
// From the locale of the environment (LC_ALL, LC_MESSAGES, LANG, in that
// order): zh_CN 2052, zh_TW 1028, de_DE 1031, fr_FR 1036, ja_JP 1041; en_*,
// C, POSIX and an unset locale 1033; any other 1033.
LANGID GetSystemDefaultLangID();
LANGID GetUserDefaultLangID();
struct OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
typedef OSVERSIONINFOEXW OSVERSIONINFOW;
// Version 6.1, build 7601. FALSE with 87 when the size is neither of the
// structure's.
BOOL GetVersionExW(OSVERSIONINFOW* info);

// --- resource libraries ---------------------------------------------------------
// A resource library here is a text file of the project's own (see
// platform/modules/resources.md): strings by id, dialog templates and icons (each an
// ICO file named relative to the library's folder). LoadLibraryW of a name
// ending in ".dll" other than the layer's built-in modules reads such a
// file: null with 126 when it is missing, 193 when it is not in that format
// (malformed, truncated, or larger than 1 MiB). The running program's own
// resources (GetModuleHandleW(null)) are read from the file beside it named
// as the program with ".res" added, when there is one.
HMODULE LoadLibraryW(LPCWSTR name);
// Copies string id of the module into buffer (at most size - 1 units and a
// NUL) and returns its length; 0 (buffer "") when the module has no such
// string. size 0: *buffer receives a pointer to the read-only string, which
// lives as long as the module, and the result is its length.
int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int size);

// --- dialogs -------------------------------------------------------------------
typedef INT_PTR (*DLGPROC)(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC 8
#define DWLP_USER 16
#define STM_SETICON 0x0170u
#define STM_GETICON 0x0171u
#define BM_CLICK 0x00F5u
#define BN_CLICKED 0
// Makes a dialog of the template (its id) in the module's resource file: a
// window with a frame of 1 pixel and a caption 20 pixels high above its
// client area (the template's size is the client's, in pixels), the
// template's caption as its text, and its controls as child windows of the
// classes "STATIC" and "BUTTON" at their client positions. The procedure
// gets WM_INITDIALOG (lParam the parameter); its result is then the
// message's result, else the dialog's default handling: WM_CLOSE becomes
// WM_COMMAND IDCANCEL, a BUTTON control's click WM_COMMAND of its id. Null
// with 1812 when the template is missing.
HWND CreateDialogParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC procedure,
                        LPARAM parameter);
// The dialog, modal: its owner disabled, a message loop of its own until
// EndDialog; returns EndDialog's result (-1 when it could not be made).
INT_PTR DialogBoxParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC procedure,
                        LPARAM parameter);
BOOL EndDialog(HWND dialog, INT_PTR result);
// Handles the message when it is for the dialog or one of its controls
// (runs it, TRUE); FALSE otherwise.
BOOL IsDialogMessageW(HWND dialog, LPMSG msg);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
