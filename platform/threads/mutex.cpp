// Mutexes. Each is a robust, re-entrant pthread mutex: on the heap for an
// unnamed one; for a named one process-shared, in a file of the machine's
// objects/ folder that every process using the name maps.
//
// A named mutex's file, objects/mutex.<escaped name>, holds a magic word and
// the pthread mutex. A process that has handles to it holds a LOCK_SH flock
// on its own open description of the file, so a file on which
// LOCK_EX|LOCK_NB succeeds has no living holder: its mutex is made afresh
// (a lone holder that died leaves nothing behind, its object went with it),
// and the last holder to let go removes the file. Files are made, joined,
// made afresh and removed only under an exclusive flock of objects/mutex.lock.
//
// A process maps each file once, however many handles it opens to the name,
// so that the mutex is locked and unlocked at one address: the robust list of
// the owning thread points at it, and the kernel walks that list when the
// thread ends. For the same reason a mutex that a thread of this process
// still owns when its last handle closes stays mapped, and its name alive,
// until the process ends.
#include "platform/win/mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/object_names.h"
#include "platform/kernel/user_session.h"
#include "platform/threads/sync_object.h"
#include "platform/win/errors.h"
#include "platform/win/sync.h"

namespace tovel::platform {
namespace {

constexpr uint32_t kMagic = 0x584D5654;  // "TVMX"
constexpr size_t kMaxFileName = 200;

struct SharedMutex {
    uint32_t magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

bool init_mutex(pthread_mutex_t* mutex, bool shared) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) return false;
    bool ok = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_setpshared(
                  &attributes, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE) == 0 &&
              pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

using FileId = std::pair<dev_t, ino_t>;
class MutexState;

// The named states of this process by file. Changed under the namespace lock
// (so a state is never joined while it is torn down) and this one.
struct NamedStates {
    std::mutex lock;
    std::map<FileId, std::weak_ptr<MutexState>> states;
};

NamedStates& named_states() {
    static auto* states = new NamedStates;  // lives until the process ends
    return *states;
}

// The mutex of one name (or one unnamed mutex) in this process, shared by
// all its handles here.
class MutexState {
public:
    // An unnamed mutex.
    MutexState() : memory_(new SharedMutex{}) {}
    // A named mutex mapped from its file; live holds the file's LOCK_SH.
    MutexState(SharedMutex* mapped, int live, FileId file, std::string objects, std::string path)
        : memory_(mapped),
          live_(live),
          file_(file),
          objects_(std::move(objects)),
          path_(std::move(path)) {}
    ~MutexState() {
        if (owner_.load() != 0) return;  // see the top of the file: kept until the process ends
        if (path_.empty()) {
            pthread_mutex_destroy(&memory_->mutex);
            delete memory_;
            return;
        }
        ::munmap(memory_, sizeof(SharedMutex));
        NamespaceLock lock(objects_, "mutex");
        {
            auto& named = named_states();
            std::lock_guard<std::mutex> guard(named.lock);
            auto entry = named.states.find(file_);
            if (entry != named.states.end() && entry->second.expired()) named.states.erase(entry);
        }
        struct stat st;
        if (lock.held() && retry_flock(live_.get(), LOCK_EX | LOCK_NB) == 0 &&
            ::stat(path_.c_str(), &st) == 0 && FileId(st.st_dev, st.st_ino) == file_)
            ::unlink(path_.c_str());
    }
    MutexState(const MutexState&) = delete;
    MutexState& operator=(const MutexState&) = delete;

    pthread_mutex_t* mutex() { return &memory_->mutex; }

    // Called by a thread that has just locked the mutex; abandoned: the
    // levels of a previous owner that ended are dropped.
    void taken(bool abandoned) {
        DWORD me = GetCurrentThreadId();
        if (abandoned || owner_.load() != me) depth_ = 0;
        owner_.store(me);
        ++depth_;
    }
    // Gives up one level: false when the calling thread is not the owner (in
    // this process; a thread of another process never is).
    bool give_up() {
        if (owner_.load() != GetCurrentThreadId()) return false;
        if (--depth_ == 0) owner_.store(0);
        pthread_mutex_unlock(&memory_->mutex);
        return true;
    }

private:
    SharedMutex* memory_;
    Descriptor live_;
    FileId file_{};
    std::string objects_;
    std::string path_;  // empty for an unnamed mutex
    // The owning thread of this process (0: none here) and its levels; depth_
    // is used by the owner only.
    std::atomic<DWORD> owner_{0};
    long depth_ = 0;
};

class MutexObject : public SelfWaiting {
public:
    explicit MutexObject(std::shared_ptr<MutexState> state) : state_(std::move(state)) {}

    DWORD wait(DWORD milliseconds) override {
        pthread_mutex_t* mutex = state_->mutex();
        int result;
        if (milliseconds == INFINITE) {
            result = pthread_mutex_lock(mutex);
        } else if (milliseconds == 0) {
            result = pthread_mutex_trylock(mutex);
        } else {
            // Polled, so that the wait follows the monotonic clock (and stays
            // visible to the thread sanitizer, which knows no clocklock).
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const int64_t deadline = now.tv_sec * 1000000000ll + now.tv_nsec +
                                     static_cast<int64_t>(milliseconds) * 1000000;
            int64_t pause = 100000;
            while ((result = pthread_mutex_trylock(mutex)) == EBUSY) {
                clock_gettime(CLOCK_MONOTONIC, &now);
                int64_t left = deadline - (now.tv_sec * 1000000000ll + now.tv_nsec);
                if (left <= 0) break;
                int64_t nap = pause < left ? pause : left;
                timespec sleep = {static_cast<time_t>(nap / 1000000000),
                                  static_cast<long>(nap % 1000000000)};
                nanosleep(&sleep, nullptr);
                if (pause < 5000000) pause *= 2;
            }
        }
        switch (result) {
            case 0:
                state_->taken(false);
                return WAIT_OBJECT_0;
            case EOWNERDEAD:
                pthread_mutex_consistent(mutex);
                state_->taken(true);
                return WAIT_ABANDONED_0;
            case EBUSY:
            case ETIMEDOUT:
                return WAIT_TIMEOUT;
            case EAGAIN:  // the recursion count is exhausted
                SetLastError(ERROR_TOO_MANY_POSTS);
                return WAIT_FAILED;
            default:
                SetLastError(win32_error_from_errno(result));
                return WAIT_FAILED;
        }
    }

    bool release() {
        if (state_->give_up()) return true;
        SetLastError(ERROR_NOT_OWNER);
        return false;
    }

private:
    std::shared_ptr<MutexState> state_;
};

// The state of a named mutex, made afresh when no living process holds the
// name (created is then true). Under the namespace lock.
std::shared_ptr<MutexState> open_named(const std::string& objects, const std::string& path,
                                       bool& created) {
    Descriptor live(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat st;
    if (live.get() < 0 || ::fstat(live.get(), &st) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    created = retry_flock(live.get(), LOCK_EX | LOCK_NB) == 0;
    if (!created) {
        if (errno != EWOULDBLOCK || retry_flock(live.get(), LOCK_SH) != 0) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        auto& named = named_states();
        std::lock_guard<std::mutex> guard(named.lock);
        auto known = named.states.find({st.st_dev, st.st_ino});
        if (known != named.states.end()) {
            if (auto state = known->second.lock()) return state;  // live drops its second LOCK_SH
        }
    } else if (::fchmod(live.get(), 0644) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    } else if (int error = reserve_file(live.get(), sizeof(SharedMutex))) {
        set_last_error_from_errno(error);  // 112 on a full disk, not SIGBUS at the first store
        return nullptr;
    }
    if (!created && static_cast<size_t>(st.st_size) < sizeof(SharedMutex)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    void* view =
        ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, live.get(), 0);
    if (view == MAP_FAILED) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    auto* shared = static_cast<SharedMutex*>(view);
    if (created) {
        std::memset(shared, 0, sizeof *shared);
        if (!init_mutex(&shared->mutex, true)) {
            ::munmap(view, sizeof(SharedMutex));
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        shared->magic = kMagic;
        // Others test the lock only under the namespace lock, which is held.
        retry_flock(live.get(), LOCK_SH);
    } else if (shared->magic != kMagic) {
        ::munmap(view, sizeof(SharedMutex));
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    FileId file(st.st_dev, st.st_ino);
    auto state = std::make_shared<MutexState>(shared, live.release(), file, objects, path);
    auto& named = named_states();
    std::lock_guard<std::mutex> guard(named.lock);
    named.states[file] = state;
    return state;
}

}  // namespace
}  // namespace tovel::platform

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*security*/, BOOL initialOwner, LPCWSTR name) {
    using namespace tovel::platform;
    std::shared_ptr<MutexState> state;
    bool created = true;
    if (!name || !*name) {
        state = std::make_shared<MutexState>();
        if (!init_mutex(state->mutex(), false)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    } else {
        std::string objects, file;
        if (!named_object_place(name, objects, file)) return nullptr;
        if (file.size() > kMaxFileName) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return nullptr;
        }
        NamespaceLock lock(objects, "mutex");
        if (!lock.held()) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        state = open_named(objects, objects + "/mutex." + file, created);
        if (!state) return nullptr;
        // Taken before the name is free for others to join.
        if (created && initialOwner && pthread_mutex_lock(state->mutex()) == 0) state->taken(false);
    }
    if ((!name || !*name) && initialOwner && pthread_mutex_lock(state->mutex()) == 0)
        state->taken(false);
    HANDLE handle = register_object(std::make_shared<MutexObject>(std::move(state)));
    SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto object = tovel::platform::lookup<tovel::platform::MutexObject>(mutex);
    if (!object) return FALSE;
    return object->release() ? TRUE : FALSE;
}
