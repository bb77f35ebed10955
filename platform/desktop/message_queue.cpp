// The threads' message queues: posting, sending across threads, and taking
// messages (see window_core.h for the locks).
#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>

#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/window_broadcast.h"
#include "platform/desktop/window_core.h"
#include "platform/win/errors.h"
#include "platform/win/gui.h"
#include "platform/win/sync.h"
#include "platform/win/time.h"

namespace tovel::platform {
namespace {

struct Queues {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> by_thread;
};

Queues& queues() {
    static auto* all = new Queues;  // lives until the process ends
    return *all;
}

// Ends a thread's queue when the thread ends: nothing reaches it any more,
// its windows are gone, and every sender still waiting for it gets 0.
void end_queue(const std::shared_ptr<ThreadQueue>& queue) {
    {
        auto& all = queues();
        std::lock_guard<std::mutex> guard(all.lock);
        all.by_thread.erase(queue->thread);
    }
    std::deque<std::shared_ptr<SentMessage>> dropped;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        queue->ended = true;
        dropped.swap(queue->sent);
        queue->posted.clear();
        queue->timers.clear();
    }
    forget_windows_of(*queue);
    for (auto& sent : dropped) complete(*sent, 0);
}

// Set when the thread's queue went with its thread-local objects: calls made
// later (by destructors of statics at exit) get an ended queue of their own.
thread_local bool t_queue_gone = false;

struct QueueHolder {
    ~QueueHolder() {
        if (queue) end_queue(queue);
        queue.reset();
        t_queue_gone = true;
    }
    std::shared_ptr<ThreadQueue> queue;
};

thread_local QueueHolder t_queue;

// Runs a message sent to one of the calling thread's windows and answers it.
void run_sent(ThreadQueue& own, SentMessage& sent) {
    if (sent.task) {
        sent.task();
        if (sent.sender) {
            std::lock_guard<std::mutex> guard(sent.sender->lock);
            sent.ran = true;
        }
        complete(sent, 0);
        return;
    }
    LRESULT result = 0;
    auto window = find_window(sent.window);
    if (window && window->queue.get() == &own) {
        bool gone;
        {
            std::lock_guard<std::mutex> guard(own.lock);
            gone = window->gone;
        }
        if (!gone) result = call_procedure(*window, sent.message, sent.wParam, sent.lParam);
    }
    complete(sent, result);
}

// With own.lock held through guard: runs every message sent to the thread
// (the lock is let go while each runs). True when it ran any.
bool run_all_sent(ThreadQueue& own, std::unique_lock<std::mutex>& guard) {
    bool ran = false;
    while (!own.sent.empty()) {
        auto sent = std::move(own.sent.front());
        own.sent.pop_front();
        guard.unlock();
        run_sent(own, *sent);
        guard.lock();
        ran = true;
    }
    return ran;
}

// What a GetMessageW or PeekMessageW asks for.
struct Filter {
    HWND window;  // null: all; (HWND)-1: the thread's own messages only
    UINT min;
    UINT max;

    bool window_matches(HWND target) const {
        if (!window) return true;
        if (window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return !target;
        return target == window;
    }
    bool matches(HWND target, UINT message) const {
        if (message == WM_QUIT) return true;  // whatever the filter, as Windows does
        if (!window_matches(target)) return false;
        return (min == 0 && max == 0) || (message >= min && message <= max);
    }
};

// With own.lock held: the next message for the filter, taken out when
// remove; false when there is none now. due, when no message is found, is
// set to the time the first matching timer falls due (UINT64_MAX: none).
bool next_message(ThreadQueue& own, const Filter& filter, bool remove, MSG& out, uint64_t& due) {
    uint64_t hover = UINT64_MAX;
    MSG hovered;
    while (hover_due(own, timer_clock_now(), hovered, hover)) own.posted.push_back(hovered);
    for (auto it = own.posted.begin(); it != own.posted.end(); ++it) {
        if (filter.matches(it->hwnd, it->message)) {
            out = *it;
            if (remove) own.posted.erase(it);
            return true;
        }
    }
    if (own.quit) {
        out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(own.quit_code), 0, 0, {0, 0}};
        if (remove) own.quit = false;
        return true;
    }
    if (filter.matches(nullptr, WM_PAINT) || filter.window) {
        HWND paint = window_to_paint(own, filter.window);
        if (paint && filter.matches(paint, WM_PAINT)) {
            out = MSG{paint, WM_PAINT, 0, 0, 0, {0, 0}};
            return true;
        }
    }
    due = hover;
    Timer* first = nullptr;
    for (auto& timer : own.timers) {
        if (!filter.matches(timer.window, WM_TIMER)) continue;
        if (!first || timer.due < first->due) first = &timer;
    }
    if (!first) return false;
    uint64_t now = timer_clock_now();
    if (first->due > now) {
        due = std::min(due, first->due);
        return false;
    }
    out = MSG{first->window, WM_TIMER, first->id, reinterpret_cast<LPARAM>(first->procedure), 0,
              {0, 0}};
    if (remove) first->due = now + first->elapse;
    return true;
}

// Checks the window filter of the calling thread: null, -1 or its own window.
bool valid_filter(HWND window) {
    if (!window || window == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) return true;
    auto record = find_window(window);
    if (record && record->queue->thread == GetCurrentThreadId()) return true;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

// Takes (or, without wait, looks for) the next message of the calling thread.
bool take_message(LPMSG msg, const Filter& filter, bool remove, bool wait) {
    auto own = own_queue();
    std::unique_lock<std::mutex> guard(own->lock);
    for (;;) {
        run_all_sent(*own, guard);
        uint64_t due = UINT64_MAX;
        if (next_message(*own, filter, remove, *msg, due)) {
            msg->time = GetTickCount();
            GetCursorPos(&msg->pt);
            return true;
        }
        if (!wait) return false;
        if (due == UINT64_MAX || timer_clock_held()) {
            own->changed.wait(guard);
        } else {
            uint64_t now = timer_clock_now();
            if (due > now) own->changed.wait_for(guard, std::chrono::milliseconds(due - now));
        }
    }
}

bool post(const std::shared_ptr<ThreadQueue>& queue, const WindowRecord* window, UINT message,
          WPARAM wParam, LPARAM lParam, DWORD refusal) {
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (queue->ended || (window && window->gone)) {
            SetLastError(refusal);
            return false;
        }
        queue->posted.push_back(
            MSG{window ? window->handle : nullptr, message, wParam, lParam, 0, {0, 0}});
    }
    queue->changed.notify_all();
    return true;
}

// Queues a message for a window of another thread; false (nothing queued)
// when the window or its thread is gone.
bool queue_sent(const WindowRecord& window, const std::shared_ptr<SentMessage>& sent) {
    {
        std::lock_guard<std::mutex> guard(window.queue->lock);
        if (window.queue->ended || window.gone) return false;
        window.queue->sent.push_back(sent);
    }
    window.queue->changed.notify_all();
    return true;
}

}  // namespace

std::shared_ptr<ThreadQueue> own_queue() {
    if (t_queue_gone) {
        auto ended = std::make_shared<ThreadQueue>(GetCurrentThreadId());
        ended->ended = true;
        return ended;
    }
    if (!t_queue.queue) {
        auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
        auto& all = queues();
        std::lock_guard<std::mutex> guard(all.lock);
        all.by_thread[queue->thread] = queue;
        t_queue.queue = std::move(queue);
    }
    return t_queue.queue;
}

std::shared_ptr<ThreadQueue> queue_of_thread(DWORD thread) {
    auto& all = queues();
    std::lock_guard<std::mutex> guard(all.lock);
    auto it = all.by_thread.find(thread);
    return it == all.by_thread.end() ? nullptr : it->second;
}

void wake_all_queues() {
    std::vector<std::shared_ptr<ThreadQueue>> every;
    {
        auto& all = queues();
        std::lock_guard<std::mutex> guard(all.lock);
        for (auto& entry : all.by_thread) every.push_back(entry.second);
    }
    for (auto& queue : every) {
        { std::lock_guard<std::mutex> guard(queue->lock); }
        queue->changed.notify_all();
    }
}

// Waits, as a sender waits, until sent is done; what others send to the
// calling thread runs meanwhile.
void wait_done(const std::shared_ptr<ThreadQueue>& own, const SentMessage& sent) {
    std::unique_lock<std::mutex> guard(own->lock);
    while (!sent.done) {
        if (!run_all_sent(*own, guard)) own->changed.wait(guard);
    }
}

bool run_on_window_thread(HWND window, std::function<void()> task) {
    auto record = find_window(window);
    if (!record) return false;
    if (record->queue->thread == GetCurrentThreadId()) {
        task();
        return true;
    }
    auto own = own_queue();
    auto sent = std::make_shared<SentMessage>();
    sent->window = window;
    sent->sender = own;
    sent->task = std::move(task);
    if (!queue_sent(*record, sent)) return false;
    wait_done(own, *sent);
    std::lock_guard<std::mutex> guard(own->lock);
    return sent->ran;
}

void wait_running_sent(const std::function<void()>& work) {
    auto own = own_queue();
    auto sent = std::make_shared<SentMessage>();
    sent->sender = own;
    std::thread worker([&work, sent] {
        work();
        complete(*sent, 0);
    });
    wait_done(own, *sent);
    worker.join();
}

void complete(SentMessage& sent, LRESULT result) {
    if (!sent.sender) return;
    {
        std::lock_guard<std::mutex> guard(sent.sender->lock);
        sent.result = result;
        sent.done = true;
    }
    sent.sender->changed.notify_all();
}

}  // namespace tovel::platform

using tovel::platform::find_window;
using tovel::platform::own_queue;

BOOL GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!tovel::platform::valid_filter(window)) return -1;
    tovel::platform::take_message(msg, {window, filterMin, filterMax}, true, true);
    return msg->message == WM_QUIT ? 0 : 1;
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!tovel::platform::valid_filter(window)) return FALSE;
    if (tovel::platform::take_message(msg, {window, filterMin, filterMax},
                                      (removeFlags & PM_REMOVE) != 0, false))
        return TRUE;
    // Nothing came: on the virtual clock, time moves on by the look.
    if (tovel::platform::virtual_clock_on()) tovel::platform::virtual_clock_tick();
    return FALSE;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == HWND_BROADCAST) {
        for (HWND each : tovel::platform::desk::broadcast_targets())
            PostMessageW(each, message, wParam, lParam);
        tovel::platform::broadcast::post_to_others(message, wParam, lParam);
        return TRUE;
    }
    if (!window)
        return tovel::platform::post(own_queue(), nullptr, message, wParam, lParam,
                                     ERROR_INVALID_WINDOW_HANDLE);
    auto record = find_window(window);
    if (!record) return FALSE;
    return tovel::platform::post(record->queue, record.get(), message, wParam, lParam,
                                 ERROR_INVALID_WINDOW_HANDLE);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostMessageW(window, message, wParam, lParam);
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    auto queue = tovel::platform::queue_of_thread(threadId);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return tovel::platform::post(queue, nullptr, message, wParam, lParam, ERROR_INVALID_THREAD_ID);
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostThreadMessageW(threadId, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) {
    auto own = own_queue();
    std::lock_guard<std::mutex> guard(own->lock);
    own->quit = true;
    own->quit_code = exitCode;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == HWND_BROADCAST) {
        for (HWND each : tovel::platform::desk::broadcast_targets())
            SendMessageW(each, message, wParam, lParam);
        tovel::platform::broadcast::send_to_others(message, wParam, lParam);
        return 0;
    }
    auto record = find_window(window);
    if (!record) return 0;
    if (record->queue->thread == GetCurrentThreadId())
        return tovel::platform::call_procedure(*record, message, wParam, lParam);
    auto own = own_queue();
    auto sent = std::make_shared<tovel::platform::SentMessage>();
    *sent = {window, message, wParam, lParam, own};
    if (!tovel::platform::queue_sent(*record, sent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::unique_lock<std::mutex> guard(own->lock);
    while (!sent->done) {
        if (!tovel::platform::run_all_sent(*own, guard)) own->changed.wait(guard);
    }
    return sent->result;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageW(window, message, wParam, lParam);
}

BOOL SendNotifyMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto record = find_window(window);
    if (!record) return FALSE;
    if (record->queue->thread == GetCurrentThreadId()) {
        tovel::platform::call_procedure(*record, message, wParam, lParam);
        return TRUE;
    }
    auto sent = std::make_shared<tovel::platform::SentMessage>();
    *sent = {window, message, wParam, lParam, nullptr};
    if (tovel::platform::queue_sent(*record, sent)) return TRUE;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}
