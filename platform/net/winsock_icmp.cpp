// Raw and datagram sockets of the layer's Winsock, and the ICMP datagram socket that stands in
// for a raw one when the process may not open raw sockets.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/win/sockets.h"

namespace {

// What the layer remembers of an ICMP datagram socket: the identifier bytes sent with each
// sequence number's bytes, so that the reply can be given back with them.
struct Emulated {
    std::map<uint16_t, uint16_t> identifiers;  // raw sequence bytes -> raw identifier bytes
};

std::mutex g_lock;
std::map<int, Emulated> g_emulated;

constexpr size_t kRemembered = 1024;

uint16_t raw16(const char* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// The Internet checksum of length bytes, as it is stored (network order).
uint16_t checksum(const unsigned char* p, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += (p[i] << 8) | p[i + 1];
    if (length & 1) sum += p[length - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace

SOCKET WSASocketW(int af, int type, int protocol, void*, unsigned, DWORD) {
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd >= 0) return static_cast<SOCKET>(fd);
    if (!(af == AF_INET && type == SOCK_RAW && protocol == IPPROTO_ICMP) ||
        (errno != EPERM && errno != EACCES))
        return INVALID_SOCKET;
    int saved = errno;
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        errno = saved;
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    g_emulated[fd] = Emulated{};
    return static_cast<SOCKET>(fd);
}

int sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength) {
    int fd = static_cast<int>(s);
    if (length < 0) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    {
        std::lock_guard<std::mutex> hold(g_lock);
        auto it = g_emulated.find(fd);
        if (it != g_emulated.end() && length >= 8) {
            auto& known = it->second.identifiers;
            if (known.size() >= kRemembered) known.erase(known.begin());
            known[raw16(buffer + 6)] = raw16(buffer + 4);
        }
    }
    ssize_t sent = ::sendto(fd, static_cast<const void*>(buffer), static_cast<size_t>(length),
                            flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(toLength));
    return sent < 0 ? SOCKET_ERROR : static_cast<int>(sent);
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength) {
    int fd = static_cast<int>(s);
    bool emulated;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        emulated = g_emulated.count(fd) > 0;
    }
    if (length < 0 || (from && !fromLength)) {
        errno = EINVAL;
        return SOCKET_ERROR;
    }
    sockaddr_storage source{};
    socklen_t sourceLength = sizeof source;
    if (!emulated) {
        ssize_t got = ::recvfrom(fd, static_cast<void*>(buffer), static_cast<size_t>(length), flags,
                                 reinterpret_cast<sockaddr*>(&source), &sourceLength);
        if (got < 0) return SOCKET_ERROR;
        if (from) {
            socklen_t n = std::min<socklen_t>(sourceLength, static_cast<socklen_t>(*fromLength));
            std::memcpy(from, &source, n);
            *fromLength = static_cast<int>(sourceLength);
        }
        return static_cast<int>(got);
    }
    constexpr int kHeader = 20;
    if (length < kHeader) {
        errno = EMSGSIZE;
        return SOCKET_ERROR;
    }
    ssize_t got =
        ::recvfrom(fd, static_cast<void*>(buffer + kHeader), static_cast<size_t>(length - kHeader),
                   flags, reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (got < 0) return SOCKET_ERROR;
    auto* ip = reinterpret_cast<unsigned char*>(buffer);
    std::memset(ip, 0, kHeader);
    uint16_t total = static_cast<uint16_t>(got + kHeader);
    ip[0] = 0x45;
    ip[2] = static_cast<unsigned char>(total >> 8);
    ip[3] = static_cast<unsigned char>(total);
    ip[8] = 64;
    ip[9] = IPPROTO_ICMP;
    if (source.ss_family == AF_INET) {
        std::memcpy(ip + 12, &reinterpret_cast<sockaddr_in*>(&source)->sin_addr, 4);
    }
    uint16_t check = checksum(ip, kHeader);
    ip[10] = static_cast<unsigned char>(check >> 8);
    ip[11] = static_cast<unsigned char>(check);
    char* icmp = buffer + kHeader;
    if (got >= 8) {
        std::lock_guard<std::mutex> hold(g_lock);
        auto& known = g_emulated[fd].identifiers;
        auto it = known.find(raw16(icmp + 6));
        if (it != known.end()) {
            std::memcpy(icmp + 4, &it->second, 2);
            icmp[2] = icmp[3] = 0;
            uint16_t sum =
                checksum(reinterpret_cast<unsigned char*>(icmp), static_cast<size_t>(got));
            icmp[2] = static_cast<char>(sum >> 8);
            icmp[3] = static_cast<char>(sum);
        }
    }
    if (from) {
        socklen_t n = std::min<socklen_t>(sourceLength, static_cast<socklen_t>(*fromLength));
        std::memcpy(from, &source, n);
        *fromLength = static_cast<int>(sourceLength);
    }
    return static_cast<int>(got + kHeader);
}

int closesocket(SOCKET s) {
    int fd = static_cast<int>(s);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_emulated.erase(fd);
    }
    return ::close(fd) == 0 ? 0 : SOCKET_ERROR;
}
