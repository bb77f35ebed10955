// The waitable objects of this process (events, semaphores, threads) and the
// one lock and condition that all their states and all waits share. A change
// of state is made under wait_lock() and followed by wait_changed().notify_all();
// every waiter re-checks its objects after each wake.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel/kernel_object.h"

namespace tovel::platform {

class Waitable : public KernelObject {
public:
    // All called with wait_lock() held; acquire() only when signalled().
    virtual bool signalled() const = 0;
    // Takes what a satisfied wait consumes. Only an object that other
    // processes change too can fail (false, nothing taken): when one of them
    // took it first.
    virtual bool acquire() { return true; }
    // Puts back what acquire() took, for a wait for all whose later object
    // could not be taken.
    virtual void give_back() {}
    // Called once by each wait that includes the object, before its first look.
    virtual void will_wait() {}
};

// An event: set(true) by SetEvent, set(false) by ResetEvent, with wait_lock()
// held; the caller then wakes the waiters.
class EventWaitable : public Waitable {
public:
    virtual void set(bool value) = 0;
    // Whether this handle's access lets it change the state (a named event
    // opened for SYNCHRONIZE alone does not).
    virtual bool may_set() const { return true; }
};

// Never destroyed, so that detached threads may use them at process end.
std::mutex& wait_lock();
std::condition_variable& wait_changed();

// An object with a wait of its own, outside wait_lock(): WaitForSingleObject
// hands it the timeout, and WaitForMultipleObjects does not take it.
class SelfWaiting : public KernelObject {
public:
    // A WAIT_ result; WAIT_FAILED with the last error set.
    virtual DWORD wait(DWORD milliseconds) = 0;
};

}  // namespace tovel::platform
