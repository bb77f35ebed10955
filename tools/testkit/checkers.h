// Independent checkers for tests: hexadecimal text of bytes, and python3 as a
// second opinion on encodings, digests and formats.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tools/testkit/machine_fixture.h"

namespace tovel::testing {

inline std::string to_hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

inline std::string from_hex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Runs a python3 program and gives what it printed, without the final line break.
inline std::string python(const std::string& program) {
    std::string output;
    EXPECT_EQ(run_command("python3 -c " + shell_quote(program), &output), 0) << program;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    return output;
}

// Runs a python3 program with input on its standard input (through a file in
// the test's machine root) and gives what it printed, as it stands.
inline std::string python_with_input(const std::string& program, const std::string& input) {
    std::string input_file = machine_root() + "/python-input.txt";
    write_host_file(input_file, input);
    std::string output;
    EXPECT_EQ(run_command("python3 -c " + shell_quote(program) + " < " + shell_quote(input_file),
                          &output),
              0)
        << program;
    return output;
}

// The data key and IV of the stored form of backed-up files, written out
// independently of the program.
inline const std::string kStoredKeyHex = "d272421353966d34b17abce7982f3319";
inline const std::string kStoredIvHex = "358d66b829eca80589a08a6736910973";

// The plaintext of a stored file (a host path) as openssl decrypts it and,
// when it is compressed, python3's zlib inflates it (a zlib stream that must
// end exactly at the end of the data); "<openssl refused>" or "<zlib
// refused>" otherwise.
inline std::string decode_stored(const std::string& stored, bool compressed) {
    std::string raw = machine_root() + "/decoded.raw";
    std::string plain = machine_root() + "/decoded.plain";
    std::filesystem::remove(raw);
    std::filesystem::remove(plain);
    if (run_command("openssl enc -d -aes-128-cbc -K " + kStoredKeyHex + " -iv " + kStoredIvHex +
                    " -in " + shell_quote(stored) + " -out " + shell_quote(raw) + " 2>/dev/null") !=
        0)
        return "<openssl refused>";
    if (!compressed) return read_host_file(raw);
    std::string program =
        "import sys, zlib\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "z = zlib.decompressobj(15)\n"
        "out = z.decompress(d) + z.flush()\n"
        "assert z.eof and z.unused_data == b''\n"
        "open(sys.argv[2], 'wb').write(out)\n";
    if (run_command("python3 -c " + shell_quote(program) + " " + shell_quote(raw) + " " +
                    shell_quote(plain) + " 2>/dev/null") != 0)
        return "<zlib refused>";
    return read_host_file(plain);
}

}  // namespace tovel::testing
