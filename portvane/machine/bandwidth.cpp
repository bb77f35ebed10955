#include "portvane/machine/bandwidth.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/win/sockets.h"
#include "platform/win32.h"

namespace portvane {
namespace {

// Process-wide, shared by every worker thread's measurement.
std::atomic<uint16_t> g_identifier{1};
std::atomic<uint16_t> g_sequence{1};

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// The Winsock channel; the socket is closed by close() or, failing that, the destructor.
class WinsockChannel : public IcmpChannel {
public:
    explicit WinsockChannel(const std::string& host) {
        socket_ = WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
        if (socket_ == INVALID_SOCKET) {
            SetLastError(11002);
            throw NetError("socket()", 11002);
        }
        target_.sin_family = AF_INET;
        target_.sin_port = 0;
        in_addr_t dotted = inet_addr(host.c_str());
        if (dotted != INADDR_NONE) {
            target_.sin_addr.s_addr = dotted;
            return;
        }
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_RAW;
        addrinfo* found = nullptr;
        if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
            SetLastError(11003);
            throw NetError("gethostbyname()", 11003);
        }
        target_.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    ~WinsockChannel() override {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
    }

    bool send(const uint8_t* packet, size_t length) override {
        return sendto(socket_, reinterpret_cast<const char*>(packet), static_cast<int>(length), 0,
                      reinterpret_cast<const sockaddr*>(&target_),
                      static_cast<int>(sizeof target_)) == static_cast<int>(length);
    }
    int wait(uint32_t milliseconds) override {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(static_cast<int>(socket_), &readable);
        timeval timeout{static_cast<time_t>(milliseconds / 1000),
                        static_cast<suseconds_t>((milliseconds % 1000) * 1000)};
        int ready = select(static_cast<int>(socket_) + 1, &readable, nullptr, nullptr, &timeout);
        return ready < 0 ? -1 : ready > 0 ? 1 : 0;
    }
    int receive(uint8_t* buffer, size_t size) override {
        sockaddr_in from{};
        int fromLength = sizeof from;
        int got = recvfrom(socket_, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
        return got == SOCKET_ERROR ? -1 : got;
    }
    bool close() override {
        SOCKET s = socket_;
        socket_ = INVALID_SOCKET;
        return closesocket(s) == 0;
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    sockaddr_in target_{};
};

// Closes the channel and raises the step's failure.
[[noreturn]] void fail(IcmpChannel& channel, const char* call, long code) {
    channel.close();
    SetLastError(static_cast<DWORD>(code));
    throw NetError(call, code);
}

}  // namespace

NetError::NetError(const char* call, long code) {
    char text[160];
    std::snprintf(text, sizeof text, "Get The NetWork Speed Error: %s - WSAError: %ld", call, code);
    text_ = text;
}

uint16_t internetChecksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) sum += (bytes[i] << 8) | bytes[i + 1];
    if (length & 1) sum += bytes[length - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void buildEchoRequest(uint8_t* packet, uint16_t identifier, uint16_t sequence, uint32_t tick) {
    std::memset(packet, 0, kEchoPacketSize);
    packet[0] = 8;
    put16(packet + 4, identifier);
    put16(packet + 6, sequence);
    for (int i = 0; i < 4; ++i) packet[9 + i] = static_cast<uint8_t>(tick >> (8 * i));
    for (size_t i = 0; i < 1000; ++i) packet[13 + i] = static_cast<uint8_t>((i + 32) % 256);
    uint16_t sum = internetChecksum(packet, kEchoPacketSize);
    packet[2] = static_cast<uint8_t>(sum >> 8);
    packet[3] = static_cast<uint8_t>(sum);
}

bool matchEchoReply(const uint8_t* datagram, size_t length, uint16_t identifier, uint16_t sequence,
                    uint32_t& tick) {
    if (length < 20 || (datagram[0] >> 4) != 4) return false;
    size_t header = (datagram[0] & 0x0F) * 4u;
    if (header < 20 || length < header + 13) return false;
    const uint8_t* icmp = datagram + header;
    if (icmp[0] != 0 || icmp[1] != 0) return false;
    if (get16(icmp + 4) != identifier || get16(icmp + 6) != sequence) return false;
    tick = 0;
    for (int i = 0; i < 4; ++i) tick |= uint32_t{icmp[9 + i]} << (8 * i);
    return true;
}

std::string bandwidthFigure(uint32_t totalMilliseconds) {
    uint32_t mean = totalMilliseconds / 4;
    uint32_t figure = mean >= 1 ? 8000 / mean : 250;
    char text[64];
    std::snprintf(text, sizeof text, "%0.2f", figure * 1024.0);
    return text;
}

BandwidthProbe::BandwidthProbe()
    : opener_([](const std::string& host) -> std::unique_ptr<IcmpChannel> {
          return std::make_unique<WinsockChannel>(host);
      }) {}

std::string BandwidthProbe::measure(const std::string& host) {
    std::unique_ptr<IcmpChannel> channel = opener_(host);
    uint32_t total = 0;
    int replies = 0;
    uint8_t packet[kEchoPacketSize];
    uint8_t reply[kReplyBufferSize];
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint16_t identifier = g_identifier.fetch_add(1);
        uint16_t sequence = g_sequence.fetch_add(1);
        buildEchoRequest(packet, identifier, sequence, GetTickCount());
        if (!channel->send(packet, sizeof packet)) fail(*channel, "sendto()", 11007);
        // The attempt's second; datagrams that are not its reply (our own request on loopback,
        // another measurement's reply) are read and passed over.
        DWORD start = GetTickCount();
        for (;;) {
            DWORD waited = GetTickCount() - start;
            if (waited >= 1000) break;
            int ready = channel->wait(1000 - waited);
            if (ready < 0) fail(*channel, "select()", 11004);
            if (ready == 0) break;
            int got = channel->receive(reply, sizeof reply);
            if (got < 0) fail(*channel, "recvfrom()", 11008);
            uint32_t tick = 0;
            if (!matchEchoReply(reply, static_cast<size_t>(got), identifier, sequence, tick))
                continue;
            total += GetTickCount() - tick;
            ++replies;
            Sleep(100);
            break;
        }
    }
    if (!channel->close()) {
        SetLastError(11006);
        throw NetError("closesocket()", 11006);
    }
    if (replies == 0) throw std::runtime_error("no echo reply from " + host);
    return bandwidthFigure(total);
}

}  // namespace portvane
