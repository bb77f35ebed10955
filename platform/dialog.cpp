// Dialogs made from the templates of resource libraries (platform/win/desktop.h).
#include "platform/win/desktop.h"
#include "platform/win/errors.h"

HWND CreateDialogParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) {
    SetLastError(1812);
    return nullptr;
}
INT_PTR DialogBoxParamW(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) { return -1; }
BOOL EndDialog(HWND, INT_PTR) { return FALSE; }
BOOL IsDialogMessageW(HWND, LPMSG) { return FALSE; }
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(GetDlgItem(dialog, id), message, wParam, lParam);
}
LRESULT DefDlgProcW(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(dialog, message, wParam, lParam);
}
