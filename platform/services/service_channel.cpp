#include "platform/services/service_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/kernel/machine.h"
#include "platform/win/errors.h"

namespace tovel::platform::service {
namespace {

constexpr DWORD kRequestMagic = 0x43535654;  // "TVSC"
constexpr size_t kRequestBytes = 8;
constexpr size_t kAnswerBytes = 32;
constexpr int kRequestWaitMs = 5000;

void put32(unsigned char* out, DWORD value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

DWORD get32(const unsigned char* in) {
    DWORD value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<DWORD>(in[i]) << (8 * i);
    return value;
}

bool send_all(int fd, const unsigned char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; with a deadline in milliseconds when waitMs >= 0.
bool receive_all(int fd, unsigned char* data, size_t size, int waitMs) {
    size_t done = 0;
    while (done < size) {
        if (waitMs >= 0) {
            pollfd p = {fd, POLLIN, 0};
            int ready = ::poll(&p, 1, waitMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
        }
        ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool socket_address(const std::string& path, bool abstract, const char* purpose,
                    sockaddr_un* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const size_t limit = sizeof address->sun_path - 1;
    bool isAbstract = abstract && !path.empty() && path[0] == '@';
    if (path.empty() || path.size() > limit || path.find('\0') != std::string::npos) {
        std::fprintf(stderr,
                     "The socket path for %s is %zu bytes long, over the limit of %zu bytes of a "
                     "socket address: %s\n",
                     purpose, path.size(), limit, path.c_str());
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::memcpy(address->sun_path, path.data(), path.size());
    if (isAbstract) address->sun_path[0] = '\0';
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                     (isAbstract ? 0 : 1));
    return true;
}

bool send_control(const std::string& path, DWORD code, ControlAnswer* answer) {
    sockaddr_un address;
    socklen_t length;
    if (!socket_address(path, false, "service control", &address, &length)) return false;
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        SetLastError(win32_error_from_errno(errno));
        return false;
    }
    int result;
    do {
        result = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        SetLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED
                                                       : ERROR_SERVICE_NOT_ACTIVE);
        return false;
    }
    unsigned char request[kRequestBytes];
    put32(request, kRequestMagic);
    put32(request + 4, code);
    unsigned char reply[kAnswerBytes];
    if (!send_all(fd.get(), request, sizeof request) ||
        !receive_all(fd.get(), reply, sizeof reply, -1)) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return false;
    }
    answer->error = get32(reply);
    DWORD* fields[] = {&answer->status.dwServiceType,
                       &answer->status.dwCurrentState,
                       &answer->status.dwControlsAccepted,
                       &answer->status.dwWin32ExitCode,
                       &answer->status.dwServiceSpecificExitCode,
                       &answer->status.dwCheckPoint,
                       &answer->status.dwWaitHint};
    for (size_t i = 0; i < 7; ++i) *fields[i] = get32(reply + 4 + 4 * i);
    return true;
}

void ControlRequest::answer(const ControlAnswer& answer) {
    unsigned char reply[kAnswerBytes];
    const SERVICE_STATUS& s = answer.status;
    DWORD values[] = {answer.error,         s.dwServiceType,   s.dwCurrentState,
                      s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                      s.dwCheckPoint,       s.dwWaitHint};
    for (size_t i = 0; i < 8; ++i) put32(reply + 4 * i, values[i]);
    send_all(connection_.get(), reply, sizeof reply);
}

ControlListener::~ControlListener() {
    if (socket_.get() < 0) return;
    // Only this process serves the service (it holds the process lock), so
    // the socket at the path is this one.
    struct stat named;
    if (::lstat(path_.c_str(), &named) == 0 && S_ISSOCK(named.st_mode)) ::unlink(path_.c_str());
}

bool ControlListener::open(const std::string& path) {
    sockaddr_un address;
    socklen_t length;
    if (!socket_address(path, false, "service control", &address, &length)) return false;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    // The temporary name is no longer than the final one's file part.
    std::random_device random;
    char name[16];
    std::snprintf(name, sizeof name, "/.c%06x", static_cast<unsigned>(random() & 0xFFFFFF));
    std::string temporary = folder + name;
    sockaddr_un temporaryAddress;
    socklen_t temporaryLength;
    if (temporary.size() > path.size() ||
        !socket_address(temporary, false, "service control", &temporaryAddress, &temporaryLength))
        return false;
    Descriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        SetLastError(win32_error_from_errno(errno));
        return false;
    }
    ::unlink(temporary.c_str());
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&temporaryAddress), temporaryLength) != 0) {
        SetLastError(win32_error_from_errno(errno));
        return false;
    }
    if (::chmod(temporary.c_str(), 0600) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        SetLastError(win32_error_from_errno(error));
        return false;
    }
    socket_ = std::move(fd);
    path_ = path;
    return true;
}

std::unique_ptr<ControlRequest> ControlListener::accept() {
    Descriptor connection(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.get() < 0) return nullptr;
    ucred peer = {};
    socklen_t size = sizeof peer;
    if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != ::geteuid() && peer.uid != 0))
        return nullptr;
    unsigned char request[kRequestBytes];
    if (!receive_all(connection.get(), request, sizeof request, kRequestWaitMs) ||
        get32(request) != kRequestMagic)
        return nullptr;
    return std::make_unique<ControlRequest>(std::move(connection), get32(request + 4));
}

}  // namespace tovel::platform::service
