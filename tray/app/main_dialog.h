// The tray's hidden main window: it routes the notification icon's
// messages, the tray menu's commands and the tray's private messages to the
// tray controller, and runs the watcher that closes the tray when the
// service ends.
#pragma once

#include "platform/desktop/atl_window.h"
#include "platform/desktop/wtl.h"
#include "tray/app/exit_watcher.h"
#include "tray/tray_controller.h"

// The program's module (its resource instance is the resource library once
// loaded, and its message loops).
extern WTL::CAppModule _Module;

// Commands of the main window.
inline constexpr WORD ID_APP_ABOUT = 57664;
inline constexpr WORD ID_TRAY_EXIT = 32793;
inline constexpr WORD ID_TRAY_ABOUT = 32794;
inline constexpr WORD ID_TRAY_OPEN_UI = 32795;
inline constexpr WORD ID_TRAY_SETTING = 32796;

// The message by which "-k" asks every running tray to close.
inline constexpr wchar_t kProgramUpdateMessageName[] = L"{ADCCBBD3-E05B-46d0-8AB0-7A48512105A8}";

// Dialog template 129, made modeless and never shown; it lives on the stack
// of Run for the whole message loop. GUI thread only. Its ways out: Exit
// (32793) ends the loop with 0, IDOK with 1, IDCANCEL with 2 (every
// WM_CLOSE becomes IDCANCEL: "-k" from another process, the service's exit).
class CMainDlg : public ATL::CDialogImpl<CMainDlg, ATL::CWindow>,
                 public WTL::CUpdateUI<CMainDlg>,
                 public WTL::CMessageFilter,
                 public WTL::CIdleHandler {
public:
    enum { IDD = 129 };

    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnIdle() override;

    BEGIN_UPDATE_UI_MAP(CMainDlg)
    END_UPDATE_UI_MAP()

    BEGIN_MSG_MAP(CMainDlg)
    MESSAGE_HANDLER(WM_INITDIALOG, OninitDialog)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    COMMAND_ID_HANDLER(ID_APP_ABOUT, OnTrayMenuAbout)
    COMMAND_ID_HANDLER(IDOK, OnOK)
    COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
    COMMAND_ID_HANDLER(ID_TRAY_EXIT, OnTrayMenuExit)
    COMMAND_ID_HANDLER(ID_TRAY_ABOUT, OnTrayMenuAbout)
    COMMAND_ID_HANDLER(ID_TRAY_OPEN_UI, OnTrayMenuTovel)
    COMMAND_ID_HANDLER(ID_TRAY_SETTING, OnTrayMenuSetting)
    MESSAGE_HANDLER(TrayController::TRAY_JOB_CHANGE_MSG, OnJobChange)
    MESSAGE_HANDLER(TrayController::TRAY_ICON_CALLBACK_MSG, OnTrayIcon)
    MESSAGE_HANDLER(kRegistered(taskbarCreatedMsg_), OnTaskbarCreated)
    MESSAGE_HANDLER(TrayController::TRAY_SHUTDOWN_MSG, OnShutdown)
    MESSAGE_HANDLER(kRegistered(programUpdateMsg_), OnProgramUpdate)
    END_MSG_MAP()

    LRESULT OninitDialog(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnDestroy(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnOK(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnCancel(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnTrayMenuExit(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnTrayMenuAbout(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnTrayMenuTovel(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnTrayMenuSetting(WORD notifyCode, WORD id, HWND control, BOOL& handled);
    LRESULT OnJobChange(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnTrayIcon(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnTaskbarCreated(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnShutdown(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);
    LRESULT OnProgramUpdate(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled);

    // The watcher's thread id (0 when it does not run).
    DWORD watcherThreadId() const { return watcher_.threadId(); }

private:
    // A registration that failed (0) matches no message.
    static constexpr UINT kRegistered(UINT id) { return id ? id : 0xFFFFFFFFu; }

    UINT taskbarCreatedMsg_ = 0;
    UINT programUpdateMsg_ = 0;
    HANDLE bigIcon_ = nullptr;
    HANDLE smallIcon_ = nullptr;
    ExitWatcher watcher_;
};
