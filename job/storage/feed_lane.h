// A thread of its own that takes the bytes of one stream after another, in
// order, while their owner goes on fetching the next ones: a download whose
// blocks are turned back as they arrive. The owner starts a stream (begin),
// may let the lane read its first bytes from an open file (read), hands the
// rest over piece by piece (put, copied), and then waits until everything is
// taken (drain) or drops what is left (drop). The queue is bounded: put waits
// while kQueued pieces wait, so the owner is at most that far ahead.
//
// The lane belongs to one owner thread, which alone calls it; the take and
// fail functions run on the lane's thread, one call at a time, and what they
// did is seen by the owner once drain or drop has returned. The thread is
// made at the first begin and joined by the destructor (what is queued is
// dropped).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/holders.h"

class FeedLane {
public:
    // Takes the next bytes of the stream; false: the rest is not wanted
    // (skipped untaken; the taker keeps why).
    using Take = std::function<bool(const uint8_t* data, size_t size)>;
    // A read that read fails with code (the rest is skipped).
    using Fail = std::function<void(DWORD code)>;
    // Asked by put and drain on the owner's thread while they wait, about
    // every kAskMilliseconds: true gives up the wait.
    using Stopped = std::function<bool()>;

    static constexpr size_t kQueued = 8;
    static constexpr size_t kReadBytes = 1u << 20;
    static constexpr unsigned kAskMilliseconds = 10;

    FeedLane() = default;
    ~FeedLane();
    FeedLane(const FeedLane&) = delete;
    FeedLane& operator=(const FeedLane&) = delete;

    // Starts a stream; the lane is idle (new, or after drain or drop).
    // Throws std::system_error when the thread cannot be made.
    void begin(Take take, Fail fail);
    // The first size bytes of file (from its start; the lane owns and closes
    // the handle) come before every piece put, which come after this call;
    // they are read kReadBytes at a time on the lane. A file that ends before them fails with
    // ERROR_HANDLE_EOF.
    void read(scoped_handle file, uint64_t size);
    // Queues a copy of size bytes. False when stopped said stop while the
    // queue was full: nothing was queued. Throws std::bad_alloc.
    bool put(const uint8_t* data, size_t size, const Stopped& stopped);
    // Waits until everything queued is taken or skipped; the lane is idle
    // then. False when stopped said stop first: what was left is dropped as
    // drop does.
    bool drain(const Stopped& stopped);
    // Drops what is queued, ends a read between its pieces, and waits until
    // the lane is idle.
    void drop();

private:
    void serve();
    // Reads and takes the file's first size bytes; false when the rest is
    // to be skipped (take said so, or the read failed).
    bool readAhead(scoped_handle& file, uint64_t size);
    // Waits on the owner's side until ready(), asking stopped meanwhile.
    bool waitFor(std::unique_lock<std::mutex>& hold, const std::function<bool()>& ready,
                 const Stopped& stopped);

    std::mutex lock_;
    std::condition_variable work_;  // a piece was queued, or the lane ends
    std::condition_variable room_;  // a piece was taken, or the lane went idle
    std::deque<std::vector<uint8_t>> queue_;
    std::vector<std::vector<uint8_t>> spare_;  // taken pieces, for reuse
    scoped_handle file_;                       // to be read first
    uint64_t fileBytes_ = 0;
    Take take_;
    Fail fail_;
    bool busy_ = false;                  // the lane works on a piece or the read
    bool skipping_ = false;              // the stream's rest is not taken
    std::atomic<bool> dropping_{false};  // drop: the read ends at its next piece
    bool closing_ = false;
    std::thread thread_;
};
