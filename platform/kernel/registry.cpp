// The registry as folders and files under the machine root's registry/.
//
// A key is a folder, spelt as its creator gave it, under
// registry/HKEY_LOCAL_MACHINE/ or registry/HKEY_CURRENT_USER/. A value is a
// file of its key's folder named "=" and the value's name with '%', '/' and
// '=' written as %XX (the default value is the file "="); the leading '='
// keeps values apart from sub-keys, whose names may not begin with one. The
// file holds the type, 4 bytes little-endian, and then the data bytes.
//
// A write makes a temporary file "==<pid>.<count>" in the key's folder, flushes
// it and renames it over the value's file, then flushes the folder. Writers of
// a key's values, and creators of sub-keys in a folder, hold an exclusive
// flock of that folder meanwhile, so that two spellings of one name never make
// two entries; readers take no lock.
//
// An opened key holds a descriptor of its folder, and looks names up relative
// to it: first as spelt, then, when that misses, by a scan of the folder that
// ignores ASCII case.
#include "platform/win/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/kernel_object.h"
#include "platform/kernel/machine.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

constexpr size_t kMaxFileName = 255;
constexpr size_t kTypeBytes = 4;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// An opened key: its folder and the access its opener asked for.
class KeyObject : public KernelObject {
public:
    KeyObject(Descriptor folder, REGSAM access) : folder_(std::move(folder)), access_(access) {}
    int folder() const { return folder_.get(); }
    bool allows(REGSAM right) const { return (access_ & right) != 0; }

private:
    Descriptor folder_;
    REGSAM access_;
};

LSTATUS status_from_errno(int error) {
    if (error == ENOENT || error == ENOTDIR) return ERROR_FILE_NOT_FOUND;
    return static_cast<LSTATUS>(win32_error_from_errno(error));
}

int open_folder(int at, const char* name) {
    int fd;
    do {
        fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

const char* predefined_name(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
    return nullptr;
}

// The object behind a key: the table's for an opened key, a fresh one with
// every access for a predefined key (whose folder is made when missing, under
// the root of the moment).
LSTATUS resolve(HKEY key, std::shared_ptr<KeyObject>& out) {
    if (const char* name = predefined_name(key)) {
        std::string folder = machine_root() + "/registry/" + name;
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return status_from_errno(errno);
        Descriptor fd(open_folder(AT_FDCWD, folder.c_str()));
        if (fd.get() < 0) return status_from_errno(errno);
        out = std::make_shared<KeyObject>(std::move(fd), KEY_ALL_ACCESS);
        return ERROR_SUCCESS;
    }
    out = lookup<KeyObject>(key);
    return out ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

bool valid_key_name(std::string_view name) {
    return !name.empty() && name.size() <= kMaxFileName && name != "." && name != ".." &&
           name[0] != '=' && name.find('/') == std::string_view::npos;
}

// The names of a sub-key path ("" gives none); false when one is not valid.
bool split_path(const char* path, std::vector<std::string>& names) {
    std::string_view rest(path);
    if (rest.empty()) return true;
    for (;;) {
        size_t end = rest.find('\\');
        std::string_view name = rest.substr(0, end);
        if (!valid_key_name(name)) return false;
        names.emplace_back(name);
        if (end == std::string_view::npos) return true;
        rest.remove_prefix(end + 1);
    }
}

// The file name of a value; false when it would be too long for the host.
bool value_file_name(const char* name, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    out = "=";
    for (const char* p = name ? name : ""; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '%' || c == '/' || c == '=') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out.size() <= kMaxFileName;
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

// Scans folder for the entry called name without regard to ASCII case (the
// first in byte order when there are several): 0 with its spelling, ENOENT
// when there is none, or the errno of the scan. A value's name and a key's
// never match each other, so the kind of entry need not be looked at.
int find_spelling(int folder, const std::string& name, std::string& spelt) {
    Descriptor fd(open_folder(folder, "."));  // an offset of its own for the listing
    if (fd.get() < 0) return errno;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.get()));
    if (!dir) return errno;
    fd.release();  // the listing owns it now
    spelt.clear();
    errno = 0;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string_view candidate(entry->d_name);
        if (same_name(candidate, name) && (spelt.empty() || candidate < spelt)) spelt = candidate;
    }
    if (errno != 0) return errno;
    return spelt.empty() ? ENOENT : 0;
}

// Opens the entry called name in any case: a descriptor, or -1 with errno.
int open_entry(int folder, const std::string& name, int flags) {
    int fd;
    do {
        fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) return fd;
    std::string spelt;
    if (int error = find_spelling(folder, name, spelt)) {
        errno = error;
        return -1;
    }
    return ::openat(folder, spelt.c_str(), flags | O_CLOEXEC);
}

// Takes an exclusive flock of folder through a description of its own, so
// that it excludes the other threads of this process too.
LSTATUS lock_folder(int folder, Descriptor& lock) {
    lock.reset(open_folder(folder, "."));
    if (lock.get() < 0) return status_from_errno(errno);
    int result;
    do {
        result = ::flock(lock.get(), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? ERROR_SUCCESS : status_from_errno(errno);
}

// Opens the sub-key name of folder, making it when it is missing.
LSTATUS open_or_make(int folder, const std::string& name, Descriptor& out, bool& created) {
    created = false;
    out.reset(open_folder(folder, name.c_str()));
    if (out.get() >= 0) return ERROR_SUCCESS;
    if (errno != ENOENT) return status_from_errno(errno);

    Descriptor lock;
    if (LSTATUS status = lock_folder(folder, lock)) return status;
    std::string spelt;
    int error = find_spelling(folder, name, spelt);
    if (error == ENOENT) {
        // The lock keeps this process's creators and other processes' apart;
        // EEXIST still decides should a creator outside the layer come first.
        spelt = name;
        if (::mkdirat(folder, name.c_str(), 0700) == 0)
            created = true;
        else if (errno != EEXIST)
            return status_from_errno(errno);
    } else if (error != 0) {
        return status_from_errno(error);
    }
    out.reset(open_folder(folder, spelt.c_str()));
    if (out.get() < 0) return status_from_errno(errno);
    if (created) ::fsync(folder);  // the new entry outlives a crash
    return ERROR_SUCCESS;
}

// Opens (or with create, makes) the key subKey under key. created tells
// whether the last key of the path was made by this call.
LSTATUS open_key(HKEY key, const char* subKey, REGSAM desired, bool create, PHKEY result,
                 bool& created) {
    created = false;
    std::vector<std::string> names;
    if (!split_path(subKey ? subKey : "", names)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> base;
    if (LSTATUS status = resolve(key, base)) return status;

    Descriptor current(open_folder(base->folder(), "."));
    if (current.get() < 0) return status_from_errno(errno);
    for (const auto& name : names) {
        Descriptor next;
        if (create) {
            if (LSTATUS status = open_or_make(current.get(), name, next, created)) return status;
        } else {
            next.reset(open_entry(current.get(), name, O_RDONLY | O_DIRECTORY));
            if (next.get() < 0) return status_from_errno(errno);
        }
        current = std::move(next);
    }
    *result = static_cast<HKEY>(
        register_object(std::make_shared<KeyObject>(std::move(current), desired)));
    return ERROR_SUCCESS;
}

bool read_exactly(int fd, void* buffer, size_t size, off_t offset) {
    auto out = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::pread(fd, out, size, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n, size -= static_cast<size_t>(n), offset += n;
    }
    return true;
}

bool write_all(int fd, const void* buffer, size_t size) {
    auto in = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t n = ::write(fd, in, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        in += n, size -= static_cast<size_t>(n);
    }
    return true;
}

// Replaces the value file (in whatever case it is spelt) of folder whole.
LSTATUS write_value(int folder, const std::string& file, DWORD type, const BYTE* data, DWORD size) {
    static std::atomic<unsigned> count{0};
    Descriptor lock;
    if (LSTATUS status = lock_folder(folder, lock)) return status;
    std::string target = file;
    struct stat st;
    if (::fstatat(folder, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return status_from_errno(errno);
        std::string spelt;
        int error = find_spelling(folder, file, spelt);
        if (error == 0)
            target = spelt;
        else if (error != ENOENT)
            return status_from_errno(error);
    }

    std::string temporary = "==" + std::to_string(::getpid()) + "." + std::to_string(count++);
    Descriptor out(::openat(folder, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) return status_from_errno(errno);
    BYTE header[kTypeBytes] = {static_cast<BYTE>(type), static_cast<BYTE>(type >> 8),
                               static_cast<BYTE>(type >> 16), static_cast<BYTE>(type >> 24)};
    LSTATUS status = ERROR_SUCCESS;
    if (!write_all(out.get(), header, sizeof header) || !write_all(out.get(), data, size) ||
        ::fsync(out.get()) != 0 ||
        ::renameat(folder, temporary.c_str(), folder, target.c_str()) != 0)
        status = status_from_errno(errno);
    if (status != ERROR_SUCCESS) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return status;
    }
    ::fsync(folder);  // the rename outlives a crash
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tovel::platform

using tovel::platform::KeyObject;
using tovel::platform::resolve;

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR /*klass*/, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES /*security*/, PHKEY result,
                        LPDWORD disposition) {
    if (result) *result = nullptr;
    if (!subKey || !result || reserved != 0 || options != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    bool created = false;
    LSTATUS status = tovel::platform::open_key(key, subKey, desired, true, result, created);
    if (status == ERROR_SUCCESS && disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    if (result) *result = nullptr;
    if (!result || options != 0) return ERROR_INVALID_PARAMETER;
    bool created = false;
    return tovel::platform::open_key(key, subKey, desired, false, result, created);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    using tovel::platform::kTypeBytes;
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<KeyObject> object;
    if (LSTATUS status = resolve(key, object)) return status;
    if (!object->allows(KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::string file;
    if (!tovel::platform::value_file_name(valueName, file)) return ERROR_FILE_NOT_FOUND;

    tovel::platform::Descriptor in(
        tovel::platform::open_entry(object->folder(), file, O_RDONLY | O_NOFOLLOW));
    struct stat st;
    if (in.get() < 0 || ::fstat(in.get(), &st) != 0)
        return tovel::platform::status_from_errno(errno);
    BYTE header[kTypeBytes];
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kTypeBytes) ||
        static_cast<uint64_t>(st.st_size) - kTypeBytes > UINT32_MAX ||
        !tovel::platform::read_exactly(in.get(), header, sizeof header, 0))
        return ERROR_INVALID_DATA;
    auto needed = static_cast<DWORD>(st.st_size - kTypeBytes);
    if (type)
        *type = header[0] | header[1] << 8 | header[2] << 16 | static_cast<DWORD>(header[3]) << 24;
    if (!size) return ERROR_SUCCESS;
    if (!data) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (!tovel::platform::read_exactly(in.get(), data, needed, kTypeBytes))
        return ERROR_INVALID_DATA;
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
    if (reserved != 0) return ERROR_INVALID_PARAMETER;
    if (!data && size != 0) return ERROR_NOACCESS;
    std::shared_ptr<KeyObject> object;
    if (LSTATUS status = resolve(key, object)) return status;
    if (!object->allows(KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::string file;
    if (!tovel::platform::value_file_name(valueName, file)) return ERROR_INVALID_PARAMETER;
    return tovel::platform::write_value(object->folder(), file, type, data, size);
}

LSTATUS RegCloseKey(HKEY key) {
    if (tovel::platform::predefined_name(key)) return ERROR_SUCCESS;
    if (!tovel::platform::lookup<KeyObject>(key)) return ERROR_INVALID_HANDLE;
    return tovel::platform::close_object(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
