// Threads of the layer: detached POSIX threads whose handle is a waitable
// object, signalled when the thread function returns.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/machine.h"
#include "platform/sync_object.h"
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
};

std::atomic<DWORD> next_thread_id{0x1000};
thread_local DWORD t_thread_id = 0;

DWORD new_thread_id() { return next_thread_id.fetch_add(4, std::memory_order_relaxed); }

void* thread_main(void* argument) {
    std::unique_ptr<ThreadStart> run(static_cast<ThreadStart*>(argument));
    t_thread_id = run->id;
    {
        std::unique_lock<std::mutex> guard(wait_lock());
        wait_changed().wait(guard, [&] { return run->self->suspend_count == 0; });
    }
    DWORD code = run->start(run->parameter);
    {
        std::lock_guard<std::mutex> guard(wait_lock());
        run->self->exit_code = code;
        run->self->done = true;
    }
    wait_changed().notify_all();
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
    auto* run = new ThreadStart{object, start, parameter, tovel::platform::new_thread_id()};
    DWORD id = run->id;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
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
