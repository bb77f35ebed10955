#include "platform/win/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/fault/fault_mode.h"
#include "platform/files/file_object.h"
#include "platform/files/file_owner.h"
#include "platform/kernel/file_times.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/security_descriptor.h"
#include "platform/win/errors.h"

namespace tovel::platform {

bool owned_privately(const wchar_t* path) {
    std::string host;
    struct stat st;
    if (!path || !host_path(path, host) || ::lstat(host.c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode) || st.st_uid != ::geteuid()) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool names_program(const std::string& host) {
    if (host.size() < 4) return false;
    std::string tail = host.substr(host.size() - 4);
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return tail == ".exe";
}

FileObject::~FileObject() {
    if (delete_on_close_) ::unlink(path_.c_str());
    ::close(fd_);
}

DWORD attributes_from_stat(const struct stat& st, const char* host_path) {
    if (S_ISLNK(st.st_mode)) {
        DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        struct stat target;
        if (host_path && ::stat(host_path, &target) == 0 && S_ISDIR(target.st_mode))
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        return attributes;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (!S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_DEVICE;
    if (!(st.st_mode & S_IWUSR)) return FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    return FILE_ATTRIBUTE_ARCHIVE;
}

namespace {

// The status of a path's last part itself; a drive's folder is always taken
// as the folder it names, even where the drive is a link on the host.
int entry_status(const std::string& host, struct stat& st) {
    return is_drive_root(host) ? ::stat(host.c_str(), &st) : ::lstat(host.c_str(), &st);
}

// A volume's root is neither removed nor renamed (5, as Windows refuses it).
bool refuse_drive_root(const std::string& host) {
    if (!is_drive_root(host)) return false;
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
}

// The host time of a FILETIME for futimens: UTIME_OMIT for the values that
// leave a time as it is; false for a value Windows refuses.
bool timespec_from_filetime(const FILETIME* time, struct timespec& out) {
    out = {0, UTIME_OMIT};
    if (!time) return true;
    uint64_t ticks = u64_from_filetime(*time);
    if (ticks == 0 || ticks == ~0ull || ticks == ~0ull - 1) return true;
    if (ticks >= 0x8000000000000000ull) return false;
    int64_t since_epoch = static_cast<int64_t>(ticks) - static_cast<int64_t>(kUnixEpochInFileTime);
    int64_t seconds = since_epoch / 10000000;
    int64_t rest = since_epoch % 10000000;
    if (rest < 0) rest += 10000000, seconds -= 1;  // before 1970: round down
    out.tv_sec = static_cast<time_t>(seconds);
    out.tv_nsec = static_cast<long>(rest * 100);
    return true;
}

// The drive letter of a volume's device path ("\\.\C:", either separator,
// any case); 0 for any other path.
char volume_letter(const wchar_t* path) {
    if (!path) return 0;
    auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (!separator(path[0]) || !separator(path[1]) || path[2] != L'.' || !separator(path[3]))
        return 0;
    wchar_t letter = path[4] | 0x20;
    if (letter < L'a' || letter > L'z' || path[5] != L':' || path[6] != 0) return 0;
    return static_cast<char>(letter);
}

// A handle of the volume of a drive: its folder, opened for the flush of the
// whole file system below it.
HANDLE open_volume(char letter, DWORD access, DWORD disposition) {
    if (disposition != OPEN_EXISTING) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::string folder = machine_root() + "/drives/" + letter;
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool writable = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
    SetLastError(ERROR_SUCCESS);
    return register_object(
        std::make_shared<FileObject>(fd, false, writable, true, folder, false, true));
}

int open_retrying(const std::string& host, int oflags, mode_t mode) {
    int fd;
    do {
        fd = ::open(host.c_str(), oflags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The opens that look at nothing first (see CreateFileW): true when handle
// (or the last error) is the answer, false when the general way must take
// the call.
bool open_at_once(const std::string& host, int oflags, mode_t mode, bool own_mode,
                  DWORD disposition, DWORD flags, bool readable, bool writable, bool truncates,
                  bool no_follow, HANDLE& handle) {
    bool delete_on_close = flags & FILE_FLAG_DELETE_ON_CLOSE;
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        // A new file where no name is (O_EXCL never follows a link); a name
        // that is there takes the general way, which tells what it is.
        int fd = open_retrying(host, (oflags & ~O_TRUNC) | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST) return false;
        if (fd < 0) {
            set_last_error_from_errno(errno, host);
            return true;
        }
        // The descriptor's access, or the one the folder gives, not the
        // process's default mask.
        mode_t inherited = 0;
        if (own_mode)
            ::fchmod(fd, mode);
        else if (inherited_mode(host, false, inherited))
            ::fchmod(fd, inherited);
        if (names_program(host)) {
            struct stat made;
            if (::fstat(fd, &made) == 0) ::fchmod(fd, (made.st_mode & 07777) | S_IXUSR);
        }
        handle = register_object(
            std::make_shared<FileObject>(fd, readable, writable, false, host, delete_on_close));
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    if (disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING) return false;
    // What is there is looked at through the descriptor. A special file (a
    // FIFO above all) opens without waiting for its peer and keeps
    // O_NONBLOCK, so that no caller hangs on one where Windows has only
    // files; on a file or a folder the flag changes nothing. A folder opens
    // only for its attributes (a write or truncation of one fails with
    // EISDIR, which is 5).
    if (!readable && !writable) oflags = (oflags & ~O_ACCMODE) | O_RDONLY;
    if (truncates) oflags |= O_TRUNC;
    if (no_follow && !is_drive_root(host)) oflags |= O_NOFOLLOW;
    int fd = open_retrying(host, oflags | O_NONBLOCK, mode);
    struct stat opened;
    if (fd >= 0 && ::fstat(fd, &opened) != 0) {
        int error = errno;
        ::close(fd);
        fd = -1;
        errno = error;
    }
    if (fd < 0) {
        set_last_error_from_errno(errno, host);
        return true;
    }
    bool directory = S_ISDIR(opened.st_mode);
    if (directory && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return true;
    }
    handle = register_object(
        std::make_shared<FileObject>(fd, readable, writable, directory, host, delete_on_close));
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace
}  // namespace tovel::platform

using tovel::platform::entry_status;
using tovel::platform::FileObject;
using tovel::platform::host_path;
using tovel::platform::is_drive_root;
using tovel::platform::lookup;
using tovel::platform::refuse_drive_root;
using tovel::platform::set_last_error_from_errno;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE /*templateFile*/) {
    if (char letter = tovel::platform::volume_letter(path))
        return tovel::platform::open_volume(letter, access, disposition);
    std::string host;
    if (!host_path(path, host)) return INVALID_HANDLE_VALUE;
    mode_t mode = 0666;
    bool own_mode = false;
    if (security && security->lpSecurityDescriptor &&
        !tovel::platform::file_mode_of_descriptor(security->lpSecurityDescriptor, mode, own_mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // With FILE_FLAG_OPEN_REPARSE_POINT the link itself is never opened as
    // a file here: a link at the path is refused.
    bool no_follow = flags & FILE_FLAG_OPEN_REPARSE_POINT;
    bool readable = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    bool writable = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    int oflags = O_CLOEXEC | (readable && writable ? O_RDWR : writable ? O_WRONLY : O_RDONLY);
    if (access & FILE_APPEND_DATA && !(access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)))
        oflags |= O_APPEND;
    bool truncates = false;
    switch (disposition) {
        case CREATE_NEW:
            oflags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            oflags |= O_CREAT, truncates = writable;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            oflags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            if (!writable) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            truncates = true;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }

    namespace fault = tovel::platform::fault;
    // Without the fault mode, whose model must know what was there, the
    // common opens look at nothing first.
    if (!fault::active()) {
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (tovel::platform::open_at_once(host, oflags, mode, own_mode, disposition, flags,
                                          readable, writable, truncates, no_follow, handle))
            return handle;
    }
    // A new file is made only where no name is (O_EXCL, which never follows
    // a link either): nothing is looked at first, but by the fault mode.
    bool fresh = disposition == CREATE_NEW && !fault::active();
    struct stat before;
    bool existed =
        !fresh && (no_follow ? entry_status(host, before) : ::stat(host.c_str(), &before)) == 0;
    if (existed && S_ISDIR(before.st_mode)) {
        // A folder opens only for its attributes, and never as a file.
        if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || writable || disposition == CREATE_NEW ||
            truncates) {
            SetLastError(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        oflags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    } else if (!readable && !writable) {
        oflags = (oflags & ~O_ACCMODE) | O_RDONLY;  // attribute-only access
    } else if (truncates) {
        oflags |= O_TRUNC;
    }

    if (no_follow && !(existed && S_ISDIR(before.st_mode) && is_drive_root(host)))
        oflags |= O_NOFOLLOW;
    // Opening a special file (a FIFO above all) never waits for its peer,
    // and its reads and writes never wait either, so that no caller hangs on
    // one where Windows has only files; files and folders work as usual.
    if (!fresh) oflags |= O_NONBLOCK;
    fault::Step step;
    bool creates = !existed && (oflags & O_CREAT);
    if (fault::active() && (creates || (oflags & O_TRUNC)))
        step = fault::before_create(host, existed, (oflags & O_TRUNC) != 0);
    int fd;
    do {
        fd = ::open(host.c_str(), oflags, mode);
    } while (fd < 0 && errno == EINTR);
    if (step && fd >= 0 && creates) fault::after_create(fd, host);
    if (fd < 0) {
        if (errno == EEXIST)
            SetLastError(ERROR_FILE_EXISTS);
        else
            set_last_error_from_errno(errno, host);
        return INVALID_HANDLE_VALUE;
    }
    struct stat opened;
    if (!fresh && ::fstat(fd, &opened) == 0 && (S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode)))
        ::fcntl(fd, F_SETFL, oflags & ~O_NONBLOCK);
    // The descriptor's access, or the one the folder gives, not the
    // process's default mask.
    mode_t inherited = 0;
    if (own_mode && !existed)
        ::fchmod(fd, mode);
    else if (creates && tovel::platform::inherited_mode(host, false, inherited))
        ::fchmod(fd, inherited);
    // A program the system makes (an installer it downloads) can be started
    // by its owner, as a program file on Windows can.
    if (creates && tovel::platform::names_program(host)) {
        struct stat made;
        if (::fstat(fd, &made) == 0) ::fchmod(fd, (made.st_mode & 07777) | S_IXUSR);
    }
    bool directory = existed && S_ISDIR(before.st_mode);
    HANDLE handle = tovel::platform::register_object(std::make_shared<FileObject>(
        fd, readable, writable, directory, host, flags & FILE_FLAG_DELETE_ON_CLOSE));
    bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reports_existing && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    if (overlapped || (!buffer && toRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->readable() || object->directory()) {
        SetLastError(object->directory() ? ERROR_INVALID_FUNCTION : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ssize_t n;
    do {
        n = ::read(object->fd(), buffer, toRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        set_last_error_from_errno(errno);
        return FALSE;
    }
    if (read) *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    if (overlapped || (!buffer && toWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!object->writable()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active())
        step = tovel::platform::fault::before_change(object->fd(), object->path());
    auto data = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < toWrite) {
        ssize_t n = ::write(object->fd(), data + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            set_last_error_from_errno(errno);
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    if (!object->writable()) {  // Windows asks for write access to flush
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    namespace fault = tovel::platform::fault;
    fault::Step step;
    if (object->volume()) {
        // Everything written on the volume, data and names, reaches its disk.
        if (fault::active()) step = fault::before_flush(object->fd());
        if (::syncfs(object->fd()) != 0) {
            set_last_error_from_errno(errno);
            return FALSE;
        }
        if (step) fault::after_volume_flush(object->path());
        return TRUE;
    }
    if (fault::active()) step = fault::before_flush(object->fd());
    if (::fsync(object->fd()) != 0 && errno != EINVAL && errno != EROFS) {
        set_last_error_from_errno(errno);
        return FALSE;
    }
    if (step) fault::after_flush(object->fd());
    return TRUE;
}

namespace {

// The status of an open file handle's file; false with the last error (6
// for a handle of another kind, 87 without out).
bool handle_stat(HANDLE file, const void* out, struct stat& st) {
    auto object = lookup<FileObject>(file);
    if (!object) return false;
    if (!out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (::fstat(object->fd(), &st) != 0) {
        set_last_error_from_errno(errno);
        return false;
    }
    return true;
}

}  // namespace

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size) {
    struct stat st;
    if (!handle_stat(file, size, st)) return FALSE;
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    struct stat st;
    if (!handle_stat(file, information, st)) return FALSE;
    information->dwFileAttributes = tovel::platform::attributes_from_stat(st, nullptr);
    information->ftCreationTime = tovel::platform::filetime_from_timespec(st.st_ctim);
    information->ftLastAccessTime = tovel::platform::filetime_from_timespec(st.st_atim);
    information->ftLastWriteTime = tovel::platform::filetime_from_timespec(st.st_mtim);
    information->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
    information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    uint64_t index = static_cast<uint64_t>(st.st_ino);
    information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    information->nFileIndexLow = static_cast<DWORD>(index);
    return TRUE;
}

DWORD GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags) {
    if (flags != 0 || (!path && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto object = lookup<FileObject>(file);
    if (!object) return 0;
    // The descriptor's own name follows the file through renames and links.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", object->fd());
    std::string host(4096, '\0');
    ssize_t length = ::readlink(link, host.data(), host.size());
    if (length <= 0 || static_cast<size_t>(length) >= host.size()) {
        set_last_error_from_errno(length < 0 ? errno : ENAMETOOLONG);
        return 0;
    }
    host.resize(static_cast<size_t>(length));
    std::wstring final = L"\\\\?\\" + tovel::platform::windows_path(host);
    if (final.size() + 1 > size) return static_cast<DWORD>(final.size() + 1);
    final.copy(path, final.size());
    path[final.size()] = L'\0';
    return static_cast<DWORD>(final.size());
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod) {
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    int whence = moveMethod == FILE_BEGIN     ? SEEK_SET
                 : moveMethod == FILE_CURRENT ? SEEK_CUR
                 : moveMethod == FILE_END     ? SEEK_END
                                              : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    off_t position = ::lseek(object->fd(), distance.QuadPart, whence);
    if (position < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK
                                     : tovel::platform::win32_error_from_errno(errno));
        return FALSE;
    }
    if (newPosition) newPosition->QuadPart = position;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    if (!object->writable()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active())
        step = tovel::platform::fault::before_change(object->fd(), object->path());
    off_t position = ::lseek(object->fd(), 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(object->fd(), position) != 0) {
        set_last_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) { return tovel::platform::close_object(object) ? TRUE : FALSE; }

DWORD GetFileAttributesW(LPCWSTR path) {
    std::string host;
    if (!host_path(path, host)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (entry_status(host, st) != 0) {
        set_last_error_from_errno(errno, host);
        return INVALID_FILE_ATTRIBUTES;
    }
    return tovel::platform::attributes_from_stat(st, host.c_str());
}

BOOL GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID out) {
    if (level != GetFileExInfoStandard || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string host;
    if (!host_path(path, host)) return FALSE;
    struct stat st;
    if (entry_status(host, st) != 0) {
        set_last_error_from_errno(errno, host);
        return FALSE;
    }
    auto data = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(out);
    data->dwFileAttributes = tovel::platform::attributes_from_stat(st, host.c_str());
    data->ftCreationTime = tovel::platform::filetime_from_timespec(st.st_ctim);
    data->ftLastAccessTime = tovel::platform::filetime_from_timespec(st.st_atim);
    data->ftLastWriteTime = tovel::platform::filetime_from_timespec(st.st_mtim);
    uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    std::string host;
    if (!host_path(path, host)) return FALSE;
    mode_t mode = 0777;
    bool own_mode = false;
    if (security && security->lpSecurityDescriptor &&
        !tovel::platform::file_mode_of_descriptor(security->lpSecurityDescriptor, mode, own_mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_other();
    if (::mkdir(host.c_str(), 0777) != 0) {
        if (errno == EEXIST)
            SetLastError(ERROR_ALREADY_EXISTS);
        else
            set_last_error_from_errno(errno, host);
        return FALSE;
    }
    // A folder that its users may read may also be entered.
    mode_t inherited = 0;
    if (own_mode)
        ::chmod(host.c_str(), mode | ((mode & 0444) >> 2));
    else if (tovel::platform::inherited_mode(host, true, inherited))
        ::chmod(host.c_str(), inherited);
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    std::string host;
    if (!host_path(path, host) || refuse_drive_root(host)) return FALSE;
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_other();
    struct stat st;
    if (::lstat(host.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link to a folder is removed as the reparse point it stands for.
        if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_DIRECTORY);
            return FALSE;
        }
        if (::unlink(host.c_str()) != 0) {
            set_last_error_from_errno(errno, host);
            return FALSE;
        }
        return TRUE;
    }
    if (::rmdir(host.c_str()) != 0) {
        if (errno == ENOTDIR)
            SetLastError(ERROR_DIRECTORY);
        else
            set_last_error_from_errno(errno, host);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    std::string host;
    if (!host_path(path, host) || refuse_drive_root(host)) return FALSE;
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_delete(host);
    // A folder is never removed here: the host refuses to unlink one
    // (EISDIR), so nothing needs to be looked at first.
    if (::unlink(host.c_str()) != 0) {
        int error = errno;
        if (error == EISDIR || error == EPERM) {
            struct stat st;
            if (::lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        }
        set_last_error_from_errno(error, host);
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
    std::string source, target;
    if (!host_path(from, source) || !host_path(to, target)) return FALSE;
    // The drive is the one the path names: a host rename between two drive folders that share
    // a file system would otherwise move across volumes.
    std::wstring fromDrive = tovel::platform::windows_path(source).substr(0, 2);
    std::wstring toDrive = tovel::platform::windows_path(target).substr(0, 2);
    if (fromDrive != toDrive) {
        SetLastError(ERROR_NOT_SAME_DEVICE);
        return FALSE;
    }
    return MoveFileExW(from, to, 0);
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    std::string source, target;
    if (!host_path(from, source) || !host_path(to, target)) return FALSE;
    if (refuse_drive_root(source) || refuse_drive_root(target)) return FALSE;
    namespace fault = tovel::platform::fault;
    fault::Step step;
    if (fault::active()) step = fault::before_rename(source, target);
    // Every way out tells the model whether the rename took place.
    struct Outcome {
        fault::Step& step;
        const std::string &from, &to;
        bool done = false, through = false;
        ~Outcome() {
            if (step) fault::after_rename(from, to, done, through);
        }
    } outcome{step, source, target};
    // The rename reaches the disk before the call returns: the target's
    // folder is flushed.
    auto write_through = [&target, flags] {
        if (!(flags & MOVEFILE_WRITE_THROUGH)) return;
        auto slash = target.rfind('/');
        int dir = ::open(slash == 0 ? "/" : target.substr(0, slash).c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    };
    // Where no name is in the target's place, the rename is the same
    // whatever the source is: it is made without looking at anything first.
    // Any failure (a target there, a source missing, a file system without
    // the call) takes the general way, which tells why.
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        outcome.done = true;
        outcome.through = (flags & MOVEFILE_WRITE_THROUGH) != 0;
        write_through();
        return TRUE;
    }
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) {
        set_last_error_from_errno(errno, source);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
        // Fails instead of replacing, without a window between test and rename.
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) !=
            0) {
            if (errno == EEXIST)
                SetLastError(ERROR_ALREADY_EXISTS);
            else
                set_last_error_from_errno(errno, target);
            return FALSE;
        }
        outcome.done = true;
        outcome.through = (flags & MOVEFILE_WRITE_THROUGH) != 0;
        write_through();
        return TRUE;
    }
    // A folder in the target's place is never replaced.
    if (!S_ISDIR(st.st_mode)) {
        if (::rename(source.c_str(), target.c_str()) != 0) {
            if (errno == EISDIR)
                SetLastError(ERROR_ACCESS_DENIED);
            else
                set_last_error_from_errno(errno, target);
            return FALSE;
        }
    } else {
        struct stat existing;
        if (::lstat(target.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (::rename(source.c_str(), target.c_str()) != 0) {
            set_last_error_from_errno(errno, target);
            return FALSE;
        }
    }
    outcome.done = true;
    outcome.through = (flags & MOVEFILE_WRITE_THROUGH) != 0;
    write_through();
    return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    std::string host;
    if (!host_path(path, host)) return FALSE;
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_other();
    struct stat st;
    if (entry_status(host, st) != 0) {
        set_last_error_from_errno(errno, host);
        return FALSE;
    }
    if (!S_ISREG(st.st_mode)) return TRUE;
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
    if (mode != (st.st_mode & 07777) && ::chmod(host.c_str(), mode) != 0) {
        set_last_error_from_errno(errno, host);
        return FALSE;
    }
    return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* /*creationTime*/, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
    auto object = lookup<FileObject>(file);
    if (!object) return FALSE;
    struct timespec times[2];
    if (!tovel::platform::timespec_from_filetime(lastAccessTime, times[0]) ||
        !tovel::platform::timespec_from_filetime(lastWriteTime, times[1])) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT) return TRUE;
    tovel::platform::fault::Step step;
    if (tovel::platform::fault::active()) step = tovel::platform::fault::before_other();
    if (::futimens(object->fd(), times) != 0) {
        set_last_error_from_errno(errno, object->path());
        return FALSE;
    }
    return TRUE;
}

BOOL GetVolumePathNameW(LPCWSTR path, LPWSTR volumePath, DWORD length) {
    if (!path || !*path || !volumePath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string host;
    if (!host_path(path, host)) {
        if (GetLastError() != ERROR_INVALID_PARAMETER) SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::wstring windows = tovel::platform::windows_path(host);  // "X:" + "\..."
    if (windows.size() < 2 || windows[1] != L':') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (length < 4) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    volumePath[0] = static_cast<wchar_t>(windows[0] & ~0x20);
    volumePath[1] = L':';
    volumePath[2] = L'\\';
    volumePath[3] = 0;
    return TRUE;
}
