#include "platform/fault/fault_mode.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "platform/kernel/machine.h"

namespace tovel::platform::fault {

bool g_active = false;

namespace {

enum class Mode { Count, Kill, Power, PowerKeep };

using Key = std::pair<dev_t, ino_t>;

// A file whose durable content the model keeps.
struct Saved {
    std::string content;  // what the disk holds for sure
    std::string path;     // the host path of its name now
    int fd = -1;          // read-write descriptor of the file, to put it back
    bool mapped = false;  // a view of it was mapped: it goes back by path
};

// A rename not made durable yet; stash holds the file it replaced.
struct Rename {
    std::string from, to, stash;
};

struct Model {
    std::mutex lock;
    Mode mode = Mode::Count;
    uint64_t target = 0;
    uint64_t steps = 0;
    int report = -1;
    int trace = -1;
    uint64_t stashes = 0;
    std::map<Key, Saved> files;
    std::vector<Rename> renames;
    // (power-keep) the file that the rename under way replaces, if any.
    bool replacing = false;
    Key replaced{};
    std::map<uintptr_t, std::pair<size_t, Key>> views;
};

Model& model() {
    static Model* instance = new Model;  // lives until the process ends
    return *instance;
}

bool modelling() { return model().mode == Mode::Power || model().mode == Mode::PowerKeep; }

// Whether renames are durable at once (power-keep): only data go back.
bool keeping() { return model().mode == Mode::PowerKeep; }

bool key_of(int fd, Key& out) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    out = {st.st_dev, st.st_ino};
    return true;
}

bool read_all(int fd, std::string& out) {
    out.clear();
    char buffer[65536];
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

bool write_all(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A read-write descriptor of its own for the file behind fd.
int reopen(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return ::open(link, O_RDWR | O_CLOEXEC);
}

std::string path_of(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = ::readlink(link, target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Takes the file behind fd into the model with its content now as the
// durable one, unless the model has it already. Under the lock.
Saved* note(int fd, const std::string& host) {
    Key key;
    if (!key_of(fd, key)) return nullptr;
    auto found = model().files.find(key);
    if (found != model().files.end()) return &found->second;
    Saved saved;
    saved.fd = reopen(fd);
    if (saved.fd < 0 || !read_all(saved.fd, saved.content)) {
        if (saved.fd >= 0) ::close(saved.fd);
        return nullptr;
    }
    saved.path = host.empty() ? path_of(fd) : host;
    return &model().files.emplace(key, std::move(saved)).first->second;
}

void forget(const Key& key) {
    auto found = model().files.find(key);
    if (found == model().files.end()) return;
    ::close(found->second.fd);
    model().files.erase(found);
}

void move_paths(const std::string& from, const std::string& to) {
    for (auto& entry : model().files) {
        std::string& path = entry.second.path;
        if (path == from)
            path = to;
        else if (path.size() > from.size() && path.compare(0, from.size(), from) == 0 &&
                 path[from.size()] == '/')
            path = to + path.substr(from.size());
    }
}

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Puts every file back as the disk holds it for sure. Under the lock.
void cut_power() {
    Model& m = model();
    for (auto it = m.renames.rbegin(); it != m.renames.rend(); ++it) {
        ::rename(it->to.c_str(), it->from.c_str());
        move_paths(it->to, it->from);
        if (!it->stash.empty()) {
            ::rename(it->stash.c_str(), it->to.c_str());
            move_paths(it->stash, it->to);
        }
    }
    for (auto& entry : m.files) {
        Saved& saved = entry.second;
        if (saved.mapped) {
            // Stores into a view may still come from other threads: the
            // file's name gets a new file, and they go to the old one.
            std::string fresh = saved.path + ".fault-cut";
            int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) continue;
            write_all(fd, saved.content);
            ::close(fd);
            ::rename(fresh.c_str(), saved.path.c_str());
        } else if (::ftruncate(saved.fd, 0) == 0) {
            write_all(saved.fd, saved.content);
        }
    }
}

void report(uint64_t steps) {
    if (model().report < 0) return;
    char text[32];
    int n = std::snprintf(text, sizeof text, "%20llu\n", static_cast<unsigned long long>(steps));
    if (n > 0) (void)!::pwrite(model().report, text, static_cast<size_t>(n), 0);
}

// One line of the trace: the step's kind and the host path it is about.
void trace(const char* kind, const std::string& path) {
    std::string line = std::string(kind) + " " + path + "\n";
    (void)!::write(model().trace, line.data(), line.size());
}

// Counts one step under the lock; at the chosen step the fault happens here.
// kind and path go to the trace; a step given no path but a descriptor
// (path_of_fd) is traced with its file's path, looked up only then.
Step step(const char* kind, const std::string& path, int path_of_fd = -1) {
    Model& m = model();
    Step held(m.lock);
    uint64_t now = ++m.steps;
    if (m.mode != Mode::Count && now == m.target) {
        if (m.mode == Mode::Power || m.mode == Mode::PowerKeep) cut_power();
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
    report(now);
    if (m.trace >= 0) trace(kind, path_of_fd >= 0 && path.empty() ? path_of(path_of_fd) : path);
    return held;
}

__attribute__((constructor)) void read_mode() {
    const char* text = std::getenv("TOVEL_FAULT");
    if (!text || !*text) return;
    Model& m = model();
    std::string mode = text;
    auto number = [&mode](size_t at) {
        return static_cast<uint64_t>(std::strtoull(mode.c_str() + at, nullptr, 10));
    };
    if (mode == "count") {
        m.mode = Mode::Count;
    } else if (mode.rfind("kill:", 0) == 0) {
        m.mode = Mode::Kill;
        m.target = number(5);
    } else if (mode.rfind("power:", 0) == 0) {
        m.mode = Mode::Power;
        m.target = number(6);
    } else if (mode.rfind("power-keep:", 0) == 0) {
        m.mode = Mode::PowerKeep;
        m.target = number(11);
    } else {
        std::fprintf(stderr, "TOVEL_FAULT=%s is not a fault mode: ignored\n", text);
        return;
    }
    const char* path = std::getenv("TOVEL_FAULT_REPORT");
    if (path && *path) m.report = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    report(0);
    const char* traced = std::getenv("TOVEL_FAULT_TRACE");
    if (traced && *traced)
        m.trace = ::open(traced, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    g_active = true;
}

}  // namespace

Step before_create(const std::string& host, bool existed, bool truncates) {
    Step held = step("create", host);
    if (modelling() && existed && truncates) {
        int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            note(fd, host);
            ::close(fd);
        }
    }
    return held;
}

void after_create(int fd, const std::string& host) {
    if (!modelling()) return;
    Saved* saved = note(fd, host);
    if (saved) saved->content.clear();  // nothing of a new file is on the disk yet
}

Step before_change(int fd, const std::string& host) {
    Step held = step("change", host, fd);
    if (modelling()) note(fd, host);
    return held;
}

Step before_flush(int fd) { return step("flush", std::string(), fd); }

void after_flush(int fd) {
    Key key;
    if (!modelling() || !key_of(fd, key)) return;
    auto found = model().files.find(key);
    if (found == model().files.end()) return;
    if (found->second.mapped)
        read_all(found->second.fd, found->second.content);
    else
        forget(key);
}

void after_volume_flush(const std::string& folder) {
    if (!modelling()) return;
    Model& m = model();
    auto below = [&folder](const std::string& path) {
        return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
               path[folder.size()] == '/';
    };
    std::vector<Rename> kept;
    for (Rename& rename : m.renames) {
        if (!below(rename.to)) {
            kept.push_back(std::move(rename));
            continue;
        }
        if (!rename.stash.empty()) {
            struct stat st;
            if (::stat(rename.stash.c_str(), &st) == 0) forget({st.st_dev, st.st_ino});
            ::unlink(rename.stash.c_str());
        }
    }
    m.renames = std::move(kept);
    std::vector<Key> flushed;
    for (const auto& entry : m.files)
        if (!entry.second.mapped && below(entry.second.path)) flushed.push_back(entry.first);
    for (const Key& key : flushed) forget(key);
}

Step before_rename(const std::string& from, const std::string& to) {
    Step held = step("rename", to);
    if (!modelling()) return held;
    struct stat st = {};
    if (keeping()) {
        // The replaced file is gone for good once the rename is made.
        struct stat source;
        model().replacing = ::lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                            !(::lstat(from.c_str(), &source) == 0 && source.st_dev == st.st_dev &&
                              source.st_ino == st.st_ino);
        model().replaced = {st.st_dev, st.st_ino};
        return held;
    }
    if (from != to && ::lstat(to.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        // The file that the rename replaces is kept under a name of the
        // model's, to come back if the rename is undone.
        std::string folder = machine_root() + "/fault-stash";
        ::mkdir(folder.c_str(), 0700);
        std::string stash = folder + "/" + std::to_string(++model().stashes);
        if (::link(to.c_str(), stash.c_str()) == 0) {
            move_paths(to, stash);
            model().renames.push_back({from, to, stash});
            return held;
        }
    }
    model().renames.push_back({from, to, ""});
    return held;
}

void after_rename(const std::string& from, const std::string& to, bool succeeded,
                  bool write_through) {
    if (!modelling()) return;
    Model& m = model();
    if (keeping()) {
        if (!succeeded) return;
        if (m.replacing) forget(m.replaced);
        m.replacing = false;
        move_paths(from, to);
        return;
    }
    if (m.renames.empty() || m.renames.back().from != from || m.renames.back().to != to) return;
    if (!succeeded) {
        if (!m.renames.back().stash.empty()) {
            move_paths(m.renames.back().stash, to);
            ::unlink(m.renames.back().stash.c_str());
        }
        m.renames.pop_back();
        return;
    }
    move_paths(from, to);
    if (!write_through) return;
    // The folder of the new name is on the disk: so is every rename into it.
    std::string folder = folder_of(to);
    std::vector<Rename> kept;
    for (Rename& rename : m.renames) {
        if (folder_of(rename.to) != folder) {
            kept.push_back(std::move(rename));
            continue;
        }
        if (!rename.stash.empty()) {
            struct stat st;
            Key key;
            if (::stat(rename.stash.c_str(), &st) == 0) {
                key = {st.st_dev, st.st_ino};
                forget(key);
            }
            ::unlink(rename.stash.c_str());
        }
    }
    m.renames = std::move(kept);
}

Step before_delete(const std::string& host) {
    Step held = step("delete", host);
    struct stat st;
    if (modelling() && ::lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        forget({st.st_dev, st.st_ino});  // a deletion is durable: nothing comes back
    return held;
}

Step before_other() { return step("other", std::string()); }

void mapped(int fd, const void* view, size_t length) {
    if (!modelling()) return;
    Step held(model().lock);
    Key key;
    if (!key_of(fd, key)) return;
    Saved* saved = note(fd, std::string());
    if (!saved) return;
    saved->mapped = true;
    model().views[reinterpret_cast<uintptr_t>(view)] = {length, key};
}

void unmapped(const void* view) {
    if (!modelling()) return;
    Step held(model().lock);
    model().views.erase(reinterpret_cast<uintptr_t>(view));
}

Step before_view_flush(const void*) { return step("view", std::string()); }

void after_view_flush(const void* address) {
    if (!modelling()) return;
    auto& views = model().views;
    auto at = reinterpret_cast<uintptr_t>(address);
    auto it = views.upper_bound(at);
    if (it == views.begin()) return;
    --it;
    if (at >= it->first + it->second.first) return;
    auto found = model().files.find(it->second.second);
    if (found != model().files.end()) read_all(found->second.fd, found->second.content);
}

}  // namespace tovel::platform::fault
