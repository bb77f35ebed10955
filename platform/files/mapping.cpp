// File mappings. A mapping object holds a descriptor of its backing (the
// file, or a memory file under objects/) and maps views of it with MAP_SHARED,
// so that every view of it, in any process, shares the page cache's bytes.
//
// A named mapping also has a name entry, objects/mapping.<escaped name>, that
// records its backing file (path, device and inode), size and protection.
// Every mapping object of the name, in any process, holds a LOCK_SH flock on
// its own open description of the entry; a process that ends, killed or not,
// lets go of its locks. So an entry on which LOCK_EX|LOCK_NB succeeds has no
// living holder: it is stale and is removed. Entries are created, joined and
// removed only under an exclusive flock of objects/mapping.lock, which keeps
// a joiner from racing a remover, or two creators of one name each other.
// An entry appears by rename() with its creator's LOCK_SH already on it.
#include "platform/win/mapping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/fault/fault_mode.h"
#include "platform/files/file_object.h"
#include "platform/kernel/descriptor.h"
#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/object_names.h"
#include "platform/kernel/user_session.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

constexpr uint64_t kGranularity = 65536;
constexpr const char* kEntryMagic = "tovel mapping 1";

// What a name entry records.
struct Entry {
    std::string key;
    uint64_t size = 0;
    DWORD protect = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool memory = false;  // the backing is the mapping's own memory file
    std::string backing;
};

std::string format_entry(const Entry& e) {
    return std::string(kEntryMagic) + "\nkey " + e.key + "\nsize " + std::to_string(e.size) +
           "\nprotect " + std::to_string(e.protect) + "\nfile " + std::to_string(e.device) + " " +
           std::to_string(e.inode) + "\nmemory " + (e.memory ? "1" : "0") + "\npath " + e.backing +
           "\n";
}

bool parse_entry(const std::string& text, Entry& e) {
    size_t at = 0;
    auto line = [&](const char* label, std::string& value) {
        size_t end = text.find('\n', at);
        std::string prefix = std::string(label) + " ";
        if (end == std::string::npos || text.compare(at, prefix.size(), prefix) != 0) return false;
        value = text.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
        return true;
    };
    if (text.rfind(std::string(kEntryMagic) + "\n", 0) != 0) return false;
    at = std::string(kEntryMagic).size() + 1;
    std::string size, protect, file, memory;
    if (!line("key", e.key) || !line("size", size) || !line("protect", protect) ||
        !line("file", file) || !line("memory", memory))
        return false;
    // The path is the rest, whatever bytes it holds, without the final line break.
    if (text.compare(at, 5, "path ") != 0 || text.back() != '\n') return false;
    e.backing = text.substr(at + 5, text.size() - at - 6);
    char* end = nullptr;
    e.size = std::strtoull(size.c_str(), &end, 10);
    if (*end) return false;
    e.protect = static_cast<DWORD>(std::strtoul(protect.c_str(), &end, 10));
    if (*end) return false;
    e.device = std::strtoull(file.c_str(), &end, 10);
    if (*end != ' ') return false;
    e.inode = std::strtoull(end + 1, &end, 10);
    if (*end) return false;
    e.memory = memory == "1";
    return e.size > 0 && !e.backing.empty();
}

bool read_whole(int fd, std::string& out) {
    out.clear();
    char buffer[4096];
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

bool write_whole(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file name for a mapping's key (object_key). Long keys keep a prefix
// and a hash of the whole, to stay within the host's name length; the entry's
// key tells two such apart.
std::string file_name_of(const std::string& key) {
    if (key.size() <= 180) return key;
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
    char tail[24];
    std::snprintf(tail, sizeof tail, "~%016lx", static_cast<unsigned long>(hash));
    return key.substr(0, 150) + tail;
}

// Removes a stale entry and the memory file it names. Under the namespace lock.
void remove_entry(const std::string& entry_path, int entry_fd) {
    std::string text;
    Entry e;
    if (read_whole(entry_fd, text) && parse_entry(text, e) && e.memory) ::unlink(e.backing.c_str());
    ::unlink(entry_path.c_str());
}

bool same_file(int fd, const std::string& path) {
    struct stat a, b;
    return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

class MappingObject : public KernelObject {
public:
    MappingObject(int backing, uint64_t size, DWORD protect, DWORD access)
        : backing_(backing), size_(size), protect_(protect), access_(access) {}
    ~MappingObject() override {
        if (entry_.get() < 0) return;
        // The last holder removes the entry, so that the name is free at once
        // and a memory file does not outlast its mapping's handles.
        NamespaceLock lock(objects_, "mapping");
        if (lock.held() && retry_flock(entry_.get(), LOCK_EX | LOCK_NB) == 0 &&
            same_file(entry_.get(), entry_path_))
            remove_entry(entry_path_, entry_.get());
    }
    MappingObject(const MappingObject&) = delete;
    MappingObject& operator=(const MappingObject&) = delete;

    void hold_name(int entry_fd, std::string objects, std::string entry_path) {
        entry_.reset(entry_fd);
        objects_ = std::move(objects);
        entry_path_ = std::move(entry_path);
    }
    int backing() const { return backing_.get(); }
    uint64_t size() const { return size_; }
    DWORD protect() const { return protect_; }
    DWORD access() const { return access_; }

private:
    Descriptor backing_;
    uint64_t size_;
    DWORD protect_;
    DWORD access_;  // the handle's FILE_MAP_ rights
    Descriptor entry_;
    std::string objects_;
    std::string entry_path_;
};

bool wants_write(DWORD access) { return (access & FILE_MAP_WRITE) != 0; }

// Joins the living mapping of an entry. Under the namespace lock. Null with
// found false when there is none (a stale entry is removed); null with found
// true and the last error set when the entry's mapping cannot be opened.
std::shared_ptr<MappingObject> join_entry(const std::string& objects, const std::string& path,
                                          const std::string& key, DWORD access, bool& found) {
    found = false;
    Descriptor entry(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (entry.get() < 0) {
        if (errno != ENOENT) {
            found = true;
            set_last_error_from_errno(errno);
        }
        return nullptr;
    }
    if (retry_flock(entry.get(), LOCK_EX | LOCK_NB) == 0) {
        remove_entry(path, entry.get());
        return nullptr;
    }
    found = true;
    if (errno != EWOULDBLOCK || retry_flock(entry.get(), LOCK_SH | LOCK_NB) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    std::string text;
    Entry e;
    if (!read_whole(entry.get(), text) || !parse_entry(text, e)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (e.key != key) {  // a long name whose hashed file name is another's
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    bool writable = e.protect == PAGE_READWRITE && wants_write(access);
    Descriptor backing(::open(e.backing.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct stat st;
    if (backing.get() < 0 || ::fstat(backing.get(), &st) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    if (static_cast<uint64_t>(st.st_dev) != e.device ||
        static_cast<uint64_t>(st.st_ino) != e.inode) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // the backing file was replaced meanwhile
        return nullptr;
    }
    auto object = std::make_shared<MappingObject>(backing.release(), e.size, e.protect, access);
    object->hold_name(entry.release(), objects, path);
    return object;
}

// Publishes a new entry for a mapping: written to a temporary file, locked
// shared, then renamed into place. Under the namespace lock.
bool publish_entry(const std::string& objects, const std::string& path, const Entry& e,
                   MappingObject& object) {
    std::string temporary = objects + "/mapping.new.XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        set_last_error_from_errno(errno);
        return false;
    }
    if (::fchmod(fd.get(), 0644) != 0 || !write_whole(fd.get(), format_entry(e)) ||
        retry_flock(fd.get(), LOCK_SH) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        set_last_error_from_errno(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    object.hold_name(fd.release(), objects, path);
    return true;
}

// The registry of this process's views: base address -> length.
struct Views {
    std::mutex lock;
    std::map<uintptr_t, size_t> lengths;
};

Views& views() {
    static Views* instance = new Views;  // lives until the process ends
    return *instance;
}

size_t page_size() {
    static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace
}  // namespace tovel::platform

using tovel::platform::Descriptor;
using tovel::platform::Entry;
using tovel::platform::MappingObject;
using tovel::platform::NamespaceLock;
using tovel::platform::set_last_error_from_errno;

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES /*security*/, DWORD protect,
                          DWORD sizeHigh, DWORD sizeLow, LPCWSTR name) {
    using namespace tovel::platform;
    if (protect != PAGE_READONLY && protect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint64_t size = (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow;
    bool memory = file == INVALID_HANDLE_VALUE;
    std::shared_ptr<FileObject> source;
    if (memory) {
        if (size == 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    } else {
        source = lookup<FileObject>(file);
        if (!source) return nullptr;
        bool readable = source->readable() && !source->directory();
        if (!readable || (protect == PAGE_READWRITE && !source->writable())) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }

    bool named = name && *name;
    std::string objects = machine_root() + "/objects";
    std::string key, entry_path;
    std::unique_ptr<NamespaceLock> lock;
    if (named) {
        if (!named_object_place(name, objects, key)) return nullptr;
        entry_path = objects + "/mapping." + file_name_of(key);
        lock = std::make_unique<NamespaceLock>(objects, "mapping");
        if (!lock->held()) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        bool found = false;
        auto existing = join_entry(objects, entry_path, key, FILE_MAP_ALL_ACCESS, found);
        if (existing) {
            HANDLE handle = register_object(std::move(existing));
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
        if (found) return nullptr;
    }

    // The backing: a descriptor of our own on the file, or a new memory file.
    Entry e;
    Descriptor backing;
    if (memory) {
        std::string path =
            objects + "/mapping." + (named ? file_name_of(key) : "anonymous") + ".memory.XXXXXX";
        backing.reset(::mkostemp(path.data(), O_CLOEXEC));
        if (backing.get() < 0 || ::fchmod(backing.get(), 0644) != 0) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        if (named)
            e.backing = path;
        else
            ::unlink(path.c_str());  // nobody else opens it: it goes with its last descriptor
        e.memory = true;
    } else {
        backing.reset(::fcntl(source->fd(), F_DUPFD_CLOEXEC, 0));
        if (backing.get() < 0) {
            set_last_error_from_errno(errno);
            return nullptr;
        }
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", backing.get());
        char target[4096];
        ssize_t n = ::readlink(link, target, sizeof target);
        e.backing = n > 0 && target[0] == '/' ? std::string(target, static_cast<size_t>(n))
                                              : source->path();
    }
    struct stat st;
    if (::fstat(backing.get(), &st) != 0) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    uint64_t current = static_cast<uint64_t>(st.st_size);
    if (size == 0) {
        if (current == 0) {
            SetLastError(ERROR_FILE_INVALID);
            return nullptr;
        }
        size = current;
    }
    if (size > current && protect != PAGE_READWRITE) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // a read-only mapping cannot grow its file
        if (named && memory) ::unlink(e.backing.c_str());
        return nullptr;
    }
    if (protect == PAGE_READWRITE) {
        fault::Step step;
        if (size > current && fault::active() && !memory)
            step = fault::before_change(backing.get(), std::string());
        // The file's blocks are taken now, as Windows commits a mapping's
        // file at its creation: a full disk refuses the mapping (112) instead
        // of killing the process at its first write into a hole.
        if (int error = reserve_file(backing.get(), static_cast<off_t>(size))) {
            set_last_error_from_errno(error);
            if (named && memory) ::unlink(e.backing.c_str());
            return nullptr;
        }
    }

    auto object = std::make_shared<MappingObject>(backing.release(), size, protect,
                                                  static_cast<DWORD>(FILE_MAP_ALL_ACCESS));
    if (named) {
        e.key = key;
        e.size = size;
        e.protect = protect;
        e.device = static_cast<uint64_t>(st.st_dev);
        e.inode = static_cast<uint64_t>(st.st_ino);
        if (!publish_entry(objects, entry_path, e, *object)) {
            DWORD error = GetLastError();
            if (memory) ::unlink(e.backing.c_str());
            SetLastError(error);
            return nullptr;
        }
    }
    HANDLE handle = register_object(std::move(object));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

HANDLE OpenFileMappingW(DWORD access, BOOL /*inherit*/, LPCWSTR name) {
    using namespace tovel::platform;
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string objects, key;
    if (!named_object_place(name, objects, key)) return nullptr;
    std::string entry_path = objects + "/mapping." + file_name_of(key);
    NamespaceLock lock(objects, "mapping");
    if (!lock.held()) {
        set_last_error_from_errno(errno);
        return nullptr;
    }
    bool found = false;
    auto object = join_entry(objects, entry_path, key, access, found);
    if (!object) {
        if (!found) SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return register_object(std::move(object));
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes) {
    using namespace tovel::platform;
    auto object = lookup<MappingObject>(mapping);
    if (!object) return nullptr;
    bool write = (access & FILE_MAP_WRITE) != 0;
    if (!write && !(access & FILE_MAP_READ)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool allowed = write
                       ? (object->access() & FILE_MAP_WRITE) && object->protect() == PAGE_READWRITE
                       : (object->access() & (FILE_MAP_READ | FILE_MAP_WRITE)) != 0;
    if (!allowed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset % kGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= object->size() || bytes > object->size() - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    size_t length = bytes ? bytes : static_cast<size_t>(object->size() - offset);
    void* view = ::mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                        object->backing(), static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : win32_error_from_errno(errno));
        return nullptr;
    }
    if (fault::active() && write) fault::mapped(object->backing(), view, length);
    auto& v = views();
    std::lock_guard<std::mutex> guard(v.lock);
    v.lengths[reinterpret_cast<uintptr_t>(view)] = length;
    return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
    using namespace tovel::platform;
    auto& v = views();
    std::lock_guard<std::mutex> guard(v.lock);
    auto it = v.lengths.find(reinterpret_cast<uintptr_t>(view));
    if (it == v.lengths.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    ::munmap(reinterpret_cast<void*>(it->first), it->second);
    v.lengths.erase(it);
    if (fault::active()) fault::unmapped(view);
    return TRUE;
}

BOOL FlushViewOfFile(LPCVOID view, SIZE_T bytes) {
    using namespace tovel::platform;
    uintptr_t address = reinterpret_cast<uintptr_t>(view);
    auto& v = views();
    std::lock_guard<std::mutex> guard(v.lock);  // the view stays mapped while it is flushed
    auto it = v.lengths.upper_bound(address);
    if (it == v.lengths.begin() || (--it, address >= it->first + it->second)) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    uintptr_t end = it->first + it->second;
    if (bytes != 0 && bytes < end - address) end = address + bytes;
    uintptr_t start = address - address % page_size();
    fault::Step step;
    if (fault::active()) step = fault::before_view_flush(view);
    if (::msync(reinterpret_cast<void*>(start), end - start, MS_SYNC) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return FALSE;
    }
    if (step) fault::after_view_flush(view);
    return TRUE;
}
