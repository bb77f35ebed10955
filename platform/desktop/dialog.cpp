// Dialogs made from the templates of resource libraries, with their static,
// icon and button controls (platform/win/desktop.h).
#include <algorithm>
#include <map>
#include <mutex>

#include "platform/desktop/window_core.h"
#include "platform/modules/resources_core.h"
#include "platform/win/desktop.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

constexpr int kBorder = 1;
constexpr int kCaption = 20;
constexpr int kDialogExtra = 3 * sizeof(LONG_PTR);  // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER

struct Ending {
    bool ended = false;
    INT_PTR result = 0;
};

std::mutex& endings_lock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<HWND, Ending>& endings() {
    static auto* all = new std::map<HWND, Ending>;
    return *all;
}

LRESULT dialog_procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dialog, DWLP_DLGPROC));
    if (procedure) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
        INT_PTR handled = procedure(dialog, message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            std::lock_guard<std::mutex> guard(endings_lock());
            endings().erase(dialog);
        }
        if (handled) {
            if (message == WM_INITDIALOG) return handled;
            return GetWindowLongPtrW(dialog, DWLP_MSGRESULT);
        }
    }
    return DefDlgProcW(dialog, message, wParam, lParam);
}

LRESULT control_procedure(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case STM_SETICON: {
            LONG_PTR old = SetWindowLongPtrW(control, 0, static_cast<LONG_PTR>(wParam));
            InvalidateRect(control, nullptr, TRUE);
            return old;
        }
        case STM_GETICON:
            return GetWindowLongPtrW(control, 0);
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(control, &ps);
            RECT client;
            GetClientRect(control, &client);
            HICON icon = reinterpret_cast<HICON>(GetWindowLongPtrW(control, 0));
            if (icon) {
                DrawIconEx(dc, 0, 0, icon, client.right, client.bottom, 0, nullptr, DI_NORMAL);
            } else {
                const bool button = GetWindowLongPtrW(control, sizeof(LONG_PTR)) != 0;
                if (button) {
                    HBRUSH face = CreateSolidBrush(RGB(225, 230, 235));
                    FillRect(dc, &client, face);
                    DeleteObject(face);
                    FrameRect(dc, &client, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
                }
                wchar_t text[512];
                int n = GetWindowTextW(control, text, 512);
                SetBkMode(dc, TRANSPARENT);
                DrawTextW(dc, text, n, &client,
                          button ? DT_CENTER | DT_VCENTER | DT_SINGLELINE : DT_WORDBREAK);
            }
            EndPaint(control, &ps);
            return 0;
        }
        case WM_LBUTTONUP: {
            if (!GetWindowLongPtrW(control, sizeof(LONG_PTR))) break;
            RECT client;
            GetClientRect(control, &client);
            POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (PtInRect(&client, at))
                SendMessageW(GetParent(control), WM_COMMAND,
                             MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                             reinterpret_cast<LPARAM>(control));
            return 0;
        }
        case BM_CLICK:
            SendMessageW(GetParent(control), WM_COMMAND,
                         MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
                         reinterpret_cast<LPARAM>(control));
            return 0;
        default:
            break;
    }
    return DefWindowProcW(control, message, wParam, lParam);
}

bool register_classes() {
    static const bool registered = [] {
        WNDCLASSEXW c = {};
        c.cbSize = sizeof c;
        c.lpfnWndProc = dialog_procedure;
        c.cbWndExtra = kDialogExtra;
        c.lpszClassName = L"#32770";
        ATOM dialog = RegisterClassExW(&c);
        c.lpfnWndProc = control_procedure;
        c.cbWndExtra = 2 * sizeof(LONG_PTR);  // the icon, and whether it is a button
        c.lpszClassName = L"STATIC";
        ATOM stat = RegisterClassExW(&c);
        c.lpszClassName = L"BUTTON";
        ATOM button = RegisterClassExW(&c);
        return dialog && stat && button;
    }();
    return registered;
}

}  // namespace
}  // namespace tovel::platform

HWND CreateDialogParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC procedure,
                        LPARAM parameter) {
    using namespace tovel::platform;
    res::Dialog form;
    if (!IS_INTRESOURCE(templateName) ||
        !res::dialog(module, static_cast<UINT>(reinterpret_cast<uintptr_t>(templateName)), form)) {
        SetLastError(1812);  // the resource image has no such section
        return nullptr;
    }
    if (!register_classes()) return nullptr;
    HWND dialog =
        CreateWindowExW(0, L"#32770", form.caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, 0,
                        0, form.width + 2 * kBorder, form.height + kCaption + 2 * kBorder, parent,
                        nullptr, module, nullptr);
    if (!dialog) return nullptr;
    set_frame(dialog, {kBorder, kBorder + kCaption, kBorder, kBorder});
    SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(procedure));
    HWND first = nullptr;
    for (const auto& control : form.controls) {
        const bool button = control.kind == L"BUTTON";
        HWND made = CreateWindowExW(
            0, button ? L"BUTTON" : L"STATIC", control.text.c_str(), WS_CHILD | WS_VISIBLE,
            control.x, control.y, control.width, control.height, dialog,
            reinterpret_cast<HMENU>(static_cast<UINT_PTR>(control.id)), module, nullptr);
        if (!made) continue;
        SetWindowLongPtrW(made, sizeof(LONG_PTR), button ? 1 : 0);
        if (!first) first = made;
    }
    if (!IsWindow(dialog)) return nullptr;
    LRESULT focus = SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), parameter);
    if (!IsWindow(dialog)) return nullptr;
    if (focus && first) SetFocus(first);
    return dialog;
}

INT_PTR DialogBoxParamW(HINSTANCE module, LPCWSTR templateName, HWND parent, DLGPROC procedure,
                        LPARAM parameter) {
    using namespace tovel::platform;
    HWND dialog = CreateDialogParamW(module, templateName, parent, procedure, parameter);
    if (!dialog) return -1;
    {
        std::lock_guard<std::mutex> guard(endings_lock());
        endings()[dialog];
    }
    const bool owner_enabled = parent && IsWindowEnabled(parent);
    if (owner_enabled) EnableWindow(parent, FALSE);
    ShowWindow(dialog, SW_SHOW);
    INT_PTR result = 0;
    MSG msg;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(endings_lock());
            auto it = endings().find(dialog);
            if (it == endings().end()) break;  // destroyed meanwhile
            if (it->second.ended) {
                result = it->second.result;
                break;
            }
        }
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (owner_enabled) EnableWindow(parent, TRUE);
    if (IsWindow(dialog)) DestroyWindow(dialog);
    if (parent && IsWindow(parent)) SetActiveWindow(parent);
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    using namespace tovel::platform;
    if (!IsWindow(dialog)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    bool modal;
    {
        std::lock_guard<std::mutex> guard(endings_lock());
        auto it = endings().find(dialog);
        modal = it != endings().end();
        if (modal) it->second = {true, result};
    }
    if (modal)
        PostMessageW(dialog, WM_NULL, 0, 0);  // wakes the dialog's loop
    else
        ShowWindow(dialog, SW_HIDE);
    return TRUE;
}

BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
    if (!msg || !dialog || !msg->hwnd) return FALSE;
    for (HWND walk = msg->hwnd; walk; walk = GetParent(walk)) {
        if (walk == dialog) {
            TranslateMessage(msg);
            DispatchMessageW(msg);
            return TRUE;
        }
        if (!(GetWindowLongW(walk, GWL_STYLE) & WS_CHILD)) break;
    }
    return FALSE;
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(GetDlgItem(dialog, id), message, wParam, lParam);
}

LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return 0;
        case WM_ERASEBKGND: {
            RECT client;
            GetClientRect(dialog, &client);
            HBRUSH face = CreateSolidBrush(RGB(240, 240, 240));
            FillRect(reinterpret_cast<HDC>(wParam), &client, face);
            DeleteObject(face);
            return 1;
        }
        default:
            return DefWindowProcW(dialog, message, wParam, lParam);
    }
}
