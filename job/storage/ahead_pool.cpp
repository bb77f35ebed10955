#include "job/storage/ahead_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {
std::atomic<unsigned> g_cap{0};
}  // namespace

AheadPool::AheadPool(unsigned threads) {
    for (unsigned i = 0; i < std::max(threads, 1u); ++i)
        threads_.emplace_back([this, i] { serve(i); });
}

AheadPool::~AheadPool() {
    {
        std::unique_lock<std::mutex> hold(lock_);
        closing_ = true;
        for (auto& entry : queue_) dropped_.insert(entry.first);
        queue_.clear();
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

unsigned AheadPool::suggestedThreads(unsigned max) {
    unsigned cores = std::thread::hardware_concurrency();
    unsigned cap = g_cap.load();
    if (cap) max = std::min(max, cap);
    return std::max(1u, std::min(max, cores > 1 ? cores - 1 : 1u));
}

void AheadPool::limitThreads(unsigned cap) { g_cap = cap; }

uint64_t AheadPool::post(Task task) {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ticket = posted_++;
        queue_.emplace_back(ticket, std::move(task));
    }
    work_.notify_one();
    return ticket;
}

bool AheadPool::over(uint64_t ticket) const {
    return !running_.count(ticket) &&
           std::none_of(queue_.begin(), queue_.end(),
                        [&](const auto& entry) { return entry.first == ticket; });
}

bool AheadPool::wait(uint64_t ticket) {
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait(hold, [&] { return over(ticket); });
    return !dropped_.count(ticket) && ticket < posted_;
}

bool AheadPool::waitFor(uint64_t ticket, unsigned milliseconds, bool& ran) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!ended_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                         [&] { return over(ticket); }))
        return false;
    ran = !dropped_.count(ticket) && ticket < posted_;
    return true;
}

void AheadPool::cancel() {
    std::unique_lock<std::mutex> hold(lock_);
    for (auto& entry : queue_) dropped_.insert(entry.first);
    queue_.clear();
    ended_.notify_all();  // waiters for the dropped tasks
    ended_.wait(hold, [&] { return running_.empty(); });
}

void AheadPool::serve(unsigned index) {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        auto [ticket, task] = std::move(queue_.front());
        queue_.pop_front();
        running_.insert(ticket);
        hold.unlock();
        task(index);
        task = nullptr;  // what it holds goes before the owner hears of its end
        hold.lock();
        running_.erase(ticket);
        ended_.notify_all();
    }
}
