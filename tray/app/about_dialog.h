// The tray's about box: the program's icon and its version.
#pragma once

#include "platform/desktop/atl_window.h"
#include "platform/desktop/wtl.h"

// The version the about box shows.
inline constexpr wchar_t kTrayVersion[] = L"1.0.212.3636";

// Dialog template 100 of the resource library: control 5001 shows the
// program's own icon 128, control 32797 (when the template has it) the text
// 12290 with the version in its "%s". GUI thread; modal (DoModal) or, in
// tests, modeless.
class CAboutDlg : public ATL::CDialogImpl<CAboutDlg, ATL::CWindow> {
public:
    enum { IDD = 100 };
    static constexpr int kIconControl = 5001;
    static constexpr int kVersionControl = 32797;

    BEGIN_MSG_MAP(CAboutDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    COMMAND_ID_HANDLER(IDOK, OnCloseCmd)
    COMMAND_ID_HANDLER(IDCANCEL, OnCloseCmd)
    END_MSG_MAP()

    LRESULT OnInitDialog(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnCloseCmd(WORD notifyCode, WORD id, HWND control, BOOL& handled);
};
