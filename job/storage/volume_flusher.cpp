#include "job/storage/volume_flusher.h"

#include <system_error>

void VolumeFlusher::flush(std::vector<HANDLE> volumes) {
    if (volumes.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) return;
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread(&VolumeFlusher::run, this);
        } catch (const std::system_error&) {
            return;  // the group's own flush forces them all
        }
    }
    asked_ = std::move(volumes);
    busy_ = true;
    changed_.notify_all();
}

void VolumeFlusher::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void VolumeFlusher::stop() {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        if (!thread_.joinable()) return;
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
}

void VolumeFlusher::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || busy_; });
        if (!busy_) return;
        std::vector<HANDLE> volumes = std::move(asked_);
        asked_.clear();
        lock.unlock();
        for (HANDLE volume : volumes) FlushFileBuffers(volume);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}
