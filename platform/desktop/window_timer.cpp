// Window and thread timers, and the clock they follow.
#include <algorithm>
#include <chrono>

#include "platform/desktop/timer_clock.h"
#include "platform/desktop/window_core.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace tovel::platform {
namespace {

std::atomic<bool> g_held{false};
std::atomic<uint64_t> g_held_now{0};
// Ids of timers without a window, never reused in the process.
std::atomic<UINT_PTR> g_next_thread_timer{0x7F00};
std::atomic<bool> g_virtual{false};

uint64_t monotonic_now() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace

uint64_t timer_clock_now() { return g_held.load() ? g_held_now.load() : monotonic_now(); }

bool timer_clock_held() { return g_held.load(); }

bool virtual_clock_on() { return g_virtual.load(); }

void virtual_clock_tick() {
    g_held_now.fetch_add(1);
    wake_all_queues();
}

void set_virtual_clock(bool on) { g_virtual.store(on); }

HeldTimerClock::HeldTimerClock() {
    g_held_now.store(monotonic_now());
    g_held.store(true);
}

HeldTimerClock::~HeldTimerClock() {
    g_held.store(false);
    wake_all_queues();
}

void HeldTimerClock::advance(uint32_t milliseconds) {
    g_held_now.fetch_add(milliseconds);
    wake_all_queues();
}

}  // namespace tovel::platform

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC procedure) {
    using namespace tovel::platform;
    if (window) {
        auto record = find_window(window);
        if (!record) return 0;
        if (record->queue->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    auto own = own_queue();
    std::lock_guard<std::mutex> guard(own->lock);
    auto same = std::find_if(own->timers.begin(), own->timers.end(), [&](const Timer& timer) {
        return timer.window == window && timer.id == id;
    });
    if (!window && (id == 0 || same == own->timers.end())) id = g_next_thread_timer.fetch_add(1);
    Timer timer{window, id, elapse, procedure, timer_clock_now() + elapse};
    if (same != own->timers.end())
        *same = timer;
    else
        own->timers.push_back(timer);
    return id != 0 ? id : 1;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
    auto own = tovel::platform::own_queue();
    std::lock_guard<std::mutex> guard(own->lock);
    auto& timers = own->timers;
    auto it = std::find_if(timers.begin(), timers.end(), [&](const tovel::platform::Timer& timer) {
        return timer.window == window && timer.id == id;
    });
    if (it == timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timers.erase(it);
    return TRUE;
}
