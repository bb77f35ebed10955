// The tray's process-wide objects and its locks. An object type T that
// derives from SingletonT<T, Policy, Creator> is made on first use of
// T::instance() and deleted once at process exit; Policy is Locker (one
// critical section per type guards the making and the deletion) or
// FakeLocker (no lock, for objects asked for on one thread only).
#pragma once

#include <atomic>
#include <cstdlib>

#include "platform/win32.h"

namespace TRAY {

// The scoped guard of a Holder: locks it when made, unlocks it when destroyed.
class Locker {
public:
    // One re-entrant critical section (the thread that holds it may enter again).
    class Holder {
    public:
        Holder() { InitializeCriticalSection(&section_); }
        virtual ~Holder() { DeleteCriticalSection(&section_); }
        Holder(const Holder&) = delete;
        Holder& operator=(const Holder&) = delete;

        void lock() { EnterCriticalSection(&section_); }
        void unlock() { LeaveCriticalSection(&section_); }

    private:
        CRITICAL_SECTION section_;
    };

    explicit Locker(Holder* holder) : holder_(holder) { holder_->lock(); }
    ~Locker() { holder_->unlock(); }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

private:
    Holder* holder_;
};

// The guard that does nothing; its Holder holds nothing.
class FakeLocker {
public:
    class Holder {};
    explicit FakeLocker(Holder*) {}
};

template <class T>
struct DefaultCreator {
    static T* create() { return new T; }
};

template <class T, class Policy, class Creator = DefaultCreator<T>>
class SingletonT {
public:
    // The object, made by Creator on the first call. With Locker, threads
    // that ask at once get the same object. Null only when Creator gave null.
    static T* instance() {
        T* object = instance_.load(std::memory_order_acquire);
        if (object) return object;
        Policy guard(&holder_);
        object = instance_.load(std::memory_order_relaxed);
        if (!object) {
            object = Creator::create();
            instance_.store(object, std::memory_order_release);
            if (object) std::atexit(destroy);
        }
        return object;
    }

    // The object when it has been made and not yet deleted, else null;
    // never makes it.
    static T* current() { return instance_.load(std::memory_order_acquire); }

protected:
    SingletonT() = default;
    ~SingletonT() = default;

    // The type's holder: the lock that Locker guards with. Made before the
    // program's entry point and destroyed after every exit function.
    static inline typename Policy::Holder holder_;

private:
    // At exit: the pointer is cleared before the object goes, so that no
    // caller of instance() gets an object being deleted.
    static void destroy() {
        Policy guard(&holder_);
        T* object = instance_.exchange(nullptr, std::memory_order_acq_rel);
        delete object;
    }

    static inline std::atomic<T*> instance_{nullptr};
};

}  // namespace TRAY
