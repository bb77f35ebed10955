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
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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
    // Work handed to the thread instead of a message (window then names a
    // window of that thread); set ran when it ran.
    std::function<void()> task;
    bool ran = false;  // under the sender's lock
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
// Runs task on the thread that owns window, where a message sent to the
// window would run, and waits for it as SendMessageW waits (what other
// threads send to the calling thread runs meanwhile). True when it ran;
// false when the window or its thread is gone. On the owning thread it runs
// at once.
bool run_on_window_thread(HWND window, std::function<void()> task);
// Runs work on a thread of its own while the calling thread waits for it as
// SendMessageW waits for another thread, so that the work may wait for
// other processes that send to this thread meanwhile.
void wait_running_sent(const std::function<void()>& work);

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
    // What the window shows and where (gui_window.cpp); under ui_lock().
    struct Ui {
        DWORD style = 0;
        DWORD ex_style = 0;
        bool message_only = false;
        bool child = false;  // WS_CHILD with a parent: rect in the parent's client coordinates
        RECT rect = {0, 0, 0, 0};
        // The frame around the client area (a dialog's border and caption).
        RECT insets = {0, 0, 0, 0};
        UINT_PTR id = 0;  // a child's menu argument
        bool topmost = false;
        uint64_t z = 0;  // higher: nearer the top among its siblings
        bool has_update = false;
        bool erase = false;
        RECT update = {0, 0, 0, 0};
        std::shared_ptr<void> canvas;  // the window's picture (gdi_core.h), made on first use
        std::shared_ptr<void> region;  // its shape, or null
        BYTE alpha = 255;
        bool layered_alpha = false;
        bool color_key = false;
        DWORD key = 0;
        std::wstring text;
        std::wstring class_name;
        // Hover tracking: active, due on the clock, and where the cursor stood.
        bool hover = false;
        uint64_t hover_due = 0;
        UINT hover_time = 0;
        POINT hover_at = {0, 0};
        bool leave = false;              // leave tracking
        LONG_PTR dialog[3] = {0, 0, 0};  // DWLP_ values of a dialog
        bool dialog_window = false;
    } ui;
};

// Guards every WindowRecord::ui and the desktop's state (cursor, capture,
// focus, active window). Taken after a queue's lock and the registry's, never
// before them; no procedure runs under it.
std::mutex& ui_lock();
// Whether the window has an update rectangle to paint: the first such window
// of the queue's thread in creation order (parents first), or null. Caller
// holds queue.lock.
HWND window_to_paint(const ThreadQueue& queue, HWND filter);
// A WM_MOUSEHOVER that has come due for a window of the queue's thread (its
// tracking then ends); otherwise false, with due lowered to the next one.
bool hover_due(const ThreadQueue& queue, uint64_t now, MSG& out, uint64_t& due);
// Called by DestroyWindow before WM_DESTROY: the window loses activation,
// focus, capture and tracking.
void window_going(WindowRecord& window);
// Called by CreateWindowExW once WM_CREATE succeeded: shows it when it has
// WS_VISIBLE (WM_SHOWWINDOW, activation of a top-level window).
void window_created(WindowRecord& window);
// Gives a window a frame of the insets around its client area.
void set_frame(HWND window, const RECT& insets);
// Every living window record, in creation order.
std::vector<std::shared_ptr<WindowRecord>> all_windows();
// Whether the layer's GetTickCount follows the virtual clock (gui_test.h).
bool virtual_clock_on();
// Moves the held clock 1 ms on and wakes every queue.
void virtual_clock_tick();
void set_virtual_clock(bool on);

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
