// Child processes: posix_spawn with every inherited descriptor above those
// handed in closed in the child, and, for reaped children, one detached
// waiter thread per child that reaps exactly that child.
#include "platform/kernel/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/kernel/descriptor.h"

extern char** environ;

namespace tovel::platform {
namespace {

// Hand-over of the child's pid to its waiter, which is started before the
// child exists. A pid of -1 tells the waiter that no child was made.
class Waiter {
public:
    void give(pid_t pid) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            pid_ = pid;
            given_ = true;
        }
        ready_.notify_one();
    }
    pid_t take() {
        std::unique_lock<std::mutex> guard(lock_);
        ready_.wait(guard, [this] { return given_; });
        return pid_;
    }

private:
    std::mutex lock_;
    std::condition_variable ready_;
    pid_t pid_ = -1;
    bool given_ = false;
};

void reap(const std::shared_ptr<Waiter>& waiter) {
    pid_t pid = waiter->take();
    if (pid <= 0) return;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Owners of the spawn attributes and file actions for one call.
class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // Every signal to its default action and none blocked; a new session
    // when asked for.
    bool prepare(bool ownSession) {
        if (!ok_) return false;
        // sigfillset leaves out the C library's own two signals, which
        // posix_spawn then hands to the child ignored; a set of all bits
        // reaches them too.
        sigset_t all, none;
        std::memset(&all, 0xFF, sizeof all);
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (ownSession) flags |= POSIX_SPAWN_SETSID;
        return posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
               posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               posix_spawnattr_setflags(&attributes_, flags) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;

    // Gives the child the plan's descriptors at their numbers, closes every
    // other one from 3 up, and changes to the plan's folder. A descriptor to
    // hand over whose number is also a target is first copied above every
    // target, so that no dup2 overwrites another's source.
    bool prepare(const SpawnPlan& plan) {
        if (!ok_) return false;
        int top = 2;
        for (const auto& [from, to] : plan.descriptors) top = std::max(top, to);
        for (const auto& [from, to] : plan.descriptors) {
            int source = from;
            if (from <= top) {
                copies_.emplace_back(::fcntl(from, F_DUPFD_CLOEXEC, top + 1));
                source = copies_.back().get();
                if (source < 0) return false;
            }
            if (posix_spawn_file_actions_adddup2(&actions_, source, to) != 0) return false;
        }
        if (!plan.folder.empty() &&
            posix_spawn_file_actions_addchdir_np(&actions_, plan.folder.c_str()) != 0)
            return false;
        return posix_spawn_file_actions_addclosefrom_np(&actions_, top + 1) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    std::vector<Descriptor> copies_;  // held until the child is made
    bool ok_ = false;
};

// The argument or environment vector of a list of texts (pointing into it).
std::vector<char*> text_vector(const std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (const auto& text : texts) out.push_back(const_cast<char*>(text.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

int spawn_program(const SpawnPlan& plan, pid_t* pid) {
    if (plan.arguments.empty()) return EINVAL;
    SpawnAttributes attributes;
    SpawnActions actions;
    if (!attributes.prepare(plan.own_session) || !actions.prepare(plan)) return ENOMEM;
    std::vector<char*> argv = text_vector(plan.arguments);
    std::vector<char*> envp;
    if (plan.environment) envp = text_vector(*plan.environment);
    char** env = plan.environment ? envp.data() : environ;
    const char* program = plan.arguments[0].c_str();
    return plan.search_path
               ? posix_spawnp(pid, program, actions.get(), attributes.get(), argv.data(), env)
               : posix_spawn(pid, program, actions.get(), attributes.get(), argv.data(), env);
}

int spawn_reaped(const SpawnPlan& plan, pid_t* pid) {
    auto waiter = std::make_shared<Waiter>();
    try {
        std::thread([waiter] { reap(waiter); }).detach();
    } catch (const std::system_error&) {
        return ENOMEM;
    }
    int error = spawn_program(plan, pid);
    waiter->give(error == 0 ? *pid : -1);
    return error;
}

std::vector<std::string> environment_without(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text(*entry);
        bool named = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
            return text.size() > name.size() && text.compare(0, name.size(), name) == 0 &&
                   text[name.size()] == '=';
        });
        if (!named) out.push_back(std::move(text));
    }
    return out;
}

}  // namespace tovel::platform
