#include "platform/clock/clock_change.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tovel::platform {

ClockChangeWatcher::ClockChangeWatcher(std::function<void()> changed)
    : changed_(std::move(changed)) {
    timer_ = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (timer_ < 0 || stop_ < 0) {
        int error = errno;
        if (timer_ >= 0) ::close(timer_);
        if (stop_ >= 0) ::close(stop_);
        throw std::system_error(error, std::generic_category(), "clock change watcher");
    }
    arm();
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        ::close(timer_);
        ::close(stop_);
        throw;
    }
}

ClockChangeWatcher::~ClockChangeWatcher() {
    uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) < 0) {
    }
    thread_.join();
    ::close(timer_);
    ::close(stop_);
}

// A timer due in the far future on the real-time clock, cancelled by the
// kernel whenever someone sets that clock.
void ClockChangeWatcher::arm() {
    struct itimerspec far = {};
    far.it_value.tv_sec = INT32_MAX;
    ::timerfd_settime(timer_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &far, nullptr);
}

void ClockChangeWatcher::run() {
    struct pollfd waits[2] = {{timer_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents) return;
        if (waits[0].revents) {
            uint64_t expirations;
            ssize_t n = ::read(timer_, &expirations, sizeof expirations);
            if (n < 0 && errno == ECANCELED) {
                arm();
                changed_();
            } else if (n < 0 && errno != EAGAIN) {
                return;
            }
        }
    }
}

}  // namespace tovel::platform
