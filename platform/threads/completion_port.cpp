// The completion port: an in-process FIFO of packets with its own lock.
//
// The handle table holds a PortHandle; waiters hold only the queue behind it.
// When the handle is closed the PortHandle goes (once a post racing with the
// close lets go of it), marks the queue closed and wakes every waiter.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/kernel/kernel_object.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace tovel::platform {
namespace {

struct Packet {
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED overlapped;
};

struct PortQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Packet> packets;
    bool closed = false;
};

class PortHandle : public KernelObject {
public:
    PortHandle() : queue(std::make_shared<PortQueue>()) {}
    ~PortHandle() override {
        {
            std::lock_guard<std::mutex> guard(queue->lock);
            queue->closed = true;
            queue->packets.clear();
        }
        queue->changed.notify_all();
    }

    const std::shared_ptr<PortQueue> queue;
};

}  // namespace
}  // namespace tovel::platform

using tovel::platform::lookup;
using tovel::platform::Packet;
using tovel::platform::PortHandle;
using tovel::platform::PortQueue;

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR /*key*/,
                              DWORD /*threads*/) {
    if (file != INVALID_HANDLE_VALUE || existingPort != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return tovel::platform::register_object(std::make_shared<PortHandle>());
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped) {
    auto object = lookup<PortHandle>(port);
    if (!object) return FALSE;
    {
        std::lock_guard<std::mutex> guard(object->queue->lock);
        object->queue->packets.push_back(Packet{bytes, key, overlapped});
    }
    object->queue->changed.notify_one();
    return TRUE;
}

BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, ULONG_PTR* key, LPOVERLAPPED* overlapped,
                               DWORD milliseconds) {
    if (bytes == nullptr || key == nullptr || overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<PortQueue> queue;
    if (auto object = lookup<PortHandle>(port)) {
        queue = object->queue;
    } else {
        *overlapped = nullptr;
        return FALSE;  // 6
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(queue->lock);
    auto ready = [&] { return queue->closed || !queue->packets.empty(); };
    if (milliseconds == INFINITE) {
        queue->changed.wait(guard, ready);
    } else if (milliseconds == 0 ? !ready() : !queue->changed.wait_until(guard, deadline, ready)) {
        *overlapped = nullptr;
        SetLastError(WAIT_TIMEOUT);
        return FALSE;
    }
    if (queue->closed) {
        *overlapped = nullptr;
        SetLastError(ERROR_ABANDONED_WAIT_0);
        return FALSE;
    }
    Packet packet = queue->packets.front();
    queue->packets.pop_front();
    guard.unlock();
    *bytes = packet.bytes;
    *key = packet.key;
    *overlapped = packet.overlapped;
    return TRUE;
}
