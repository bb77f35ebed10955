// The service host's hidden window: it is never shown, and exists to receive
// the clock-change broadcast, which it forwards to the job engine's
// dispatcher so that every armed timer is set again for the new clock.
#pragma once

#include "job/core/iocp_dispatcher.h"
#include "platform/desktop/atl_window.h"

class HiddenWindow : public ATL::CWindowImpl<HiddenWindow, ATL::CWindow, ATL::CWinTraits<0, 0>> {
public:
    BEGIN_MSG_MAP(HiddenWindow)
    MESSAGE_HANDLER(WM_TIMECHANGE, OnTimeChange)
    END_MSG_MAP()

private:
    LRESULT OnTimeChange(UINT, WPARAM, LPARAM, BOOL& handled) {
        IocpDispatherWrapper::notifyTimeChange();
        handled = TRUE;
        return 0;
    }
};
