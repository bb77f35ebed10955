// The thread that closes the tray when the service ends: it waits on the
// service's exit event (made by the service host) and on a stop event of
// the tray's own.
#pragma once

#include "platform/win32.h"

// The name under which the service host makes its exit event.
inline constexpr char kAgentExitEventName[] = "Global\\{ADC53995-B026-48df-B03D-4BD973AF5CD4}";

// How long the watcher waits on its stop event before it tries the exit
// event again, while the service has not made it.
inline constexpr DWORD kExitEventRetryMs = 2000;

// The watcher's body, on its own thread. Opens the exit event, trying again
// every kExitEventRetryMs until it exists (the first failure is logged; stop
// ends the tries with 0), and waits for it or for stop. The exit event: logs "Agent exit event been
// set.", has the controller empty the panes and the job list on the GUI thread (a wait that stop
// also ends), then posts WM_CLOSE to mainDialog; 0. stop: 0. A failed wait: logged, -1. The exit
// event's handle is closed before it returns.
int agent_exit_watcher(HWND mainDialog, HANDLE stop);

// The watcher's thread and its stop event, owned by the main dialog.
class ExitWatcher {
public:
    ExitWatcher() = default;
    // stop().
    ~ExitWatcher();
    ExitWatcher(const ExitWatcher&) = delete;
    ExitWatcher& operator=(const ExitWatcher&) = delete;

    // Makes the stop event (manual reset, unnamed) and starts the watcher
    // for mainDialog. False, logged, when either cannot be made. Once.
    bool start(HWND mainDialog);
    // Sets the stop event and waits for the thread to end; the watcher
    // gives up a shutdown request that waits for the GUI thread, so this may
    // run on the GUI thread. Harmless when not started or already stopped.
    void stop();

    DWORD threadId() const { return threadId_; }
    HANDLE stopEvent() const { return stop_; }

private:
    static DWORD run(LPVOID self);

    HWND target_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
};
