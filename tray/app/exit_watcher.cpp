#include "tray/app/exit_watcher.h"

#include "common/ace_log_wrapper.h"
#include "tray/tray_controller.h"

int agent_exit_watcher(HWND mainDialog, HANDLE stop) {
    // The service may come after the tray (the user logged on first) or
    // come back later: the event is tried again until it is there. Waiting
    // is all the service's access list grants another user.
    HANDLE exitEvent = nullptr;
    bool told = false;
    while (!(exitEvent = OpenEventA(SYNCHRONIZE, FALSE, kAgentExitEventName))) {
        if (!told) {
            log_message(LM_ERROR, "Failed to open the agent monitor event, error-code = %d, %m.\n",
                        static_cast<int>(GetLastError()));
            told = true;
        }
        DWORD woken = WaitForSingleObject(stop, kExitEventRetryMs);
        if (woken == WAIT_OBJECT_0) return 0;
        if (woken != WAIT_TIMEOUT) {
            log_message(LM_ERROR, "Wait agent monitor event failed, error-code = %d, %m.\n",
                        static_cast<int>(GetLastError()));
            return -1;
        }
    }
    if (told) log_message(LM_INFO, "The agent monitor event is open.\n");
    HANDLE events[2] = {exitEvent, stop};
    DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    int result = 0;
    if (woken == WAIT_OBJECT_0) {
        log_message(LM_INFO, "Agent exit event been set.\n");
        // Ends at the stop event too: the GUI thread may be in OnDestroy,
        // waiting for this thread, and never handle the request.
        TrayController::instance()->requestShutdown(stop);
        PostMessageW(mainDialog, WM_CLOSE, 0, 0);
    } else if (woken != WAIT_OBJECT_0 + 1) {
        log_message(LM_ERROR, "Wait agent monitor event failed, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        result = -1;
    }
    CloseHandle(exitEvent);
    return result;
}

ExitWatcher::~ExitWatcher() {
    stop();
    if (stop_) CloseHandle(stop_);
}

bool ExitWatcher::start(HWND mainDialog) {
    if (thread_ || stop_) return false;
    target_ = mainDialog;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stop_) {
        log_message(LM_ERROR, "Failed to create the watcher's stop event, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    thread_ = CreateThread(nullptr, 0, &ExitWatcher::run, this, 0, &threadId_);
    if (!thread_) {
        log_message(LM_ERROR, "Failed to start the agent exit watcher, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

void ExitWatcher::stop() {
    if (stop_) SetEvent(stop_);
    if (thread_) {
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
}

DWORD ExitWatcher::run(LPVOID self) {
    auto* watcher = static_cast<ExitWatcher*>(self);
    return static_cast<DWORD>(agent_exit_watcher(watcher->target_, watcher->stop_));
}
