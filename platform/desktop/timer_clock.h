// The clock that window timers follow, as tests drive it. Internal to the
// layer and its tests.
#pragma once

#include <cstdint>

namespace tovel::platform {

// While one lives, the timers' clock stands still and moves only by
// advance(), which wakes every thread's queue so that the timers that have
// come due give their WM_TIMER. At most one at a time, made and destroyed on
// one thread; advance() from any thread. Destroying it returns the timers to
// the monotonic clock (the held time is dropped: timers then fall due by the
// time they had left on it, counted from the monotonic clock's reading).
class HeldTimerClock {
public:
    HeldTimerClock();
    ~HeldTimerClock();
    HeldTimerClock(const HeldTimerClock&) = delete;
    HeldTimerClock& operator=(const HeldTimerClock&) = delete;

    void advance(uint32_t milliseconds);
};

}  // namespace tovel::platform
