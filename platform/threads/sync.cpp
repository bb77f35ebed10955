// Critical sections, events, semaphores and the waits on them (and on threads).
#include "platform/win/sync.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/threads/named_event.h"
#include "platform/threads/sync_object.h"
#include "platform/win/errors.h"

namespace tovel::platform {

std::mutex& wait_lock() {
    static std::mutex* lock = new std::mutex;  // lives until the process ends
    return *lock;
}

std::condition_variable& wait_changed() {
    static std::condition_variable* changed = new std::condition_variable;
    return *changed;
}

namespace {

std::recursive_mutex& section_lock(LPCRITICAL_SECTION section) {
    return *static_cast<std::recursive_mutex*>(section->impl);
}

class EventObject : public EventWaitable {
public:
    EventObject(bool manual, bool set) : manual_(manual), set_(set) {}
    bool signalled() const override { return set_; }
    bool acquire() override {
        if (!manual_) set_ = false;
        return true;
    }
    void give_back() override {
        if (!manual_) set_ = true;
    }
    void set(bool value) override { set_ = value; }

private:
    const bool manual_;
    bool set_;
};

class SemaphoreObject : public Waitable {
public:
    SemaphoreObject(LONG count, LONG maximum) : count_(count), maximum_(maximum) {}
    bool signalled() const override { return count_ > 0; }
    bool acquire() override {
        --count_;
        return true;
    }
    void give_back() override { ++count_; }
    // False, changing nothing, when the count would pass the maximum.
    bool release(LONG count, LONG& previous) {
        if (static_cast<int64_t>(count_) + count > maximum_) return false;
        previous = count_;
        count_ += count;
        return true;
    }

private:
    LONG count_;
    const LONG maximum_;
};

bool unnamed(LPCWSTR name) {
    if (name == nullptr) return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

HANDLE new_handle(std::shared_ptr<KernelObject> object) {
    HANDLE handle = register_object(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// With wait_lock() held: the result of the wait if it is satisfied now, having
// consumed what it takes; nothing otherwise.
std::optional<DWORD> try_satisfy(const std::vector<std::shared_ptr<Waitable>>& objects, bool all) {
    if (all) {
        for (const auto& object : objects)
            if (!object->signalled()) return std::nullopt;
        for (size_t i = 0; i < objects.size(); ++i) {
            if (!objects[i]->acquire()) {
                while (i > 0) objects[--i]->give_back();
                return std::nullopt;
            }
        }
        return WAIT_OBJECT_0;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->signalled() && objects[i]->acquire())
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    return std::nullopt;
}

DWORD wait_for(const HANDLE* handles, DWORD count, bool all, DWORD milliseconds) {
    if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> objects;
    objects.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto object = lookup<Waitable>(handles[i]);
        if (!object) return WAIT_FAILED;  // 6
        if (all) {
            // Windows refuses to wait for all of a list that names an object twice.
            for (const auto& other : objects) {
                if (other == object) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
        objects.push_back(std::move(object));
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(wait_lock());
    for (const auto& object : objects) object->will_wait();
    for (;;) {
        if (auto result = try_satisfy(objects, all)) return *result;
        // A zero time-out only tests: even a wait for a deadline already
        // past costs the kernel's timer slack, tens of microseconds a call.
        if (milliseconds == 0) return WAIT_TIMEOUT;
        if (milliseconds == INFINITE) {
            wait_changed().wait(guard);
        } else if (wait_changed().wait_until(guard, deadline) == std::cv_status::timeout) {
            if (auto result = try_satisfy(objects, all)) return *result;
            return WAIT_TIMEOUT;
        }
    }
}

}  // namespace
}  // namespace tovel::platform

using tovel::platform::EventObject;
using tovel::platform::lookup;
using tovel::platform::new_handle;
using tovel::platform::section_lock;
using tovel::platform::SemaphoreObject;
using tovel::platform::unnamed;
using tovel::platform::wait_changed;
using tovel::platform::wait_lock;

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    section->impl = new std::recursive_mutex;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD /*spinCount*/) {
    section->impl = new (std::nothrow) std::recursive_mutex;
    if (section->impl) return TRUE;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { section_lock(section).lock(); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return section_lock(section).try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) { section_lock(section).unlock(); }

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    delete &section_lock(section);
    section->impl = nullptr;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    if (name && *name)
        return tovel::platform::create_named_event(security, manualReset, initialState, name);
    return new_handle(std::make_shared<EventObject>(manualReset, initialState));
}

namespace {

BOOL set_event(HANDLE event, bool value) {
    auto object = lookup<tovel::platform::EventWaitable>(event);
    if (!object) return FALSE;
    if (!object->may_set()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(wait_lock());
        object->set(value);
    }
    if (value) wait_changed().notify_all();
    return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return set_event(event, true); }
BOOL ResetEvent(HANDLE event) { return set_event(event, false); }

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES /*security*/, LONG initialCount, LONG maximumCount,
                        LPCWSTR name) {
    if (!unnamed(name)) return nullptr;
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return new_handle(std::make_shared<SemaphoreObject>(initialCount, maximumCount));
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
    auto object = lookup<SemaphoreObject>(semaphore);
    if (!object) return FALSE;
    if (releaseCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LONG previous = 0;
    {
        std::lock_guard<std::mutex> guard(wait_lock());
        if (!object->release(releaseCount, previous)) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
    }
    wait_changed().notify_all();
    if (previousCount) *previousCount = previous;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (auto own = std::dynamic_pointer_cast<tovel::platform::SelfWaiting>(
            tovel::platform::lookup_object(object)))
        return own->wait(milliseconds);
    return tovel::platform::wait_for(&object, 1, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
    return tovel::platform::wait_for(objects, count, waitAll, milliseconds);
}
