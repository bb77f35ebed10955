// WM_TIMECHANGE for the process's top-level windows whenever the system
// clock is set.
#include "platform/clock/time_change.h"

#include <memory>
#include <mutex>
#include <system_error>

#include "platform/clock/clock_change.h"
#include "platform/desktop/window_core.h"

namespace tovel::platform {
namespace {

struct Watch {
    std::mutex lock;
    bool on = true;
    std::unique_ptr<ClockChangeWatcher> watcher;
};

Watch& watch() {
    static auto* instance = new Watch;  // lives until the process ends, its thread too
    return *instance;
}

}  // namespace

void broadcast_time_change() {
    for (HWND window : top_level_windows()) SendNotifyMessageW(window, WM_TIMECHANGE, 0, 0);
}

void watch_clock_for_windows() {
    auto& state = watch();
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.on || state.watcher) return;
    try {
        state.watcher = std::make_unique<ClockChangeWatcher>(broadcast_time_change);
    } catch (const std::system_error&) {
        // No timer or thread to be had: windows are not told of clock settings.
    }
}

void watch_clock_settings(bool on) {
    auto& state = watch();
    std::lock_guard<std::mutex> guard(state.lock);
    state.on = on;
    if (!on) state.watcher.reset();
}

}  // namespace tovel::platform
