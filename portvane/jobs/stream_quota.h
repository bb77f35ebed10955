// Which job event streams may run. Each running stream holds one of the web server's worker
// threads for as long as its listener stays, so their number is bounded; and so that no one
// peer can take every slot, a peer holds at most a few at once, and the last slots are kept for
// peers that hold none yet. A peer is who opened the connection (mg_get_peer_identity: the local
// account on this machine, whose sockets all come from 127.0.0.1 or any other loopback address
// the program picks), so another user's streams, however many, never keep the tray of this one
// from its first stream.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace portvane {

class StreamQuota {
public:
    struct Limits {
        int total;     // streams at once, every peer's
        int perPeer;   // streams at once of one peer
        int reserved;  // of total, the slots that only a peer's first stream may take
    };
    explicit StreamQuota(Limits limits) : limits_(limits) {}
    StreamQuota(const StreamQuota&) = delete;
    StreamQuota& operator=(const StreamQuota&) = delete;

    // Takes a slot for peer: false when peer holds perPeer already, when total run, or when peer
    // holds one already and only the reserved slots are left. Any thread.
    bool take(const std::string& peer);
    // Gives back a slot that take gave peer. Any thread.
    void release(const std::string& peer);

    int running() const;
    const Limits& limits() const { return limits_; }

private:
    const Limits limits_;
    mutable std::mutex lock_;
    std::map<std::string, int> held_;  // guarded by lock_: peers holding one or more
    int running_ = 0;                  // guarded by lock_
};

// A slot of a quota for one stream, held while it lives.
class StreamSlot {
public:
    StreamSlot(StreamQuota& quota, std::string peer)
        : quota_(quota), peer_(std::move(peer)), taken_(quota_.take(peer_)) {}
    ~StreamSlot() {
        if (taken_) quota_.release(peer_);
    }
    StreamSlot(const StreamSlot&) = delete;
    StreamSlot& operator=(const StreamSlot&) = delete;
    bool taken() const { return taken_; }

private:
    StreamQuota& quota_;
    std::string peer_;
    bool taken_;
};

}  // namespace portvane
