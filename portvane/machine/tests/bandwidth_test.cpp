// The bandwidth test's packet, reply filter and figure, a measurement over fake sockets, and one
// over the loopback interface when the process may open an ICMP socket.
#include "portvane/machine/bandwidth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/win/sockets.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"

namespace portvane {
namespace {

std::vector<uint8_t> request(uint16_t id, uint16_t seq, uint32_t tick) {
    std::vector<uint8_t> packet(kEchoPacketSize);
    buildEchoRequest(packet.data(), id, seq, tick);
    return packet;
}

// packet as a raw socket gives it back: an IPv4 header, then the packet with the given type.
std::vector<uint8_t> datagram(std::vector<uint8_t> packet, uint8_t type = 0) {
    packet[0] = type;
    std::vector<uint8_t> out(20, 0);
    out[0] = 0x45;
    out.insert(out.end(), packet.begin(), packet.end());
    return out;
}

TEST(Bandwidth, PacketChecksumAndFigure) {
    std::vector<uint8_t> packet = request(0x0102, 0x0304, 0xA1B2C3D4);
    EXPECT_EQ(packet[0], 8);
    EXPECT_EQ(packet[1], 0);
    EXPECT_EQ(packet[4], 0x02);  // identifier and sequence as the agent holds them
    EXPECT_EQ(packet[5], 0x01);
    EXPECT_EQ(packet[6], 0x04);
    EXPECT_EQ(packet[8], 0);
    EXPECT_EQ(packet[9], 0xD4);
    EXPECT_EQ(packet[12], 0xA1);
    EXPECT_EQ(packet[13], 32);       // data byte 0
    EXPECT_EQ(packet[13 + 999], 7);  // (999 + 32) mod 256
    EXPECT_EQ(internetChecksum(packet.data(), packet.size()), 0);
    // RFC 1071's example, and the packet's checksum as python computes it.
    const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(internetChecksum(example, sizeof example), 0x220d);
    std::vector<uint8_t> zeroed = packet;
    zeroed[2] = zeroed[3] = 0;
    std::string hex = tovel::testing::to_hex(std::string(zeroed.begin(), zeroed.end()));
    EXPECT_EQ(tovel::testing::python_with_input(
                  "import sys\nb = bytes.fromhex(sys.stdin.read()) + b'\\0'\n"
                  "s = sum((b[i] << 8) | b[i + 1] for i in range(0, len(b) - 1, 2))\n"
                  "while s >> 16: s = (s & 0xffff) + (s >> 16)\nprint('%04x' % (~s & 0xffff))",
                  hex),
              tovel::testing::to_hex(std::string(packet.begin() + 2, packet.begin() + 4)) + "\n");

    EXPECT_EQ(bandwidthFigure(0), "256000.00");    // every reply within the same tick
    EXPECT_EQ(bandwidthFigure(40), "819200.00");   // 10 ms each, or two of 20 ms and two lost
    EXPECT_EQ(bandwidthFigure(1200), "26624.00");  // mean 300: 8000 / 300 = 26
    EXPECT_EQ(bandwidthFigure(7), "8192000.00");   // mean 1
}

TEST(Bandwidth, ReplyFilterTakesOnlyItsOwnWholeEchoReply) {
    uint32_t tick = 0;
    std::vector<uint8_t> own = request(7, 9, 12345);
    EXPECT_TRUE(matchEchoReply(datagram(own).data(), datagram(own).size(), 7, 9, tick));
    EXPECT_EQ(tick, 12345u);
    // Our own request as loopback shows it, another identifier, another sequence.
    EXPECT_FALSE(matchEchoReply(datagram(own, 8).data(), datagram(own).size(), 7, 9, tick));
    std::vector<uint8_t> foreign = datagram(request(8, 9, 1));
    EXPECT_FALSE(matchEchoReply(foreign.data(), foreign.size(), 7, 9, tick));
    std::vector<uint8_t> late = datagram(request(7, 8, 1));
    EXPECT_FALSE(matchEchoReply(late.data(), late.size(), 7, 9, tick));
    // Cut before the end of the echoed tick; a header longer than what came.
    std::vector<uint8_t> whole = datagram(own);
    EXPECT_FALSE(matchEchoReply(whole.data(), 20 + 12, 7, 9, tick));
    EXPECT_TRUE(matchEchoReply(whole.data(), 20 + 13, 7, 9, tick));
    whole[0] = 0x4F;
    EXPECT_FALSE(matchEchoReply(whole.data(), 60, 7, 9, tick));
}

// A socket that answers from a script: each send queues what the script makes of the request.
class FakeChannel : public IcmpChannel {
public:
    using Script = std::function<std::vector<std::vector<uint8_t>>(const uint8_t*)>;
    explicit FakeChannel(Script script, bool* closed) : script_(script), closed_(closed) {}
    bool send(const uint8_t* packet, size_t length) override {
        if (failSend) return false;
        EXPECT_EQ(length, kEchoPacketSize);
        for (auto& d : script_(packet)) queue_.push_back(d);
        return true;
    }
    int wait(uint32_t) override { return queue_.empty() ? 0 : 1; }
    int receive(uint8_t* buffer, size_t size) override {
        std::vector<uint8_t> d = queue_.front();
        queue_.pop_front();
        size_t n = std::min(size, d.size());
        std::copy(d.begin(), d.begin() + n, buffer);
        return static_cast<int>(n);
    }
    bool close() override {
        *closed_ = true;
        return true;
    }
    bool failSend = false;

private:
    Script script_;
    bool* closed_;
    std::deque<std::vector<uint8_t>> queue_;
};

TEST(Bandwidth, MeasurementOverFakeSockets) {
    bool closed = false;
    // Every attempt first sees its own request, a foreign reply and a short one, then its reply.
    BandwidthProbe answering([&](const std::string& host) {
        EXPECT_EQ(host, "server");
        return std::make_unique<FakeChannel>(
            [](const uint8_t* p) {
                std::vector<uint8_t> packet(p, p + kEchoPacketSize);
                std::vector<uint8_t> reply = datagram(packet);
                // The decoys carry a tick 100 s old: taking one makes the figure 0.00.
                std::vector<uint8_t> old = packet;
                uint32_t tick = GetTickCount() - 100000;
                for (int i = 0; i < 4; ++i) old[9 + i] = static_cast<uint8_t>(tick >> (8 * i));
                std::vector<uint8_t> foreign = old;
                foreign[4] ^= 0xFF;
                std::vector<uint8_t> cut = datagram(old);
                cut.resize(20 + 10);
                return std::vector<std::vector<uint8_t>>{datagram(old, 8), datagram(foreign), cut,
                                                         reply};
            },
            &closed);
    });
    std::string figure = answering.measure("server");
    EXPECT_NE(figure, "0.00");
    EXPECT_TRUE(closed);

    // A socket that never answers: no figure at all (not the best one).
    closed = false;
    BandwidthProbe silent([&](const std::string&) {
        return std::make_unique<FakeChannel>(
            [](const uint8_t*) { return std::vector<std::vector<uint8_t>>{}; }, &closed);
    });
    EXPECT_THROW(silent.measure("server"), std::runtime_error);
    EXPECT_TRUE(closed);

    closed = false;
    BandwidthProbe failing([&](const std::string&) {
        auto channel = std::make_unique<FakeChannel>(
            [](const uint8_t*) { return std::vector<std::vector<uint8_t>>{}; }, &closed);
        channel->failSend = true;
        return channel;
    });
    try {
        failing.measure("server");
        ADD_FAILURE() << "a failed send gave a figure";
    } catch (const NetError& error) {
        EXPECT_STREQ(error.what(), "Get The NetWork Speed Error: sendto() - WSAError: 11007");
    }
    EXPECT_TRUE(closed);
}

TEST(Bandwidth, LoopbackByAddressAndName) {
    SOCKET probe = WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, 0);
    if (probe == INVALID_SOCKET) {
        GTEST_SKIP() << "this process may open neither a raw nor a datagram ICMP socket "
                        "(no CAP_NET_RAW, and net.ipv4.ping_group_range leaves its group out)";
    }
    closesocket(probe);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        std::string figure = BandwidthProbe().measure(host);
        EXPECT_GT(std::stod(figure), 0.0) << host << ": " << figure;
    }
    try {
        BandwidthProbe().measure("no-such-host.invalid");
        ADD_FAILURE() << "a name without an address gave a figure";
    } catch (const NetError& error) {
        EXPECT_STREQ(error.what(),
                     "Get The NetWork Speed Error: gethostbyname() - WSAError: 11003");
    }
}

}  // namespace
}  // namespace portvane
