// The tray's singletons: one object per type, made once however many threads
// ask at once, deleted once at exit with the pointer cleared.
#include "tray/singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_made{0};

class Counted : public TRAY::SingletonT<Counted, TRAY::Locker> {
public:
    Counted() {
        ++g_made;
        // Widen the window in which a second thread could make another.
        std::this_thread::yield();
    }
    ~Counted() { std::fputs("Counted deleted\n", stderr); }
};

class Plain : public TRAY::SingletonT<Plain, TRAY::FakeLocker> {
public:
    ~Plain() { std::fputs("Plain deleted\n", stderr); }
};

template <class T>
struct NoObject {
    static T* create() { return nullptr; }
};
class Never : public TRAY::SingletonT<Never, TRAY::FakeLocker, NoObject<Never>> {};

}  // namespace

TEST(TraySingleton, ThreadsAskingAtOnceGetOneObject) {
    std::atomic<bool> go{false};
    std::vector<Counted*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            seen[i] = Counted::instance();
        });
    go = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(g_made.load(), 1);
    for (Counted* object : seen) EXPECT_EQ(object, seen[0]);
    EXPECT_EQ(Counted::instance(), seen[0]);
    EXPECT_EQ(Counted::current(), seen[0]);
}

TEST(TraySingleton, ObjectIsDeletedOnceAtExitAndThePointerCleared) {
    // Exit functions run in reverse order: the check registered first runs
    // after the singleton's own.
    auto run = [] {
        std::atexit(
            [] { std::fputs(Plain::current() ? "pointer kept\n" : "pointer cleared\n", stderr); });
        Plain* first = Plain::instance();
        if (Plain::instance() != first || Plain::current() != first) std::_Exit(2);
        std::exit(0);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "^Plain deleted\npointer cleared\n$");
}

TEST(TraySingleton, CreatorWithoutObjectGivesNull) {
    EXPECT_EQ(Never::instance(), nullptr);
    EXPECT_EQ(Never::current(), nullptr);
}
