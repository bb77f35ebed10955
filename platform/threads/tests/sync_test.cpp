// Critical sections, events, semaphores, waits, threads, the completion port,
// COM start-up and the singleton helper.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/threads/atl_singleton.h"
#include "platform/win32.h"

// The call gives the failure result and leaves the error code.
#define EXPECT_FAILS(call, result, code)            \
    do {                                            \
        EXPECT_EQ((call), (result)) << #call;       \
        EXPECT_EQ(GetLastError(), (code)) << #call; \
    } while (0)

namespace {

constexpr DWORD kBound = 10000;  // generous: only reached when something is wrong

// Runs body on a thread of the layer; the handle is the caller's to close.
HANDLE spawn(std::function<DWORD()> body, DWORD flags = 0, DWORD* id = nullptr) {
    auto* run = new std::function<DWORD()>(std::move(body));
    return CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            std::unique_ptr<std::function<DWORD()>> f(static_cast<std::function<DWORD()>*>(p));
            return (*f)();
        },
        run, flags, id);
}

// Waits for a thread, closes it and gives what its function returned.
DWORD result_of(HANDLE thread) {
    DWORD code = 0xBAD;
    if (WaitForSingleObject(thread, kBound) != WAIT_OBJECT_0 || !GetExitCodeThread(thread, &code))
        ADD_FAILURE() << "the thread did not end";
    EXPECT_TRUE(CloseHandle(thread));
    return code;
}

void finish(HANDLE thread) { result_of(thread); }

// What GetQueuedCompletionStatus hands back.
struct Packet {
    DWORD bytes = 1;
    ULONG_PTR key = 1;
    LPOVERLAPPED overlapped = reinterpret_cast<LPOVERLAPPED>(&bytes);  // not null: must be set
};

BOOL dequeue(HANDLE port, Packet& p, DWORD milliseconds) {
    return GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.overlapped, milliseconds);
}

HANDLE new_port() { return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0); }

HANDLE event(bool manual, bool set = false) { return CreateEventW(nullptr, manual, set, nullptr); }

long elapsed_ms(std::chrono::steady_clock::time_point since) {
    return (std::chrono::steady_clock::now() - since) / std::chrono::milliseconds(1);
}

int threads_of_process() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

}  // namespace

TEST(PlatformSyncCriticalSection, ReentrantOnOwnerExclusiveToOthers) {
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));  // the owner again
    auto try_elsewhere = [&] {
        BOOL got = TRUE;
        finish(spawn([&] {
            got = TryEnterCriticalSection(&cs);
            if (got) LeaveCriticalSection(&cs);
            return 0u;
        }));
        return got;
    };
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(try_elsewhere());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(try_elsewhere());
    DeleteCriticalSection(&cs);
}

TEST(PlatformSyncCriticalSection, ExcludesConcurrentWriters) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;  // plain: the section is its only guard
    std::vector<HANDLE> threads;
    for (int t = 0; t < 8; ++t)
        threads.push_back(spawn([&] {
            for (int i = 0; i < 5000; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
            return 0u;
        }));
    for (HANDLE h : threads) finish(h);
    EXPECT_EQ(counter, 8 * 5000);
    DeleteCriticalSection(&cs);
}

TEST(PlatformSyncEvents, ManualResetStaysSetAndReleasesAll) {
    HANDLE ev = event(true);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    std::vector<HANDLE> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.push_back(spawn([ev] { return WaitForSingleObject(ev, INFINITE); }));
    EXPECT_TRUE(SetEvent(ev));
    for (HANDLE h : waiters) EXPECT_EQ(result_of(h), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);  // still set
    EXPECT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    CloseHandle(ev);
    HANDLE initially = event(true, true);
    EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_OBJECT_0);
    CloseHandle(initially);
}

TEST(PlatformSyncEvents, AutoResetReleasesExactlyOneWaiterPerSet) {
    HANDLE ev = event(false);
    HANDLE released = CreateSemaphoreW(nullptr, 0, 100, nullptr);
    std::atomic<int> through{0};
    std::vector<HANDLE> waiters;
    for (int i = 0; i < 5; ++i)
        waiters.push_back(spawn([&] {
            DWORD r = WaitForSingleObject(ev, INFINITE);
            ++through;
            ReleaseSemaphore(released, 1, nullptr);
            return r;
        }));
    for (int round = 1; round <= 5; ++round) {
        EXPECT_TRUE(SetEvent(ev));
        ASSERT_EQ(WaitForSingleObject(released, kBound), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(released, 50), WAIT_TIMEOUT) << "a second waiter got through";
        EXPECT_EQ(through.load(), round);
    }
    for (HANDLE h : waiters) finish(h);
    // Setting twice with nobody waiting counts once.
    SetEvent(ev);
    SetEvent(ev);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    CloseHandle(ev);
    CloseHandle(released);
}

TEST(PlatformSyncSemaphores, CountsUpToTheMaximum) {
    HANDLE sem = CreateSemaphoreW(nullptr, 1, 3, nullptr);
    ASSERT_NE(sem, nullptr);
    LONG previous = -1;
    EXPECT_TRUE(ReleaseSemaphore(sem, 2, &previous));
    EXPECT_EQ(previous, 1);
    previous = -1;
    EXPECT_FAILS(ReleaseSemaphore(sem, 1, &previous), FALSE, ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, -1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_TIMEOUT);  // the failed release added nothing
    EXPECT_FAILS(ReleaseSemaphore(sem, 4, nullptr), FALSE, ERROR_TOO_MANY_POSTS);
    EXPECT_FAILS(ReleaseSemaphore(sem, 0, nullptr), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(ReleaseSemaphore(sem, 3, nullptr));
    // No overflow past the maximum.
    EXPECT_FAILS(ReleaseSemaphore(sem, 0x7FFFFFFF, nullptr), FALSE, ERROR_TOO_MANY_POSTS);
    CloseHandle(sem);

    EXPECT_FAILS(CreateSemaphoreW(nullptr, 2, 1, nullptr), nullptr, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 0, nullptr), nullptr);
    EXPECT_EQ(CreateSemaphoreW(nullptr, -1, 1, nullptr), nullptr);
    EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, L"n"), nullptr);
}

TEST(PlatformSyncWaits, TimeoutsAreHonoured) {
    HANDLE ev = event(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(ev, 120), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 120);
    HANDLE both[] = {ev, ev};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 80), WAIT_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 80);
    // INFINITE returns once another thread signals.
    HANDLE setter = spawn([ev] { return static_cast<DWORD>(SetEvent(ev)); });
    EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    finish(setter);
    CloseHandle(ev);
}

TEST(PlatformSyncWaits, AnyTakesTheLowestSignalledAndConsumesOnlyIt) {
    HANDLE quiet = event(false), sem = CreateSemaphoreW(nullptr, 1, 5, nullptr),
           later = event(false, true);
    HANDLE list[] = {quiet, sem, later};
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_TIMEOUT);
    // Two semaphore counts and a set event: index 1 twice, then 2.
    ReleaseSemaphore(sem, 2, nullptr);
    SetEvent(later);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(quiet);
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(later, 0), WAIT_OBJECT_0);  // left set throughout
    // A wait that blocks wakes for the one signalled later.
    HANDLE setter = spawn([later] { return static_cast<DWORD>(SetEvent(later)); });
    EXPECT_EQ(WaitForMultipleObjects(3, list, FALSE, kBound), WAIT_OBJECT_0 + 2);
    finish(setter);
    for (HANDLE h : list) CloseHandle(h);
}

TEST(PlatformSyncWaits, AllWaitsForEveryObjectAndTakesNothingBefore) {
    HANDLE sem = CreateSemaphoreW(nullptr, 1, 5, nullptr), ev = event(false);
    HANDLE list[] = {sem, ev};
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);  // the count was left
    ReleaseSemaphore(sem, 1, nullptr);
    HANDLE setter = spawn([ev] { return static_cast<DWORD>(SetEvent(ev)); });
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, kBound), WAIT_OBJECT_0);
    finish(setter);
    EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_TIMEOUT);  // both consumed
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    HANDLE twice[] = {sem, sem};
    EXPECT_FAILS(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED, ERROR_INVALID_PARAMETER);
    CloseHandle(sem);
    CloseHandle(ev);
}

TEST(PlatformSyncWaits, RefusesBadListsAndHandles) {
    // Named semaphores are not made here (named events are: named_event_test.cpp).
    EXPECT_FAILS(CreateSemaphoreW(nullptr, 1, 1, L"Local\\x"), nullptr, ERROR_INVALID_PARAMETER);
    HANDLE gone = event(true);
    CloseHandle(gone);
    EXPECT_FAILS(SetEvent(gone), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(WaitForSingleObject(gone, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    HANDLE ev = event(true, true);
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, ev);
    EXPECT_FAILS(WaitForMultipleObjects(0, many.data(), FALSE, 0), WAIT_FAILED,
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, 0),
                 WAIT_FAILED, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
    HANDLE port = new_port();
    HANDLE mixed[] = {ev, port};
    // A port is not waitable.
    EXPECT_FAILS(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED, ERROR_INVALID_HANDLE);
    EXPECT_FAILS(SetEvent(port), FALSE, ERROR_INVALID_HANDLE);  // nor an event
    CloseHandle(port);
    CloseHandle(ev);
}

TEST(PlatformSyncThreads, ManyWaitOnOneThreadAndSeeItsExitCode) {
    HANDLE gate = event(true);
    DWORD id = 0, seen_id = 1;
    HANDLE worker = spawn(
        [&] {
            seen_id = GetCurrentThreadId();
            WaitForSingleObject(gate, INFINITE);
            return 42u;
        },
        0, &id);
    ASSERT_NE(worker, nullptr);
    std::vector<HANDLE> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.push_back(spawn([worker] { return WaitForSingleObject(worker, INFINITE); }));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(worker, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForMultipleObjects(6, waiters.data(), FALSE, 50), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForMultipleObjects(6, waiters.data(), TRUE, kBound), WAIT_OBJECT_0);
    for (HANDLE h : waiters) EXPECT_EQ(result_of(h), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(worker, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);  // stays signalled
    EXPECT_NE(id, 0u);
    EXPECT_EQ(seen_id, id);
    EXPECT_NE(GetCurrentThreadId(), id);
    CloseHandle(worker);
    CloseHandle(gate);
}

TEST(PlatformSyncThreads, ClosedHandleLeavesThreadRunningAndItsResourcesGo) {
    finish(spawn([] { return 0u; }));  // the layer's own thread, made with the first one
    const int before = threads_of_process();
    HANDLE gate = event(true), done = CreateSemaphoreW(nullptr, 0, 100, nullptr);
    for (int i = 0; i < 50; ++i) {
        HANDLE h = spawn([&] {
            WaitForSingleObject(gate, INFINITE);
            ReleaseSemaphore(done, 1, nullptr);
            return 0u;
        });
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(CloseHandle(h));
        DWORD code;
        EXPECT_FAILS(GetExitCodeThread(h, &code), FALSE, ERROR_INVALID_HANDLE);
    }
    SetEvent(gate);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(WaitForSingleObject(done, kBound), WAIT_OBJECT_0);
    // The threads end by themselves; nobody joins them.
    auto start = std::chrono::steady_clock::now();
    while (threads_of_process() > before && elapsed_ms(start) < kBound) usleep(10000);
    EXPECT_LE(threads_of_process(), before);
    CloseHandle(gate);
    CloseHandle(done);
}

// A wait on a thread returns once the thread is gone whole: the clean-up of
// its thread-local data, which runs after its function returned and which a
// library may do under a lock of its own, is over by then.
TEST(PlatformSyncThreads, AWaitEndsAfterTheThreadsLocalCleanUp) {
    static std::atomic<int> cleaned{0};
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key,
                                 [](void*) {
                                     usleep(100000);
                                     ++cleaned;
                                 }),
              0);
    for (int i = 0; i < 3; ++i) {
        HANDLE h = spawn([key] {
            pthread_setspecific(key, &cleaned);
            return 0u;
        });
        ASSERT_EQ(WaitForSingleObject(h, kBound), WAIT_OBJECT_0);
        EXPECT_EQ(cleaned.load(), i + 1);
        CloseHandle(h);
    }
    pthread_key_delete(key);
}

TEST(PlatformSyncThreads, SuspendedUntilResumed) {
    std::atomic<bool> ran{false};
    HANDLE h = spawn(
        [&] {
            ran = true;
            return 7u;
        },
        CREATE_SUSPENDED);
    EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(ResumeThread(h), 1u);
    EXPECT_EQ(WaitForSingleObject(h, kBound), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(ResumeThread(h), 0u);
    CloseHandle(h);
    EXPECT_EQ(ResumeThread(h), static_cast<DWORD>(-1));
    EXPECT_FAILS(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr,
                 ERROR_INVALID_PARAMETER);
}

TEST(PlatformSyncPort, PacketsComeInOrderExactlyAsPosted) {
    HANDLE port = new_port();
    ASSERT_NE(port, nullptr);
    OVERLAPPED a{}, b{};
    Packet sent[] = {{0, 0, nullptr}, {0xFFFFFFFFu, ~ULONG_PTR{0}, &a}, {17, 3, &b}, {17, 3, &b}};
    for (const auto& s : sent)
        EXPECT_TRUE(PostQueuedCompletionStatus(port, s.bytes, s.key, s.overlapped));
    for (const auto& s : sent) {
        Packet p;
        ASSERT_TRUE(dequeue(port, p, 0));
        EXPECT_EQ(p.bytes, s.bytes);
        EXPECT_EQ(p.key, s.key);
        EXPECT_EQ(p.overlapped, s.overlapped);
    }
    Packet none;
    EXPECT_FALSE(dequeue(port, none, 0));  // all taken
    CloseHandle(port);
}

TEST(PlatformSyncPort, TimesOutWithNullOverlapped) {
    HANDLE port = new_port();
    Packet p, q;
    EXPECT_FAILS(dequeue(port, p, 0), FALSE, WAIT_TIMEOUT);
    EXPECT_EQ(p.overlapped, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(dequeue(port, q, 100));
    EXPECT_GE(elapsed_ms(start), 100);
    EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
    EXPECT_EQ(q.overlapped, nullptr);
    EXPECT_FAILS(GetQueuedCompletionStatus(port, &p.bytes, &p.key, nullptr, 0), FALSE,
                 ERROR_INVALID_PARAMETER);
    CloseHandle(port);
}

TEST(PlatformSyncPort, WaitingThreadsGetDistinctPackets) {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 4);
    constexpr int kThreads = 8;
    std::vector<Packet> got(kThreads);
    std::vector<HANDLE> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.push_back(
            spawn([&, i] { return static_cast<DWORD>(dequeue(port, got[i], INFINITE)); }));
    for (int i = 1; i <= kThreads; ++i) PostQueuedCompletionStatus(port, 0, i, nullptr);
    for (HANDLE h : threads) EXPECT_EQ(result_of(h), static_cast<DWORD>(TRUE));
    std::vector<ULONG_PTR> keys;
    for (const auto& p : got) keys.push_back(p.key);
    std::sort(keys.begin(), keys.end());
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(keys[i], static_cast<ULONG_PTR>(i + 1));
    CloseHandle(port);
}

TEST(PlatformSyncPort, ClosedOrUnknownPortsFail) {
    HANDLE port = new_port();
    PostQueuedCompletionStatus(port, 1, 1, nullptr);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FAILS(PostQueuedCompletionStatus(port, 1, 1, nullptr), FALSE, ERROR_INVALID_HANDLE);
    Packet p;
    EXPECT_FAILS(dequeue(port, p, 0), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_EQ(p.overlapped, nullptr);
    EXPECT_FAILS(PostQueuedCompletionStatus(reinterpret_cast<HANDLE>(0x7777), 0, 0, nullptr), FALSE,
                 ERROR_INVALID_HANDLE);
    HANDLE ev = event(true);
    EXPECT_FAILS(PostQueuedCompletionStatus(ev, 0, 0, nullptr), FALSE, ERROR_INVALID_HANDLE);
    // Associating files is not supported.
    EXPECT_FAILS(CreateIoCompletionPort(ev, nullptr, 0, 0), nullptr, ERROR_INVALID_PARAMETER);
    CloseHandle(ev);
}

TEST(PlatformSyncPort, ClosingWakesAWaiter) {
    HANDLE port = new_port();
    HANDLE started = event(true);
    Packet p;
    HANDLE waiter = spawn([&] {
        SetEvent(started);
        return dequeue(port, p, INFINITE) ? 0u : GetLastError();
    });
    ASSERT_EQ(WaitForSingleObject(started, kBound), WAIT_OBJECT_0);
    usleep(50000);  // most likely inside the wait by now; either way the result is a failure
    EXPECT_TRUE(CloseHandle(port));
    DWORD error = result_of(waiter);
    EXPECT_TRUE(error == ERROR_ABANDONED_WAIT_0 || error == ERROR_INVALID_HANDLE) << error;
    EXPECT_EQ(p.overlapped, nullptr);
    CloseHandle(started);
}

TEST(PlatformSyncCom, InitialisePerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(result_of(spawn([] { return static_cast<DWORD>(CoInitialize(nullptr)); })),
              static_cast<DWORD>(S_OK));
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

namespace {

// Each test builds its own type: a singleton is built once in a process.
template <int N>
struct Counted {
    static inline std::atomic<int> built{0};
    static inline std::atomic<int> failures_left{0};
    Counted() {
        if (failures_left.fetch_sub(1) > 0) throw std::runtime_error("refused");
        ++built;
    }
};

struct Recursive {
    Recursive() { inner = ATL::CComSingleton<Recursive>::instance(); }
    Recursive* inner = this;
};

}  // namespace

TEST(PlatformSyncSingleton, ConcurrentFirstCallsBuildOne) {
    using Singleton = ATL::CComSingleton<Counted<1>, ATL::CComAutoCriticalSection>;
    if (Counted<1>::built > 0) GTEST_SKIP() << "built by an earlier run in this process";
    HANDLE gate = event(true);
    std::vector<Counted<1>*> seen(12, nullptr);
    std::vector<HANDLE> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.push_back(spawn([&, i] {
            WaitForSingleObject(gate, INFINITE);
            seen[i] = Singleton::instance();
            return 0u;
        }));
    SetEvent(gate);
    for (HANDLE h : threads) finish(h);
    EXPECT_EQ(Counted<1>::built.load(), 1);
    ASSERT_NE(seen[0], nullptr);
    for (auto* p : seen) EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(Singleton::instance(), seen[0]);
    CloseHandle(gate);
}

TEST(PlatformSyncSingleton, ThrowingConstructorLeavesItBuildable) {
    using Singleton = ATL::CComSingleton<Counted<2>, ATL::CComAutoCriticalSection>;
    if (Counted<2>::built > 0) GTEST_SKIP() << "built by an earlier run in this process";
    Counted<2>::failures_left = 1;
    EXPECT_THROW(Singleton::instance(), std::runtime_error);
    EXPECT_EQ(Counted<2>::built.load(), 0);
    Counted<2>* built = nullptr;
    finish(spawn([&] {  // another thread: the lock was let go
        built = Singleton::instance();
        return 0u;
    }));
    ASSERT_NE(built, nullptr);
    EXPECT_EQ(Counted<2>::built.load(), 1);
    EXPECT_EQ(Singleton::instance(), built);
    // A constructor that asks for its own singleton gets null, not a second one.
    Recursive* r = ATL::CComSingleton<Recursive>::instance();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->inner, nullptr);
}

TEST(PlatformSyncSingleton, DestroyedAtProcessEnd) {
    struct Noisy {
        ~Noisy() { fputs("singleton destroyed\n", stderr); }
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ATL::CComSingleton<Noisy>::instance();
            exit(0);
        },
        ::testing::ExitedWithCode(0), "singleton destroyed");
}
