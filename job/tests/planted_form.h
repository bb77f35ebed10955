// Test support: stored files made outside the program, by python3's zlib and
// the openssl command line, with the data key and IV of the stored format
// written out independently of the program.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

namespace planted_form {

// A change of the program's constant breaks every existing backup.
inline const std::string kKeyHex = "d272421353966d34b17abce7982f3319";
inline const std::string kIvHex = "358d66b829eca80589a08a6736910973";

// python3's zlib stream of data (changed by the python statement change on
// it, z), then after, encrypted by openssl.
inline std::string planted_stored_form(const std::string& data, const std::string& after,
                                       const std::string& change = "") {
    using tovel::testing::machine_root;
    using tovel::testing::python;
    using tovel::testing::read_host_file;
    using tovel::testing::run_command;
    using tovel::testing::shell_quote;
    using tovel::testing::write_host_file;
    std::string data_file = machine_root() + "/plant-data";
    std::string after_file = machine_root() + "/plant-after";
    std::string plain = machine_root() + "/plant-plain";
    std::string stored = machine_root() + "/plant-stored";
    write_host_file(data_file, data);
    write_host_file(after_file, after);
    EXPECT_EQ(
        python("import zlib\nd = open('" + data_file + "', 'rb').read()\n" + "a = open('" +
               after_file + "', 'rb').read()\n" + "z = bytearray(zlib.compress(d, 6))\n" + change +
               "\n" + "open('" + plain + "', 'wb').write(bytes(z) + a)\nprint('made')"),
        "made");
    EXPECT_EQ(run_command("openssl enc -aes-128-cbc -K " + kKeyHex + " -iv " + kIvHex + " -in " +
                          shell_quote(plain) + " -out " + shell_quote(stored)),
              0);
    return read_host_file(stored);
}

}  // namespace planted_form
