// The waitable objects of this process (events, semaphores, threads) and the
// one lock and condition that all their states and all waits share. A change
// of state is made under wait_lock() and followed by wait_changed().notify_all();
// every waiter re-checks its objects after each wake.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/kernel_object.h"

namespace tovel::platform {

class Waitable : public KernelObject {
public:
    // Both called with wait_lock() held; acquire() only when signalled().
    virtual bool signalled() const = 0;
    virtual void acquire() {}
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
