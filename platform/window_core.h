// The inside of the headless window system (platform/win/window.h): the
// threads' queues, the registry of windows, and the timers' clock. Internal
// to the layer.
//
// Locks: the registry's lock guards the map of windows and of classes; each
// queue's lock guards what the queue holds and the gone flag of the queue's
// windows. No lock is held while a window procedure or a timer procedure
// runs, and no two queues' locks are ever held at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win/window.h"

namespace tovel::platform {

class ThreadQueue;

// A message sent to another thread's window, waiting to be run there.
struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<ThreadQueue> sender;  // null when nobody waits for the result
    // Under the sender's lock: set once, by whoever ran or dropped the message.
    LRESULT result = 0;
    bool done = false;
};

struct Timer {
    HWND window;  // null for a timer of the thread alone
    UINT_PTR id;
    UINT elapse;
    TIMERPROC procedure;
    uint64_t due;  // on timer_clock_now()
};

// One thread's queue; everything but thread under lock.
class ThreadQueue {
public:
    explicit ThreadQueue(DWORD thread_id) : thread(thread_id) {}
    const DWORD thread;
    std::mutex lock;
    // Told of every post, send, reply and move of a held clock.
    std::condition_variable changed;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;  // to run on this thread, in order
    bool quit = false;
    int quit_code = 0;
    bool ended = false;  // the thread has ended: nothing more comes in
    std::vector<Timer> timers;
};

// The calling thread's queue, made by its first call.
std::shared_ptr<ThreadQueue> own_queue();
// The queue of a thread that has one and has not ended; null otherwise.
std::shared_ptr<ThreadQueue> queue_of_thread(DWORD thread);
// Tells every queue that the timers' clock moved.
void wake_all_queues();
// Sets the result of a sent message and wakes its sender.
void complete(SentMessage& sent, LRESULT result);

class WindowRecord {
public:
    WindowRecord(HWND handle, std::shared_ptr<ThreadQueue> queue, HWND parent, WNDPROC procedure,
                 size_t extra_bytes)
        : handle(handle),
          queue(std::move(queue)),
          parent(parent),
          procedure(procedure),
          extra(extra_bytes) {}
    const HWND handle;
    const std::shared_ptr<ThreadQueue> queue;  // of the owning thread
    const HWND parent;                         // null: a top-level window
    std::atomic<WNDPROC> procedure;
    std::atomic<LONG_PTR> user_data{0};
    std::mutex extra_lock;
    std::vector<unsigned char> extra;  // under extra_lock
    bool gone = false;                 // under queue->lock: no message reaches it any more
    bool destroying = false;           // used by the owning thread only
};

// The window of a handle while it lives (until its WM_NCDESTROY has run);
// null with 1400 otherwise. Any thread.
std::shared_ptr<WindowRecord> find_window(HWND window);
// Runs the window's procedure on the calling thread (its owner).
LRESULT call_procedure(const WindowRecord& window, UINT message, WPARAM wParam, LPARAM lParam);
// Drops every window of a thread that ends, without messages.
void forget_windows_of(const ThreadQueue& queue);
// The top-level windows that live now.
std::vector<HWND> top_level_windows();
// Starts watching the setting of the system clock, unless it runs or a test
// turned it off (time_change.h).
void watch_clock_for_windows();

// Milliseconds on the clock of the timers: the monotonic clock, unless a test
// holds it (timer_clock.h).
uint64_t timer_clock_now();
bool timer_clock_held();

}  // namespace tovel::platform
