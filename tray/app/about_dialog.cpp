#include "tray/app/about_dialog.h"

#include "tray/app/fill_text.h"

LRESULT CAboutDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    // The program's own icon, not the resource library's.
    HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128));
    SendDlgItemMessageW(m_hWnd, kIconControl, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);

    // Centred across, its bottom at a third of the dialog's height.
    HWND iconControl = GetDlgItem(kIconControl);
    RECT dialog, picture;
    if (iconControl && GetWindowRect(&dialog) && ::GetWindowRect(iconControl, &picture)) {
        const int iconWidth = picture.right - picture.left;
        const int iconHeight = picture.bottom - picture.top;
        const int x = (dialog.right - dialog.left - iconWidth) / 2;
        const int y = (dialog.bottom - dialog.top) / 3 - iconHeight;
        ::SetWindowPos(iconControl, nullptr, x, y, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    if (HWND version = GetDlgItem(kVersionControl)) {
        std::wstring text;
        wchar_t* shared = nullptr;
        int length = LoadStringW(ATL::_AtlBaseModule.GetResourceInstance(), 12290,
                                 reinterpret_cast<LPWSTR>(&shared), 0);
        if (length > 0 && shared) text.assign(shared, static_cast<size_t>(length));
        ::SetWindowTextW(version, fill_text(text, kTrayVersion).c_str());
    }
    CenterWindow(GetParent());
    return TRUE;
}

LRESULT CAboutDlg::OnCloseCmd(WORD, WORD id, HWND, BOOL&) {
    EndDialog(id);
    return 0;
}
