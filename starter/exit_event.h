// The service's exit event: a named, manual-reset kernel event that every
// session may open to wait on it, and only the service may set. The agent
// sets it once its job engine is closed (and a console signal or the control
// requests 130 and 131 set it early); the trays close themselves when they
// see it set. It is never reset.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/win32.h"

namespace tovel::starter {

// The name under which the trays open the event.
inline constexpr char kExitEventName[] = "Global\\{ADC53995-B026-48df-B03D-4BD973AF5CD4}";
// Its access list: the service (the system account, the administrators)
// everything, everyone else SYNCHRONIZE alone, so that no other user's
// process can set it and close every tray.
inline constexpr wchar_t kExitEventAccess[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100000;;;WD)";

// The process's one holder of the event's handle. The handle is closed only
// by close() (or at process end), never while a thread waits on it, so that
// a setter never meets a handle that another thread has just closed.
class ExitEvent {
public:
    static ExitEvent& instance();
    ~ExitEvent();
    ExitEvent(const ExitEvent&) = delete;
    ExitEvent& operator=(const ExitEvent&) = delete;

    // Creates the event (or opens it when it exists), not signalled, with the
    // access list kExitEventAccess. A failure leaves no handle (and
    // every later call is then a harmless no-op). Main thread, before any
    // other thread uses the holder.
    void create();
    // Sets the event; false when there is none. Any thread.
    bool set();
    // Waits until the event is set; false when there is none. Any thread.
    bool wait();
    // Whether the event is set now. Any thread.
    bool isSet();
    // Closes the handle once no thread waits on it. Main thread, after the
    // agent's run has set the event.
    void close();

private:
    ExitEvent() = default;

    std::mutex lock_;
    std::condition_variable idle_;
    HANDLE handle_ = nullptr;
    int waiters_ = 0;
};

}  // namespace tovel::starter
