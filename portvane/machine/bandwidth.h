// The network bandwidth test: four ICMP echo requests of 1000 data bytes to the remote web
// server's host, whose mean round trip becomes a figure. One measurement runs on the calling
// thread (a web server worker) and takes up to about four and a half seconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace portvane {

inline constexpr size_t kEchoPacketSize = 1013;   // header, 0, tick, 1000 data bytes
inline constexpr size_t kReplyBufferSize = 1289;  // IPv4 header, echoed packet, 256 spare

// A failed step of the test: "Get The NetWork Speed Error: <call> - WSAError: <code>".
class NetError : public std::exception {
public:
    NetError(const char* call, long code);
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// The Internet checksum (RFC 1071) of length bytes, an odd last byte padded with a zero byte, as
// it is stored in a packet: byte 2 the high half, byte 3 the low.
uint16_t internetChecksum(const uint8_t* bytes, size_t length);

// Fills packet (kEchoPacketSize bytes) with an echo request: type 8, code 0, identifier and
// sequence (little-endian), a 0, tick (little-endian), data byte i = (i + 32) mod 256, and its
// checksum.
void buildEchoRequest(uint8_t* packet, uint16_t identifier, uint16_t sequence, uint32_t tick);

// Whether a datagram as a raw socket gives it (an IPv4 header of the length it states, then the
// ICMP message) is the echo reply to the request with identifier and sequence: type 0, code 0,
// both fields, and the echoed tick whole. tick then holds the echoed tick.
bool matchEchoReply(const uint8_t* datagram, size_t length, uint16_t identifier, uint16_t sequence,
                    uint32_t& tick);

// The figure for the round-trip times of four attempts (those that timed out count 0 but are
// still in the divisor): mean = total / 4, 8000 / mean (250 for a mean of 0), times 1024, with
// two decimals ("819200.00").
std::string bandwidthFigure(uint32_t totalMilliseconds);

// One ICMP socket connected in thought to its target. Owned by one measurement.
class IcmpChannel {
public:
    virtual ~IcmpChannel() = default;
    // Sends one packet whole; false on failure.
    virtual bool send(const uint8_t* packet, size_t length) = 0;
    // Waits up to milliseconds for a datagram: 1 readable, 0 timed out, -1 failed.
    virtual int wait(uint32_t milliseconds) = 0;
    // Receives one datagram into buffer; its length, or -1 on failure.
    virtual int receive(uint8_t* buffer, size_t size) = 0;
    // Closes the socket; false on failure. Called once at most.
    virtual bool close() = 0;
};

// Runs the test. No state of its own beyond how it opens its channel; any thread.
class BandwidthProbe {
public:
    // Opens a channel to host, or raises NetError ("socket()", "gethostbyname()").
    using Opener = std::function<std::unique_ptr<IcmpChannel>(const std::string& host)>;

    // The real one: a raw ICMP socket (Winsock) to host, a dotted IPv4 address or a name looked
    // up for IPv4.
    BandwidthProbe();
    explicit BandwidthProbe(Opener opener) : opener_(std::move(opener)) {}

    // Four attempts, each waiting up to one second for its own echo reply (other datagrams on
    // the socket are passed over) and pausing 100 ms after a reply; the figure
    // (bandwidthFigure). Raises NetError when a step fails, the socket closed first, and a
    // std::runtime_error when no attempt got a reply.
    std::string measure(const std::string& host);

private:
    Opener opener_;
};

}  // namespace portvane
