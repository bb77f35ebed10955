// Independent checkers for tests: hexadecimal text of bytes, and python3 as a
// second opinion on encodings, digests and formats.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace tovel::testing
