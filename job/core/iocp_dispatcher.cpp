#include "job/core/iocp_dispatcher.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <new>

#include "common/ace_log_wrapper.h"
#include "job/core/job_cmd_queue.h"

namespace {

constexpr DWORD kStopped = 259;  // ERROR_NO_MORE_ITEMS: the stop packet arrived
constexpr uint64_t kClockChanged = ~0ull;
const auto kClockChangedPacket = reinterpret_cast<OVERLAPPED*>(~static_cast<uintptr_t>(0));

class Locked {
public:
    explicit Locked(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Locked() { LeaveCriticalSection(&section_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace

// ---- Io_Completion_Port

Io_Completion_Port::~Io_Completion_Port() { close(); }

bool Io_Completion_Port::open() {
    std::lock_guard<std::mutex> guard(portLock_);
    if (!port_) port_ = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    return port_ != nullptr;
}

void Io_Completion_Port::close() {
    HANDLE port;
    {
        std::lock_guard<std::mutex> guard(portLock_);
        port = port_;
        port_ = nullptr;
    }
    if (port) {
        PostQueuedCompletionStatus(port, 0, 0, nullptr);
        CloseHandle(port);
    }
}

bool Io_Completion_Port::post(DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped) {
    HANDLE port = this->port();
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return PostQueuedCompletionStatus(port, bytes, key, overlapped) != FALSE;
}

HANDLE Io_Completion_Port::port() const {
    std::lock_guard<std::mutex> guard(portLock_);
    return port_;
}

// ---- Io_Completion_Port_Ex

namespace {

// Heap order for std::push_heap and friends: the earliest due time at the front.
struct DueLater {
    template <class Entry>
    bool operator()(const Entry& a, const Entry& b) const {
        return a.due > b.due;
    }
};

}  // namespace

Io_Completion_Port_Ex::Io_Completion_Port_Ex() {
    if (!InitializeCriticalSectionAndSpinCount(&lock_, 0)) throw std::bad_alloc();
}

Io_Completion_Port_Ex::~Io_Completion_Port_Ex() {
    close();
    DeleteCriticalSection(&lock_);
}

uint64_t Io_Completion_Port_Ex::localFileTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time = {0, 0};
    SystemTimeToFileTime(&now, &time);
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

long Io_Completion_Port_Ex::schedule_timer(Timeout_Handler* handler, uint64_t due) {
    Locked locked(lock_);
    uint64_t earliest = heap_.empty() ? kClockChanged : heap_.front().due;
    uint32_t id = ++lastTimerId_;
    handler->timer_id = static_cast<int32_t>(id);
    heap_.push_back(Entry{id, due, handler});
    std::push_heap(heap_.begin(), heap_.end(), DueLater());
    if (due < earliest &&
        !post(4, key(), reinterpret_cast<OVERLAPPED*>(static_cast<uintptr_t>(id)))) {
        // The entry is armed all the same; it fires when the current wait ends.
        log_message(LM_WARNING, "Failed to wake the dispatcher for timer %d, %m.\n",
                    static_cast<int>(id));
    }
    return static_cast<long>(id);
}

long Io_Completion_Port_Ex::schedule_after_ms(Timeout_Handler* handler, uint64_t milliseconds) {
    return schedule_timer(handler, localFileTime() + milliseconds * 10000);
}

int Io_Completion_Port_Ex::cancel_timer(Timeout_Handler* handler) {
    // The id is read under the lock: a handler that re-arms itself on the
    // dispatcher thread writes it there while another thread cancels.
    Locked locked(lock_);
    if (handler->timer_id < 0) return -1;
    uint32_t id = static_cast<uint32_t>(handler->timer_id);
    auto it = std::find_if(heap_.begin(), heap_.end(), [id](const Entry& e) { return e.id == id; });
    if (it == heap_.end()) {
        SetLastError(ERROR_NOT_FOUND);
        return -1;
    }
    bool wasEarliest = it == heap_.begin() && heap_.size() >= 2;
    heap_.erase(it);
    std::make_heap(heap_.begin(), heap_.end(), DueLater());
    if (wasEarliest) {
        auto next = reinterpret_cast<OVERLAPPED*>(static_cast<uintptr_t>(heap_.front().id));
        post(4, key(), next);
    }
    return 0;
}

DWORD Io_Completion_Port_Ex::handle_events(DWORD timeout) {
    DWORD wait = timeout;
    {
        Locked locked(lock_);
        if (!heap_.empty()) {
            uint64_t now = localFileTime();
            uint64_t due = heap_.front().due;
            if (due > now) {
                uint64_t ms = (due - now) / 10000;
                // Rounded up: a wait of 0 would spin until the time has come.
                wait = ms == 0 ? 1 : ms >= 0xFFFFFFFFull ? 0xFFFFFFFEu : static_cast<DWORD>(ms);
            } else {
                wait = 0;  // due already: take a queued packet, else run the timers
            }
        }
    }
    HANDLE port = this->port();
    if (!port) return ERROR_INVALID_HANDLE;
    DWORD bytes = 0;
    ULONG_PTR packetKey = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port, &bytes, &packetKey, &overlapped, wait);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok && !overlapped) {
        // No packet was dequeued: its key is meaningless.
        if (error != WAIT_TIMEOUT) return error;
        run_due_timers();
        return WAIT_TIMEOUT;
    }
    if (packetKey == 0) return error ? error : kStopped;
    reinterpret_cast<Io_Completion_Port::Event*>(packetKey)->completion(error, bytes, overlapped);
    return 0;
}

void Io_Completion_Port_Ex::completion(DWORD, DWORD, OVERLAPPED* overlapped) {
    if (overlapped == kClockChangedPacket)
        clock_changed();
    else
        run_due_timers();
}

void Io_Completion_Port_Ex::run_due_timers() {
    Locked locked(lock_);
    uint64_t now = localFileTime();
    while (!heap_.empty() && heap_.front().due <= now) {
        std::pop_heap(heap_.begin(), heap_.end(), DueLater());
        Entry entry = heap_.back();
        heap_.pop_back();
        if (entry.handler) entry.handler->handle_timeout(entry.due);
    }
}

void Io_Completion_Port_Ex::clock_changed() {
    Locked locked(lock_);
    std::vector<Entry> copy = heap_;
    std::sort(copy.begin(), copy.end(),
              [](const Entry& a, const Entry& b) { return a.due < b.due; });
    for (const Entry& entry : copy)
        if (entry.handler) entry.handler->handle_timeout(kClockChanged);
}

// ---- Iocp_Dispatcher

Iocp_Dispatcher* Iocp_Dispatcher::instance() {
    // The command queue that the timers feed (and the job manager it calls)
    // is made first, so that it is destroyed after the dispatcher, whose
    // destruction ends the thread that runs the timers.
    static JobCmdQueueImpl* const queue = JobCmdQueueImpl::instance();
    (void)queue;
    static Iocp_Dispatcher dispatcher;
    return &dispatcher;
}

Iocp_Dispatcher::~Iocp_Dispatcher() { stop(); }

bool Iocp_Dispatcher::stop() {
    // The thread handles every packet queued before the stop packet, then the
    // port goes: closing it first would drop queued events unreleased.
    post(0, 0, nullptr);
    bool joined = join();
    close();
    return joined;
}

bool Iocp_Dispatcher::activate() {
    std::lock_guard<std::mutex> guard(threadLock_);
    if (thread_.joinable()) return false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool Iocp_Dispatcher::join() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(threadLock_);
        thread.swap(thread_);
    }
    if (!thread.joinable()) return false;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // the dispatcher thread cannot join itself
        return false;
    }
    thread.join();
    return true;
}

void Iocp_Dispatcher::run() {
    HRESULT result = CoInitialize(nullptr);
    if (result != S_OK) {
        exitCode_ = static_cast<DWORD>(result);
        return;
    }
    DWORD code;
    do {
        code = handle_events(INFINITE);
    } while (code == 0 || code == WAIT_TIMEOUT);
    CoUninitialize();
    exitCode_ = code == kStopped ? 0 : code;
}

// ---- IocpDispatherWrapper

bool IocpDispatherWrapper::open() { return Iocp_Dispatcher::instance()->open(); }

bool IocpDispatherWrapper::activate() { return Iocp_Dispatcher::instance()->activate(); }

bool IocpDispatherWrapper::close() { return Iocp_Dispatcher::instance()->stop(); }

bool IocpDispatherWrapper::wait(unsigned long) { return Iocp_Dispatcher::instance()->join(); }

bool IocpDispatherWrapper::notifyTimeChange() {
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    return dispatcher->post(4, dispatcher->key(), kClockChangedPacket);
}
