// AES and Base64 over buffers, checked against the openssl command line and
// python3: sizes, round trips, refused arguments, short buffers, wrong keys
// and damaged input.
#include "job/stores/crypt_buffers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::from_hex;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::to_hex;
using tovel::testing::write_host_file;

namespace {

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kIv[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                               0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

std::string hex(const unsigned char* bytes, size_t n) {
    return to_hex(std::string(reinterpret_cast<const char*>(bytes), n));
}

std::string encrypt(const std::string& plain, int keyLen = 16) {
    std::string out(plain.size() + 32, '\0');
    int n = aes_encrypt(kKey, keyLen, kIv, plain.data(), static_cast<int>(plain.size()), out.data(),
                        static_cast<unsigned>(out.size()));
    EXPECT_GT(n, 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// What the openssl command line makes of bytes (enc with -d to decrypt).
std::string openssl(const std::string& input, int keyLen, bool decrypt) {
    std::string in = machine_root() + "/openssl-in", out = machine_root() + "/openssl-out";
    write_host_file(in, input);
    std::string command = "openssl enc -aes-" + std::to_string(keyLen * 8) + "-cbc " +
                          (decrypt ? "-d " : "") + "-K " + hex(kKey, keyLen) + " -iv " +
                          hex(kIv, 16) + " -in " + in + " -out " + out + " 2>/dev/null";
    if (run_command(command) != 0) return "<failed>";
    return read_host_file(out);
}

TEST(CryptoSizes, AesAndBase64RoomAndRefusals) {
    int out = -7;
    EXPECT_EQ(crypt_output_size(32, &out, 1, true), 48);
    EXPECT_EQ(out, 48);
    EXPECT_EQ(crypt_output_size(0, &out, 1, true), 16);
    EXPECT_EQ(crypt_output_size(15, &out, 1, true), 16);
    EXPECT_EQ(crypt_output_size(32, &out, 2, true), 45);
    EXPECT_EQ(crypt_output_size(1, &out, 2, true), 5);
    EXPECT_EQ(crypt_output_size(3, &out, 2, true), 5);
    EXPECT_EQ(crypt_output_size(4, &out, 2, true), 9);
    out = -7;
    EXPECT_EQ(crypt_output_size(32, &out, 1, false), 0);
    EXPECT_EQ(crypt_output_size(32, &out, 3, true), 0);
    EXPECT_EQ(crypt_output_size(0x7FFFFFF8, &out, 1, true), 0);  // beyond int
    EXPECT_EQ(out, -7);
}

TEST(CryptoAes, MatchesTheOpensslToolBothWaysForEveryKeyLength) {
    std::string plain = "The quick brown fox jumps over the lazy dog, 0123456789abcdef";
    for (int keyLen : {16, 24, 32}) {
        std::string cipher = encrypt(plain, keyLen);
        EXPECT_EQ(cipher.size(), (plain.size() / 16 + 1) * 16);
        EXPECT_EQ(to_hex(cipher), to_hex(openssl(plain, keyLen, false))) << keyLen;
        std::string theirs = openssl(plain + "!", keyLen, false);
        std::string back(theirs.size(), '\0');
        int n = aes_decrypt(kKey, keyLen, kIv, theirs.data(), static_cast<int>(theirs.size()),
                            back.data(), static_cast<unsigned>(back.size()));
        ASSERT_GT(n, 0);
        EXPECT_EQ(back.substr(0, static_cast<size_t>(n)), plain + "!");
    }
}

TEST(CryptoAes, WholeBlockGetsAPaddingBlockAndEmptyInputOneBlock) {
    EXPECT_EQ(encrypt(std::string(32, 'x')).size(), 48u);
    std::string empty = encrypt("");
    ASSERT_EQ(empty.size(), 16u);
    char back[16];
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, empty.data(), 16, back, sizeof back), 0);
}

TEST(CryptoAes, RefusesBadKeysAndShortOutputAndWorksInPlace) {
    unsigned char buffer[64] = {'a'};
    EXPECT_EQ(aes_encrypt(kKey, 20, kIv, buffer, 1, buffer, sizeof buffer), 0);
    EXPECT_EQ(aes_decrypt(kKey, 0, kIv, buffer, 16, buffer, sizeof buffer), 0);
    EXPECT_EQ(aes_encrypt(nullptr, 16, kIv, buffer, 1, buffer, sizeof buffer), 0);
    EXPECT_EQ(aes_encrypt(kKey, 16, kIv, nullptr, 5, buffer, sizeof buffer), 0);
    unsigned char out[15];
    std::fill(std::begin(out), std::end(out), 0xEE);
    EXPECT_EQ(aes_encrypt(kKey, 16, kIv, buffer, 1, out, sizeof out), -1);
    EXPECT_EQ(hex(out, sizeof out), std::string(30, 'e'));  // untouched

    std::string plain = "in place, over more than one block of text";
    std::vector<unsigned char> data(plain.begin(), plain.end());
    data.resize(64);
    int n = aes_encrypt(kKey, 16, kIv, data.data(), static_cast<int>(plain.size()), data.data(),
                        static_cast<unsigned>(data.size()));
    ASSERT_EQ(n, 48);
    EXPECT_EQ(hex(data.data(), 48), to_hex(encrypt(plain)));
    auto room = static_cast<unsigned>(plain.size());
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, data.data(), n, data.data(), room - 1), -1);
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, data.data(), n, data.data(), room),
              static_cast<int>(plain.size()));
    EXPECT_EQ(std::string(data.begin(), data.begin() + room), plain);
}

TEST(CryptoAes, WrongKeyOrDamagedInputFailsInsteadOfGivingBytes) {
    std::string plain = "{\"user\": \"secret\"}";
    std::string cipher = encrypt(plain);
    unsigned char other[16] = {9};
    std::string out(64, '\0');
    EXPECT_EQ(
        aes_decrypt(other, 16, kIv, cipher.data(), static_cast<int>(cipher.size()), out.data(), 64),
        -2);
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, cipher.data(), static_cast<int>(cipher.size() - 1),
                          out.data(), 64),
              -2);  // not whole blocks
    std::string flipped = cipher;
    flipped.back() ^= 0x5A;  // the padding of the last block is lost
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, flipped.data(), static_cast<int>(flipped.size()),
                          out.data(), 64),
              -2);
    EXPECT_EQ(aes_decrypt(kKey, 16, kIv, cipher.data(), 0, out.data(), 64), -2);
}

TEST(CryptoAesCompressed, CompressesThenEncryptsAsZlibBehindTheCipher) {
    std::string plain;
    for (int i = 0; i < 400; ++i) plain += "block " + std::to_string(i % 7) + "; ";
    std::vector<unsigned char> out(plain.size() + 64);
    int n = aes_encrypt_compressed(kKey, 16, kIv, plain.data(), static_cast<int>(plain.size()),
                                   out.data(), static_cast<unsigned>(out.size()));
    ASSERT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(plain.size()) / 4);
    EXPECT_EQ(n % 16, 0);
    // Independently: the tool decrypts, python3 inflates.
    std::string inner = openssl(std::string(out.begin(), out.begin() + n), 16, true);
    EXPECT_EQ(python_with_input(
                  "import sys, zlib; sys.stdout.write(zlib.decompress(sys.stdin.buffer.read())"
                  ".decode())",
                  inner),
              plain);

    std::vector<unsigned char> back(plain.size());
    EXPECT_EQ(aes_decrypt_compressed(kKey, 16, kIv, out.data(), n, back.data(),
                                     static_cast<unsigned>(back.size())),
              static_cast<int>(plain.size()));
    EXPECT_EQ(std::string(back.begin(), back.end()), plain);
    // All of it or nothing: one byte short of room is a failure, not a cut.
    EXPECT_EQ(aes_decrypt_compressed(kKey, 16, kIv, out.data(), n, back.data(),
                                     static_cast<unsigned>(back.size() - 1)),
              -1);
}

TEST(CryptoAesCompressed, FailsOnWrongKeyAndOnCipherTextThatIsNoStream) {
    std::string plain(1000, 'z');
    std::vector<unsigned char> out(1100), back(1100);
    int n = aes_encrypt_compressed(kKey, 16, kIv, plain.data(), 1000, out.data(), 1100);
    ASSERT_GT(n, 0);
    unsigned char other[16] = {7};
    EXPECT_LT(aes_decrypt_compressed(other, 16, kIv, out.data(), n, back.data(), 1100), 0);
    std::string not_zlib = encrypt("plain text, never compressed");
    EXPECT_EQ(aes_decrypt_compressed(kKey, 16, kIv, not_zlib.data(),
                                     static_cast<int>(not_zlib.size()), back.data(), 1100),
              -2);
    // Incompressible input outgrows the plain cipher's room.
    std::string noise = from_hex(python("import os; print(os.urandom(250).hex())"));
    EXPECT_EQ(
        aes_encrypt_compressed(kKey, 16, kIv, noise.data(), 250, out.data(),
                               static_cast<unsigned>(crypt_output_size(250, nullptr, 1, true))),
        -1);
}

TEST(CryptoBase64, EncodesAsPythonDoesAndNeedsRoomForTheTerminator) {
    unsigned char bytes[32];
    for (int i = 0; i < 32; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    char text[64];
    std::fill(std::begin(text), std::end(text), '#');
    int length = 45;
    EXPECT_EQ(base64_encode(bytes, 32, text, &length), 44);
    EXPECT_EQ(length, 44);
    EXPECT_EQ(text[44], '\0');
    EXPECT_EQ(std::string(text), python("import base64; print(base64.b64encode(bytes.fromhex('" +
                                        hex(bytes, 32) + "')).decode())"));

    std::fill(std::begin(text), std::end(text), '#');
    for (int room : {10, 44}) {
        length = room;
        EXPECT_EQ(base64_encode(bytes, 32, text, &length), -2) << room;
        EXPECT_EQ(length, 45);
    }
    EXPECT_EQ(text[0], '#');  // nothing written
    EXPECT_EQ(base64_encode(nullptr, 1, text, &length), -1);
    EXPECT_EQ(base64_encode(bytes, 1, nullptr, &length), -1);
}

TEST(CryptoBase64, DecodesLongTextsWholeAndStopsAtTheRoomGiven) {
    // Far beyond one read of the filter's buffer.
    std::string bytes = from_hex(python("import os; print(os.urandom(20000).hex())"));
    std::string text = python("import base64; print(base64.b64encode(bytes.fromhex('" +
                              to_hex(bytes) + "')).decode())");
    std::string out(25000, '\0');
    int room = static_cast<int>(out.size());
    EXPECT_EQ(base64_decode(text.data(), static_cast<int>(text.size()), out.data(), &room), 20000);
    EXPECT_EQ(room, 20000);
    EXPECT_EQ(out.substr(0, 20000), bytes);

    room = 100;
    EXPECT_EQ(base64_decode(text.data(), static_cast<int>(text.size()), out.data(), &room), 100);
    EXPECT_EQ(out.substr(0, 100), bytes.substr(0, 100));

    char encoded[64];
    int length = sizeof encoded;
    ASSERT_EQ(base64_encode("", 0, encoded, &length), 0);
    EXPECT_EQ(base64_decode(nullptr, 4, out.data(), &room), -1);
    EXPECT_EQ(base64_decode("AAAA", 4, nullptr, &room), -1);
}

TEST(CryptoBase64, DamagedTextYieldsFewerBytesThanWhole) {
    std::string text = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=";  // 26 letters
    char out[64];
    int room = sizeof out;
    ASSERT_EQ(base64_decode(text.data(), static_cast<int>(text.size()), out, &room), 26);
    std::string damaged = text;
    damaged[8] = '*';
    room = sizeof out;
    EXPECT_LT(base64_decode(damaged.data(), static_cast<int>(damaged.size()), out, &room), 26);
}

}  // namespace
