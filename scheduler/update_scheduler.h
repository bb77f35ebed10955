// The update schedule: starts the updater program ("updater.exe" in the
// folder of the running program) a first time "update_start_at" milliseconds
// after schedule(), then every "update_again_at" milliseconds, each time as a
// separate process that nobody waits for. A timer on the dispatcher's queue.
//
// The service host owns one object for the whole service: it constructs it
// once the job engine and the dispatcher run, calls schedule() once, calls
// unschedule() after its message loop and then destroys it. The destructor
// does not disarm: unschedule() comes first.
//
// schedule() and unschedule() run on the host's thread; handle_timeout on
// the dispatcher thread under the dispatcher's lock, which its own re-arming
// takes again. Only the dispatcher writes the timer id after construction.
#pragma once

#include <cstdint>
#include <string>

#include "job/core/iocp_dispatcher.h"

class Update_Scheduler : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    // The period from the settings, read once here; a missing setting, or
    // one of 0 or less, gives four hours.
    Update_Scheduler();
    Update_Scheduler(const Update_Scheduler&) = default;
    Update_Scheduler& operator=(const Update_Scheduler&) = default;
    virtual ~Update_Scheduler();

    // Arms the first start for now + "update_start_at" (ten minutes when the
    // setting is missing or below 0). False, logged, when it cannot be armed.
    bool schedule();
    // Disarms the next start. False, logged, when no start is armed.
    bool unschedule();

    // Dispatcher thread. On an expiry: re-arms for now + the period, then
    // starts the updater and closes its handles at once; a failed start is
    // logged and the next expiry tries again. On a clock change (due all
    // ones): only re-arms. A failed re-arm is logged; nothing starts the
    // updater again until the service restarts.
    void handle_timeout(uint64_t due) override;

    // The updater's Windows path: the running program's folder +
    // "\updater.exe", of any length; empty when the program's path cannot be
    // had.
    static std::wstring updater_path();

protected:
    unsigned m_period;  // milliseconds
};
