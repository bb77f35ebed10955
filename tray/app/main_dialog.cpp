#include "tray/app/main_dialog.h"

#include <ace/Log_Msg.h>

#include "common/ace_log_wrapper.h"
#include "tray/app/about_dialog.h"
#include "tray/app/tray_main.h"
#include "tray/tray_drawing.h"

WTL::CAppModule _Module;

namespace {

TrayController& controller() { return *TrayController::instance(); }

}  // namespace

BOOL CMainDlg::PreTranslateMessage(MSG* msg) { return IsDialogMessageW(m_hWnd, msg); }

BOOL CMainDlg::OnIdle() { return FALSE; }

LRESULT CMainDlg::OninitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    ACE_TRACE("CMainDlg::OninitDialog\n");
    CenterWindow();
    HINSTANCE resources = _Module.GetResourceInstance();
    bigIcon_ = LoadImageW(resources, MAKEINTRESOURCEW(128), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                          GetSystemMetrics(SM_CYICON), 0);
    SendMessage(WM_SETICON, 1 /* ICON_BIG */, reinterpret_cast<LPARAM>(bigIcon_));
    smallIcon_ = LoadImageW(resources, MAKEINTRESOURCEW(128), IMAGE_ICON,
                            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0);
    SendMessage(WM_SETICON, 0 /* ICON_SMALL */, reinterpret_cast<LPARAM>(smallIcon_));

    if (WTL::CMessageLoop* loop = _Module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    UIAddChildWindowContainer(m_hWnd);

    controller().init(m_hWnd);

    taskbarCreatedMsg_ = RegisterWindowMessageW(L"TaskbarCreated");
    if (!taskbarCreatedMsg_)
        log_message(LM_ERROR, "Failed to register taskbar created message, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
    programUpdateMsg_ = RegisterWindowMessageW(kProgramUpdateMessageName);
    if (!programUpdateMsg_)
        log_message(LM_ERROR, "Failed to register PROGRAM_UPDATE_MSG, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));

    watcher_.start(m_hWnd);
    return TRUE;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    ACE_TRACE("CMainDlg::OnDestroy");
    // The watcher gives up a shutdown request it waits in once stopped.
    watcher_.stop();
    controller().fini();
    if (WTL::CMessageLoop* loop = _Module.GetMessageLoop()) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    for (HANDLE* icon : {&bigIcon_, &smallIcon_}) {
        if (*icon) DestroyIcon(static_cast<HICON>(*icon));
        *icon = nullptr;
    }
    return 0;
}

LRESULT CMainDlg::OnOK(WORD, WORD, HWND, BOOL&) {
    DestroyWindow();
    PostQuitMessage(1);
    return 0;
}

LRESULT CMainDlg::OnCancel(WORD, WORD, HWND, BOOL&) {
    DestroyWindow();
    PostQuitMessage(2);
    return 0;
}

LRESULT CMainDlg::OnTrayMenuExit(WORD, WORD, HWND, BOOL&) {
    ACE_TRACE("CMainDlg::OnTrayMenuExit");
    DestroyWindow();
    PostQuitMessage(0);
    return 0;
}

LRESULT CMainDlg::OnTrayMenuAbout(WORD, WORD, HWND, BOOL&) {
    ACE_TRACE("CMainDlg::OnTrayMenuAbout");
    CAboutDlg about;
    about.DoModal(GetActiveWindow());
    return 0;
}

LRESULT CMainDlg::OnTrayMenuTovel(WORD, WORD, HWND, BOOL&) {
    ACE_TRACE("CMainDlg::OnTrayMenuTovel");
    tray::open_web_interface();
    return 0;
}

LRESULT CMainDlg::OnTrayMenuSetting(WORD, WORD, HWND, BOOL&) {
    ACE_TRACE("CMainDlg::OnTrayMenuSetting");
    return 0;
}

LRESULT CMainDlg::OnJobChange(UINT, WPARAM, LPARAM, BOOL&) {
    controller().JobChange();
    return 0;
}

LRESULT CMainDlg::OnTrayIcon(UINT message, WPARAM wParam, LPARAM lParam, BOOL&) {
    controller().OnTrayMessage(message, wParam, lParam);
    return 0;
}

LRESULT CMainDlg::OnTaskbarCreated(UINT message, WPARAM wParam, LPARAM lParam, BOOL&) {
    ACE_TRACE("CMainDlg::OnTaskbarCreated");
    controller().OnTaskBarCreated(message, wParam, lParam);
    return 0;
}

LRESULT CMainDlg::OnShutdown(UINT, WPARAM wParam, LPARAM, BOOL&) {
    controller().onShutdown(reinterpret_cast<HANDLE>(wParam));
    return 0;
}

LRESULT CMainDlg::OnProgramUpdate(UINT, WPARAM, LPARAM, BOOL&) {
    SendMessage(WM_CLOSE, 0, 0);
    return 0;
}
