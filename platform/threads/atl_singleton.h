// The few class-library helpers for one-of-a-kind objects that the system's
// code uses: a re-entrant lock that lives with its owner, and a singleton
// built on first use under such a lock.
#pragma once

#include <atomic>

#include "platform/win/sync.h"
#include "platform/win/types.h"

namespace ATL {

// A critical section initialised with its owner and deleted with it.
class CComAutoCriticalSection {
public:
    CComAutoCriticalSection() { InitializeCriticalSection(&section_); }
    ~CComAutoCriticalSection() { DeleteCriticalSection(&section_); }
    CComAutoCriticalSection(const CComAutoCriticalSection&) = delete;
    CComAutoCriticalSection& operator=(const CComAutoCriticalSection&) = delete;

    // Re-entrant on the owning thread: each Lock wants its Unlock.
    HRESULT Lock() {
        EnterCriticalSection(&section_);
        return S_OK;
    }
    HRESULT Unlock() {
        LeaveCriticalSection(&section_);
        return S_OK;
    }

private:
    CRITICAL_SECTION section_;
};

// One T of the process, built by the first instance() call under lock_ and
// destroyed at process end (after everything built later, before everything
// built earlier). A constructor that throws leaves nothing built: the
// exception reaches the caller and the next call tries again. A call made
// from within T's own constructor (on the building thread) gets null.
// lock_ is a static of dynamic initialisation, so instance() is not for use
// by the constructors of other files' statics.
template <class T, class Lock = CComAutoCriticalSection>
class CComSingleton {
public:
    static T* instance() {
        if (T* built = published_.load(std::memory_order_acquire)) return built;
        Guard guard;
        if (T* built = published_.load(std::memory_order_relaxed)) return built;
        if (building_) return nullptr;
        building_ = true;
        T* built;
        try {
            built = new T;
        } catch (...) {
            building_ = false;
            throw;
        }
        building_ = false;
        static Destroyer destroyer;  // registered once T is complete
        published_.store(built, std::memory_order_release);
        return built;
    }

    static Lock lock_;

private:
    struct Guard {
        Guard() { lock_.Lock(); }
        ~Guard() { lock_.Unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    };
    struct Destroyer {
        ~Destroyer() { delete published_.exchange(nullptr, std::memory_order_acq_rel); }
    };

    static std::atomic<T*> published_;
    static bool building_;  // guarded by lock_
};

template <class T, class Lock>
Lock CComSingleton<T, Lock>::lock_;
template <class T, class Lock>
std::atomic<T*> CComSingleton<T, Lock>::published_{nullptr};
template <class T, class Lock>
bool CComSingleton<T, Lock>::building_ = false;

}  // namespace ATL
