#include "portvane/jobs/stream_quota.h"

namespace portvane {

bool StreamQuota::take(const std::string& peer) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = held_.find(peer);
    int mine = it == held_.end() ? 0 : it->second;
    if (mine >= limits_.perPeer || running_ >= limits_.total) return false;
    if (mine > 0 && running_ >= limits_.total - limits_.reserved) return false;
    ++held_[peer];
    ++running_;
    return true;
}

void StreamQuota::release(const std::string& peer) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = held_.find(peer);
    if (it == held_.end()) return;
    if (--it->second == 0) held_.erase(it);
    --running_;
}

int StreamQuota::running() const {
    std::lock_guard<std::mutex> hold(lock_);
    return running_;
}

}  // namespace portvane
