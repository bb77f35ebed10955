#include "job/storage/feed_lane.h"

#include <algorithm>
#include <chrono>
#include <new>

FeedLane::~FeedLane() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
        dropping_ = true;
        queue_.clear();
        file_.reset();
    }
    work_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void FeedLane::begin(Take take, Fail fail) {
    std::lock_guard<std::mutex> hold(lock_);
    take_ = std::move(take);
    fail_ = std::move(fail);
    skipping_ = false;
    dropping_ = false;
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
}

void FeedLane::read(scoped_handle file, uint64_t size) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        file_ = std::move(file);
        fileBytes_ = size;
    }
    work_.notify_one();
}

bool FeedLane::put(const uint8_t* data, size_t size, const Stopped& stopped) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!waitFor(
            hold, [&] { return skipping_ || queue_.size() < kQueued; }, stopped))
        return false;
    if (skipping_) return true;  // nothing after a refusal is taken
    std::vector<uint8_t> piece;
    if (!spare_.empty()) {
        piece = std::move(spare_.back());
        spare_.pop_back();
    }
    hold.unlock();
    piece.assign(data, data + size);
    hold.lock();
    queue_.push_back(std::move(piece));
    hold.unlock();
    work_.notify_one();
    return true;
}

bool FeedLane::drain(const Stopped& stopped) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!waitFor(
            hold, [&] { return queue_.empty() && !file_.valid() && !busy_; }, stopped)) {
        hold.unlock();
        drop();
        return false;
    }
    take_ = nullptr;
    fail_ = nullptr;
    return true;
}

void FeedLane::drop() {
    std::unique_lock<std::mutex> hold(lock_);
    dropping_ = true;
    for (std::vector<uint8_t>& piece : queue_) spare_.push_back(std::move(piece));
    queue_.clear();
    file_.reset();
    room_.wait(hold, [&] { return !busy_; });
    dropping_ = false;
    skipping_ = false;
    take_ = nullptr;
    fail_ = nullptr;
}

bool FeedLane::waitFor(std::unique_lock<std::mutex>& hold, const std::function<bool()>& ready,
                       const Stopped& stopped) {
    if (!stopped) {
        room_.wait(hold, ready);
        return true;
    }
    while (!room_.wait_for(hold, std::chrono::milliseconds(kAskMilliseconds), ready)) {
        hold.unlock();
        bool stop = stopped();
        hold.lock();
        if (stop) return false;
    }
    return true;
}

void FeedLane::serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        work_.wait(hold, [&] { return closing_ || file_.valid() || !queue_.empty(); });
        if (closing_) return;
        busy_ = true;
        const bool skip = skipping_;
        bool going = false;
        if (file_.valid()) {
            scoped_handle file = std::move(file_);
            const uint64_t size = fileBytes_;
            hold.unlock();
            going = !skip && readAhead(file, size);
            file.close();
            hold.lock();
        } else {
            std::vector<uint8_t> piece = std::move(queue_.front());
            queue_.pop_front();
            hold.unlock();
            going = !skip && take_(piece.data(), piece.size());
            hold.lock();
            if (spare_.size() < kQueued) spare_.push_back(std::move(piece));
        }
        if (!going) skipping_ = true;
        busy_ = false;
        room_.notify_all();
    }
}

bool FeedLane::readAhead(scoped_handle& file, uint64_t size) {
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(std::min<uint64_t>(size, kReadBytes)));
    } catch (const std::bad_alloc&) {
        fail_(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (uint64_t done = 0; done < size;) {
        if (dropping_) return false;
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<uint64_t>(size - done, kReadBytes));
        if (!ReadFile(file.get(), buffer.data(), want, &got, nullptr)) {
            fail_(GetLastError());
            return false;
        }
        if (got == 0) {
            fail_(ERROR_HANDLE_EOF);
            return false;
        }
        if (!take_(buffer.data(), got)) return false;
        done += got;
    }
    return true;
}
