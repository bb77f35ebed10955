// Named events. An event of a name is a small record in a file of the
// machine's objects folder, objects/event.<key>, which every process that
// holds a handle to it maps: a magic word, the reset kind, the state, and a
// change count.
//
// The state and the count are atomic words in the shared page, so setting,
// resetting and taking the event need no lock. Each change of state (a set,
// or a take put back) adds one to the count and wakes the count's futex in
// every process. A waiting process runs one relay thread per named event it
// waits for: it sleeps on that futex and, on each change, wakes the
// process's own waits (sync_object.h), which then look at the shared state
// like at any other object's. So a named event mixes with local events and
// threads in one WaitForMultipleObjects.
//
// Names live as the named mutexes' do (mutex.cpp): each holding process has a
// LOCK_SH flock on its own open description of the file, a file on which
// LOCK_EX|LOCK_NB succeeds has no living holder and is made afresh (a killed
// holder leaves nothing that matters), the last holder to let go removes the
// file, and all of it happens under the exclusive lock of objects/event.lock.
// A process maps each file once, however many handles it opens to the name.
//
// A name with the "Global\" prefix lives in the machine's objects folder;
// any other name belongs to the user's logon session and lives in the
// session's own objects folder (user_session.h), so that two users each have
// their own event of a plain name.
//
// Who may open the event is the file's mode: read and write for everyone
// when its maker gave a null access list, what its access list gives
// otherwise (read: waiting, SYNCHRONIZE; write: setting, EVENT_MODIFY_STATE),
// the maker's user only without one (the machine's administrator opens any).
// A handle that may only wait maps the record read-only, and a process keeps
// one state per name for each of the two kinds of handle.
#include "platform/threads/named_event.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/host_names.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/object_names.h"
#include "platform/kernel/security_descriptor.h"
#include "platform/kernel/user_session.h"
#include "platform/threads/sync_object.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace tovel::platform {
namespace {

constexpr uint32_t kMagic = 0x56455654;  // "TVEV"
constexpr size_t kMaxFileName = 200;

struct SharedEvent {
    uint32_t magic;
    uint32_t manual;
    std::atomic<uint32_t> state;    // 1: set
    std::atomic<uint32_t> changes;  // the futex word
};
static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4,
              "a futex word");

uint32_t* futex_word(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Sleeps while *word is expected (a wake, a signal, a change or the time-out
// when one is given ends it).
void futex_wait(std::atomic<uint32_t>& word, uint32_t expected, const timespec* timeout = nullptr) {
    ::syscall(SYS_futex, futex_word(word), FUTEX_WAIT, expected, timeout, nullptr, 0);
}

void futex_wake_all(std::atomic<uint32_t>& word) {
    ::syscall(SYS_futex, futex_word(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

using FileId = std::pair<dev_t, ino_t>;
// A file and whether its state in this process may change it.
using StateKey = std::pair<FileId, bool>;
class EventState;

// The named states of this process by file. Changed under the namespace lock
// (so a state is never joined while it is torn down) and this one.
struct NamedStates {
    std::mutex lock;
    std::map<StateKey, std::weak_ptr<EventState>> states;
};

NamedStates& named_states() {
    static auto* states = new NamedStates;  // lives until the process ends
    return *states;
}

// The event of one name in this process, shared by all its handles here.
class EventState {
public:
    EventState(SharedEvent* shared, int live, FileId file, bool writable, std::string objects,
               std::string path)
        : shared_(shared),
          live_(live),
          file_(file),
          writable_(writable),
          objects_(std::move(objects)),
          path_(std::move(path)) {}
    ~EventState() {
        if (relay_.joinable()) {
            stopping_.store(true);
            if (writable_)
                changed();
            else
                futex_wake_all(shared_->changes);  // a read-only record cannot count
            relay_.join();
        }
        ::munmap(shared_, sizeof(SharedEvent));
        NamespaceLock lock(objects_, "event");
        {
            auto& named = named_states();
            std::lock_guard<std::mutex> guard(named.lock);
            auto entry = named.states.find({file_, writable_});
            if (entry != named.states.end() && entry->second.expired()) named.states.erase(entry);
        }
        struct stat st;
        if (lock.held() && retry_flock(live_.get(), LOCK_EX | LOCK_NB) == 0 &&
            ::stat(path_.c_str(), &st) == 0 && FileId(st.st_dev, st.st_ino) == file_)
            ::unlink(path_.c_str());
    }
    EventState(const EventState&) = delete;
    EventState& operator=(const EventState&) = delete;

    bool is_set() const { return shared_->state.load() != 0; }
    bool writable() const { return writable_; }
    bool take() {
        if (shared_->manual) return is_set();
        uint32_t set = 1;
        return shared_->state.compare_exchange_strong(set, 0);
    }
    void put_back() {
        if (shared_->manual) return;
        shared_->state.store(1);
        changed();
    }
    void set(bool value) {
        shared_->state.store(value ? 1 : 0);
        if (value) changed();
    }

    // With wait_lock() held: makes sure that the relay runs. The count is
    // read here, before the waiter's first look at the state, so that no
    // change after that look goes unseen.
    void watch() {
        if (relay_.joinable()) return;
        uint32_t seen = shared_->changes.load();
        relay_ = std::thread([this, seen] { relay(seen); });
    }

private:
    void changed() {
        shared_->changes.fetch_add(1);
        futex_wake_all(shared_->changes);
    }

    void relay(uint32_t seen) {
        // A read-only state's own end is seen within a tenth of a second: it
        // cannot change the count that would wake the relay at once.
        const timespec tenth{0, 100000000};
        for (;;) {
            futex_wait(shared_->changes, seen, writable_ ? nullptr : &tenth);
            uint32_t now = shared_->changes.load();
            if (stopping_.load()) return;
            if (now == seen) continue;  // woken for nothing
            seen = now;
            { std::lock_guard<std::mutex> guard(wait_lock()); }
            wait_changed().notify_all();
        }
    }

    SharedEvent* shared_;
    Descriptor live_;
    FileId file_;
    bool writable_;
    std::string objects_;
    std::string path_;
    std::thread relay_;  // started under wait_lock()
    std::atomic<bool> stopping_{false};
};

class NamedEventObject : public EventWaitable {
public:
    explicit NamedEventObject(std::shared_ptr<EventState> state) : state_(std::move(state)) {}
    bool signalled() const override { return state_->is_set(); }
    bool acquire() override { return state_->take(); }
    void give_back() override { state_->put_back(); }
    void will_wait() override { state_->watch(); }
    void set(bool value) override { state_->set(value); }
    bool may_set() const override { return state_->writable(); }

private:
    std::shared_ptr<EventState> state_;
};

// How a call reaches the name.
enum class Open { create, existing };

// The state of a named event, made afresh when no living process holds the
// name (created is then true) and how allows it. Under the namespace lock.
std::shared_ptr<EventState> open_named(const std::string& objects, const std::string& path,
                                       Open how, bool writable, mode_t mode, bool manual,
                                       bool initial, bool& created) {
    int flags = (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC |
                (how == Open::create ? O_CREAT : 0);
    Descriptor live(::open(path.c_str(), flags, mode));
    struct stat st;
    if (live.get() < 0 || ::fstat(live.get(), &st) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    created = retry_flock(live.get(), LOCK_EX | LOCK_NB) == 0;
    if (created && how == Open::existing) {
        ::unlink(path.c_str());  // a name that its last holder left behind
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!created) {
        if (errno != EWOULDBLOCK || retry_flock(live.get(), LOCK_SH) != 0) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        auto& named = named_states();
        std::lock_guard<std::mutex> guard(named.lock);
        auto known = named.states.find({{st.st_dev, st.st_ino}, writable});
        if (known != named.states.end()) {
            if (auto state = known->second.lock()) return state;  // live drops its second LOCK_SH
        }
        if (static_cast<size_t>(st.st_size) < sizeof(SharedEvent)) {
            SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
    } else if (::fchmod(live.get(), mode) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    } else if (int error = reserve_file(live.get(), sizeof(SharedEvent))) {
        set_last_error_from_errno(error);
        return nullptr;
    }
    void* view = ::mmap(nullptr, sizeof(SharedEvent), PROT_READ | (writable ? PROT_WRITE : 0),
                        MAP_SHARED, live.get(), 0);
    if (view == MAP_FAILED) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    auto* shared = static_cast<SharedEvent*>(view);
    if (created) {
        shared->manual = manual ? 1 : 0;
        shared->state.store(initial ? 1 : 0);
        shared->changes.store(0);
        shared->magic = kMagic;
        // Others test the lock only under the namespace lock, which is held.
        retry_flock(live.get(), LOCK_SH);
    } else if (shared->magic != kMagic) {
        ::munmap(view, sizeof(SharedEvent));
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    } else if (!writable && !shared->manual) {
        // A wait on an auto-reset event takes it, which a read-only record cannot.
        ::munmap(view, sizeof(SharedEvent));
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    FileId file(st.st_dev, st.st_ino);
    auto state =
        std::make_shared<EventState>(shared, live.release(), file, writable, objects, path);
    auto& named = named_states();
    std::lock_guard<std::mutex> guard(named.lock);
    named.states[{file, writable}] = state;
    return state;
}

HANDLE open_event(Open how, bool writable, LPSECURITY_ATTRIBUTES security, bool manual,
                  bool initial, LPCWSTR name) {
    // The maker's user alone, unless its descriptor says otherwise; the
    // owner keeps reading and writing whatever the descriptor gives others.
    mode_t mode = S_IRUSR | S_IWUSR;
    bool own = false;
    if (security && security->lpSecurityDescriptor) {
        mode_t given = 0;
        if (!object_mode_of_descriptor(security->lpSecurityDescriptor, given, own)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (own) mode |= given & (S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH);
    }
    std::string objects, key;
    if (!named_object_place(name, objects, key)) return nullptr;
    if (key.size() > kMaxFileName) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    NamespaceLock lock(objects, "event");
    if (!lock.held()) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    bool created = false;
    auto state = open_named(objects, objects + "/event." + key, how, writable, mode, manual,
                            initial, created);
    if (!state) return nullptr;
    HANDLE handle = register_object(std::make_shared<NamedEventObject>(std::move(state)));
    SetLastError(how == Open::create && !created ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

std::wstring wide_name(LPCSTR name) { return wide_from_host_name(name, std::strlen(name)); }

}  // namespace

HANDLE create_named_event(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                          LPCWSTR name) {
    return open_event(Open::create, true, security, manualReset, initialState, name);
}

}  // namespace tovel::platform

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    if (!name) return CreateEventW(security, manualReset, initialState, nullptr);
    return CreateEventW(security, manualReset, initialState,
                        tovel::platform::wide_name(name).c_str());
}

HANDLE OpenEventW(DWORD access, BOOL /*inheritHandle*/, LPCWSTR name) {
    if (!name || !*name || !(access & (SYNCHRONIZE | EVENT_MODIFY_STATE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A handle that may only wait reads the record; changing it needs write access to it.
    bool modify = (access & EVENT_MODIFY_STATE) != 0;
    return tovel::platform::open_event(tovel::platform::Open::existing, modify, nullptr, false,
                                       false, name);
}

HANDLE OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return OpenEventW(access, inheritHandle, tovel::platform::wide_name(name).c_str());
}
