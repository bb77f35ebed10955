// Registered window messages, one table for the whole machine: the file
// sessions/window-messages under the root, one line per name ("<id in hex>
// <name>", the name lower-cased, in UTF-8, with '%', CR and LF escaped as
// %XX), ids from 0xC000 up in the order of registration. Every lookup or
// addition runs under an exclusive flock of the file, so two processes that
// register at once agree. The file is open to every user of the machine
// (mode 0666), as registered messages are shared by all the desktop's
// programs. A process remembers what it has seen, per root.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "platform/kernel/descriptor.h"
#include "platform/kernel/host_names.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/user_session.h"
#include "platform/win/errors.h"
#include "platform/win/gui.h"

namespace tovel::platform {
namespace {

constexpr UINT kFirstId = 0xC000;
constexpr UINT kLastId = 0xFFFF;

struct Known {
    std::mutex lock;
    std::map<std::string, UINT> ids;  // "<root>\n<line name>" -> id
};

Known& known() {
    static auto* table = new Known;  // lives until the process ends
    return *table;
}

std::string escaped(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c == '%' || c == '\n' || c == '\r') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Reads the whole file from its start; false on a read error.
bool read_all(int fd, std::string& text) {
    text.clear();
    char buffer[4096];
    off_t at = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

// The id of the name in the machine's table, added when missing; 0 with the
// last error set on failure.
UINT lookup_or_add(const std::string& root, const std::string& name) {
    if (user_session_folder().empty()) return 0;  // makes sessions/
    std::string path = root + "/sessions/window-messages";
    Descriptor file(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        set_last_error_from_errno(errno, path);
        return 0;
    }
    struct stat st;
    if (::fstat(file.get(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0777) != 0666)
        ::fchmod(file.get(), 0666);
    if (retry_flock(file.get(), LOCK_EX) != 0) {
        set_last_error_from_errno(errno, path);
        return 0;
    }
    std::string text;
    if (!read_all(file.get(), text)) {
        set_last_error_from_errno(errno, path);
        return 0;
    }
    // Only whole lines count: a writer that died halfway left a tail that
    // the next addition overwrites.
    UINT last = kFirstId - 1;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        start = end + 1;
        size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        UINT id = static_cast<UINT>(std::strtoul(line.c_str(), nullptr, 16));
        if (id > last) last = id;
        if (line.compare(blank + 1, std::string::npos, name) == 0) return id;
    }
    if (last >= kLastId) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    UINT id = last + 1;
    char head[16];
    std::snprintf(head, sizeof head, "%04X ", id);
    std::string line = head + name + "\n";
    if (::pwrite(file.get(), line.data(), line.size(), static_cast<off_t>(start)) !=
            static_cast<ssize_t>(line.size()) ||
        ::ftruncate(file.get(), static_cast<off_t>(start + line.size())) != 0) {
        set_last_error_from_errno(errno ? errno : ENOSPC, path);
        return 0;
    }
    return id;
}

}  // namespace
}  // namespace tovel::platform

UINT RegisterWindowMessageW(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring lower(name);
    for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    std::string line_name =
        tovel::platform::escaped(tovel::platform::host_name_from_wide(lower.data(), lower.size()));
    std::string root = tovel::platform::machine_root();
    auto& table = tovel::platform::known();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.ids.find(root + "\n" + line_name);
    if (it != table.ids.end()) return it->second;
    UINT id = tovel::platform::lookup_or_add(root, line_name);
    if (id) table.ids[root + "\n" + line_name] = id;
    return id;
}

UINT RegisterWindowMessageA(LPCSTR name) {
    if (!name) return RegisterWindowMessageW(nullptr);
    std::wstring wide;
    for (const char* p = name; *p; ++p)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return RegisterWindowMessageW(wide.c_str());
}
