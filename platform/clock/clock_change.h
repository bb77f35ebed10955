// Tells when the system's real-time clock is set (the layer's counterpart of
// the time-change broadcast that Windows programs receive): a watcher thread
// waits on a timer that the kernel cancels whenever the clock is set.
#pragma once

#include <functional>
#include <thread>

namespace tovel::platform {

class ClockChangeWatcher {
public:
    // Starts watching; changed() runs on the watcher's own thread once per
    // setting of the clock. Throws std::system_error when the timer or the
    // thread cannot be made.
    explicit ClockChangeWatcher(std::function<void()> changed);
    // Stops the thread and waits for it (a running changed() finishes first).
    ~ClockChangeWatcher();
    ClockChangeWatcher(const ClockChangeWatcher&) = delete;
    ClockChangeWatcher& operator=(const ClockChangeWatcher&) = delete;

private:
    void arm();
    void run();

    std::function<void()> changed_;
    int timer_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

}  // namespace tovel::platform
