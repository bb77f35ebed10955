// The setting of the system clock as windows see it: WM_TIMECHANGE, sent
// without waiting (SendNotifyMessageW) to every top-level window of the
// process. The layer watches the clock (clock_change.h) from the first
// top-level window on. Internal to the layer and its tests.
#pragma once

namespace tovel::platform {

// Sends WM_TIMECHANGE to every top-level window that lives now: what a
// setting of the clock does. Any thread.
void broadcast_time_change();

// For tests: whether this process watches the clock (on at start). Off, the
// watcher is stopped and no setting of the clock by any process reaches this
// process's windows, so that a test counts only its own broadcasts. Any thread.
void watch_clock_settings(bool on);

}  // namespace tovel::platform
