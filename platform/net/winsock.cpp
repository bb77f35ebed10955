#include "platform/win/winsock.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// A write to a connection the peer has closed fails with an error on
// Windows; here it would raise SIGPIPE and end the process. The layer lets
// such writes fail with EPIPE instead, for every process that links it.
const bool g_no_sigpipe = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

// The start-ups not yet cleaned up.
std::atomic<int> g_startups{0};

}  // namespace

int WSAStartup(WORD version, LPWSADATA data) {
    const int major = LOBYTE(version), minor = HIBYTE(version);
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (!data) return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    const WORD highest = MAKEWORD(2, 2);
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? highest : version;
    data->wHighVersion = highest;
    std::strcpy(data->szDescription, "BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
    ++g_startups;
    return 0;
}

int WSACleanup() {
    int left = g_startups.load();
    while (left > 0 && !g_startups.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) return 0;
    SetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
}

int WSAGetLastError() {
    switch (errno) {
        case 0:
            return 0;
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
        case EPERM:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EWOULDBLOCK:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
            return WSAEINPROGRESS;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:  // a write after the other side closed or reset
            return WSAECONNRESET;
        case ENOBUFS:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETIME:
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ESTALE:
            return WSAESTALE;
        case ENOMEM:
            return static_cast<int>(ERROR_NOT_ENOUGH_MEMORY);
        default:
            return static_cast<int>(ERROR_GEN_FAILURE);
    }
}
