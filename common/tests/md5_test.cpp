// The MD5 digest (common/md5.h), checked against RFC 1321's values and md5sum.
#include "common/md5.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tools/testkit/machine_fixture.h"

using tovel::testing::machine_root;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

std::string digest_of(const std::string& bytes) { return MD5(bytes).hexdigest(); }

void add(MD5& md5, const std::string& bytes) {
    md5.update(reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned>(bytes.size()));
}

std::string random_bytes(std::mt19937& generator, size_t length) {
    std::string out(length, '\0');
    for (auto& c : out) c = static_cast<char>(generator() & 0xFF);
    return out;
}

// md5sum's digests of the inputs, in their order (one run for all of them).
std::vector<std::string> md5sum_of(const std::vector<std::string>& inputs) {
    std::string command = "cd " + shell_quote(machine_root()) + " && md5sum";
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::string name = "md5-" + std::to_string(i);
        write_host_file(machine_root() + "/" + name, inputs[i]);
        command += " " + name;
    }
    std::string output;
    EXPECT_EQ(run_command(command, &output), 0);
    std::vector<std::string> digests;
    std::istringstream lines(output);
    for (std::string digest, name; lines >> digest >> name;) digests.push_back(digest);
    return digests;
}

}  // namespace

TEST(Md5, Rfc1321Values) {
    EXPECT_EQ(MD5().hexdigest(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digest_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(digest_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(digest_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(digest_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(digest_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(digest_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(digest_of("1234567890123456789012345678901234567890123456789012345678901234567890"
                        "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, HexdigestTwiceGivesTheSameText) {
    MD5 md5("abc");
    std::string first = md5.hexdigest();
    EXPECT_EQ(md5.hexdigest(), first);
    EXPECT_EQ(first, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, PiecesGiveTheSameDigestAsOneCall) {
    std::mt19937 generator(1321);
    std::string bytes = random_bytes(generator, 1000);
    std::string whole = digest_of(bytes);
    MD5 pieces;
    size_t at = 0;
    for (size_t length : {1, 63, 64, 872}) {
        add(pieces, bytes.substr(at, length));
        at += length;
    }
    ASSERT_EQ(at, bytes.size());
    EXPECT_EQ(pieces.hexdigest(), whole);

    MD5 bytewise;
    for (char c : bytes) add(bytewise, std::string(1, c));
    EXPECT_EQ(bytewise.hexdigest(), whole);
    EXPECT_EQ(md5sum_of({bytes}), std::vector<std::string>{whole});
}

TEST(Md5, EmptyUpdatesChangeNothing) {
    MD5 md5;
    md5.update(nullptr, 0);
    add(md5, "ab");
    md5.update(nullptr, 0);
    add(md5, "c");
    EXPECT_EQ(md5.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
    md5.update(nullptr, 0);
    EXPECT_EQ(md5.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, RandomInputsMatchMd5sum) {
    std::mt19937 generator(20240601);
    std::vector<std::string> inputs;
    for (size_t length = 0; length <= 200; ++length)
        inputs.push_back(random_bytes(generator, length));
    // The lengths around the padding's edges once more, and some long ones.
    for (size_t length : {55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129, 4096, 65537})
        inputs.push_back(random_bytes(generator, length));
    std::vector<std::string> expected = md5sum_of(inputs);
    ASSERT_EQ(expected.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(digest_of(inputs[i]), expected[i]) << inputs[i].size() << " bytes";
        // The same bytes in two pieces split in the middle.
        MD5 split;
        add(split, inputs[i].substr(0, inputs[i].size() / 2));
        add(split, inputs[i].substr(inputs[i].size() / 2));
        EXPECT_EQ(split.hexdigest(), expected[i]) << inputs[i].size() << " bytes, split";
    }
}

TEST(Md5, UpdateAfterHexdigestContinuesTheMessage) {
    std::mt19937 generator(7);
    // Prefix lengths on both sides of the padding's edges.
    for (size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128}) {
        std::string a = random_bytes(generator, length);
        std::string b = random_bytes(generator, 70);
        MD5 md5(a);
        EXPECT_EQ(md5.hexdigest(), digest_of(a));
        add(md5, b);
        std::string both = md5.hexdigest();
        EXPECT_EQ(both, digest_of(a + b)) << length;
        EXPECT_EQ(md5sum_of({a + b}), std::vector<std::string>{both}) << length;
        // And once more after the second digest.
        add(md5, a);
        EXPECT_EQ(md5.hexdigest(), digest_of(a + b + a)) << length;
    }
}
