// Threads of the layer: POSIX threads whose handle is a waitable object,
// signalled once the thread has ended whole: after its function returned and
// its thread-local clean-up ran, as a wait on a thread promises.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/kernel/machine.h"
#include "platform/threads/sync_object.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace tovel::platform {
namespace {

// State guarded by wait_lock().
class ThreadObject : public Waitable {
public:
    bool signalled() const override { return done; }

    bool done = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD suspend_count = 0;
};

struct ThreadStart {
    std::shared_ptr<ThreadObject> self;  // the thread keeps its object while it runs
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
    DWORD id;
    bool joinable;  // joined by the reaper when it ends; else detached
};

std::atomic<DWORD> next_thread_id{0x1000};
thread_local DWORD t_thread_id = 0;

DWORD new_thread_id() { return next_thread_id.fetch_add(4, std::memory_order_relaxed); }

void signal_end(ThreadObject& object, DWORD code) {
    {
        std::lock_guard<std::mutex> guard(wait_lock());
        object.exit_code = code;
        object.done = true;
    }
    wait_changed().notify_all();
}

// Joins the threads whose function returned, one after the other, and only
// then signals their handles: the thread-local destructors of libraries
// (which run after the function returns and may take their locks) are over
// before a waiter goes on to tear those libraries down. One thread per
// process, made with the first thread; a child of fork() makes its own.
class Reaper {
public:
    // The process's reaper, or null when its thread cannot be made (threads
    // are then detached and signalled when their function returns).
    static Reaper* instance() {
        static std::once_flag registered;
        std::call_once(registered,
                       [] { pthread_atfork(&beforeFork, &afterForkParent, &afterForkChild); });
        std::lock_guard<std::mutex> guard(creation_lock());
        if (!current_) {
            auto reaper = std::make_unique<Reaper>();
            if (reaper->start()) current_ = reaper.release();  // lives as long as the process
        }
        return current_;
    }

    // Called by an ending thread: it is joined and its handle signalled once
    // it has ended.
    void add(pthread_t thread, std::shared_ptr<ThreadObject> object, DWORD code) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.push_back({thread, std::move(object), code});
        }
        ready_.notify_one();
    }

private:
    struct Ended {
        pthread_t thread;
        std::shared_ptr<ThreadObject> object;
        DWORD code;
    };

    static std::mutex& creation_lock() {
        static std::mutex* const lock = new std::mutex;
        return *lock;
    }
    static void beforeFork() {
        creation_lock().lock();
        if (current_) current_->lock_.lock();
    }
    static void afterForkParent() {
        if (current_) current_->lock_.unlock();
        creation_lock().unlock();
    }
    // The parent's reaper has no thread in the child (and its condition
    // variable may count a waiter that is not there): the child makes its own.
    static void afterForkChild() {
        current_ = nullptr;
        creation_lock().unlock();
    }

    bool start() {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        bool started = pthread_create(&thread, &attributes, &Reaper::main, this) == 0;
        pthread_attr_destroy(&attributes);
        return started;
    }

    static void* main(void* self) {
        static_cast<Reaper*>(self)->reap();
        return nullptr;
    }

    [[noreturn]] void reap() {
        for (;;) {
            Ended ended;
            {
                std::unique_lock<std::mutex> guard(lock_);
                ready_.wait(guard, [this] { return !queue_.empty(); });
                ended = std::move(queue_.front());
                queue_.pop_front();
            }
            pthread_join(ended.thread, nullptr);
            signal_end(*ended.object, ended.code);
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Ended> queue_;
    static inline Reaper* current_ = nullptr;  // guarded by creation_lock()
};

void* thread_main(void* argument) {
    std::unique_ptr<ThreadStart> run(static_cast<ThreadStart*>(argument));
    t_thread_id = run->id;
    {
        std::unique_lock<std::mutex> guard(wait_lock());
        wait_changed().wait(guard, [&] { return run->self->suspend_count == 0; });
    }
    DWORD code = run->start(run->parameter);
    // The process's reaper at the end, which in a child of fork() is the
    // child's own.
    Reaper* reaper = run->joinable ? Reaper::instance() : nullptr;
    if (reaper) {
        reaper->add(pthread_self(), std::move(run->self), code);
    } else {
        if (run->joinable) pthread_detach(pthread_self());
        signal_end(*run->self, code);
    }
    return nullptr;
}

// Small stacks are raised to what sanitised builds need; others rounded to pages.
size_t stack_bytes(SIZE_T requested) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t bytes = std::max<size_t>(requested, 256 * 1024);
    return (bytes + page - 1) / page * page;
}

}  // namespace
}  // namespace tovel::platform

using tovel::platform::lookup;
using tovel::platform::ThreadObject;
using tovel::platform::ThreadStart;
using tovel::platform::wait_changed;
using tovel::platform::wait_lock;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES /*security*/, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (start == nullptr || (flags & ~CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    object->suspend_count = (flags & CREATE_SUSPENDED) ? 1 : 0;
    auto* run = new ThreadStart{object, start, parameter, tovel::platform::new_thread_id(),
                                tovel::platform::Reaper::instance() != nullptr};
    DWORD id = run->id;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes,
                                run->joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attributes, tovel::platform::stack_bytes(stackSize));
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, tovel::platform::thread_main, run);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete run;
        SetLastError(error == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY
                                     : tovel::platform::win32_error_from_errno(error));
        return nullptr;
    }
    if (threadId) *threadId = id;
    return tovel::platform::register_object(std::move(object));
}

DWORD ResumeThread(HANDLE thread) {
    auto object = lookup<ThreadObject>(thread);
    if (!object) return static_cast<DWORD>(-1);
    DWORD previous;
    {
        std::lock_guard<std::mutex> guard(wait_lock());
        previous = object->suspend_count;
        if (previous > 0) --object->suspend_count;
    }
    if (previous == 1) wait_changed().notify_all();
    return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = lookup<ThreadObject>(thread);
    if (!object) return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(wait_lock());
    *exitCode = object->exit_code;
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (tovel::platform::t_thread_id == 0)
        tovel::platform::t_thread_id = tovel::platform::new_thread_id();
    return tovel::platform::t_thread_id;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

namespace {
thread_local int t_com_initialised = 0;
}

HRESULT CoInitialize(LPVOID /*reserved*/) { return t_com_initialised++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
    if (t_com_initialised > 0) --t_com_initialised;
}
