#include "common/md5.h"

#include <cstring>

namespace {

constexpr uint32_t kInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Per-round shift amounts and the sine-derived constants of the RFC.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

MD5::MD5()
    : state{kInit[0], kInit[1], kInit[2], kInit[3]},
      count{0, 0},
      buffer{},
      digest{},
      finalized(false) {}

MD5::MD5(const std::string& text) : MD5() {
    update(reinterpret_cast<const unsigned char*>(text.data()), static_cast<unsigned>(text.size()));
}

void MD5::transform(const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = static_cast<uint32_t>(block[i * 4]) |
               (static_cast<uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<uint32_t>(block[i * 4 + 3]) << 24);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t next = b + rotate_left(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5::update(const unsigned char* data, unsigned length) {
    if (length == 0) return;  // data may then be null, which memcpy must never see
    finalized = false;
    unsigned index = (count[0] / 8) % 64;
    uint32_t added_bits = static_cast<uint32_t>(length) << 3;
    if ((count[0] += added_bits) < added_bits) ++count[1];
    count[1] += length >> 29;
    unsigned room = 64 - index;
    unsigned i = 0;
    if (length >= room) {
        std::memcpy(buffer + index, data, room);
        transform(buffer);
        for (i = room; i + 63 < length; i += 64) transform(data + i);
        index = 0;
    }
    std::memcpy(buffer + index, data + i, length - i);
}

void MD5::finalize() {
    // Pad a copy, so that the running state can take more bytes afterwards.
    MD5 copy = *this;
    uint8_t bits[8];
    for (int i = 0; i < 4; ++i) {
        bits[i] = static_cast<uint8_t>(count[0] >> (8 * i));
        bits[i + 4] = static_cast<uint8_t>(count[1] >> (8 * i));
    }
    unsigned index = (count[0] / 8) % 64;
    unsigned padding = index < 56 ? 56 - index : 120 - index;
    static const uint8_t kPadding[64] = {0x80};
    copy.update(kPadding, padding);
    copy.update(bits, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            digest[i * 4 + j] = static_cast<uint8_t>(copy.state[i] >> (8 * j));
    finalized = true;
}

std::string MD5::hexdigest() {
    if (!finalized) finalize();
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(32);
    for (uint8_t byte : digest) {
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}
