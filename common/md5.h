// The MD5 message digest (RFC 1321) of bytes given in pieces, as lower-case
// hexadecimal text. One object per message; not thread-safe.
#pragma once

#include <cstdint>
#include <string>

class MD5 {
public:
    MD5();
    explicit MD5(const std::string& text);

    // Adds length bytes; data may be null when length is 0.
    void update(const unsigned char* data, unsigned length);
    // The digest of everything added so far. It is computed on a copy of the
    // running state, so update() may follow and hexdigest() then covers all
    // the bytes given, as one message.
    std::string hexdigest();

private:
    void transform(const uint8_t block[64]);
    void finalize();

    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
    uint8_t digest[16];
    bool finalized;
};
