// Test support for the global key and the encrypted stores: the registry
// value and the store files seen from the host, the openssl command line as
// an independent reader and writer, a small file system to fill up, and a
// child process of the test program that runs commands.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "job/stores/key_manager.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/machine_fixture.h"

extern char** environ;

namespace key_checks {

using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

// The host folder of the data folder, and a file of it.
inline std::string data_folder() { return machine_root() + "/drives/c/ProgramData/morvask/Tovel"; }
inline std::string data_file(const std::string& name) { return data_folder() + "/" + name; }

// Whether folder holds a temporary file of a replacement of name.
inline bool has_temporary_of(const std::string& folder, const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().rfind(name + ".new", 0) == 0) return true;
    return false;
}

// The host file of the global key's registry value (type word, then the text).
inline std::string global_key_file() {
    return machine_root() + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/morvask/Tovel/=random";
}

// The stored global key as hexadecimal text (64 digits: key, then IV), read
// by python3 from the value's file; "" when there is none.
inline std::string stored_key_hex() {
    return python("import base64, os, struct\nf = '" + global_key_file() +
                  "'\nif os.path.exists(f):\n d = open(f, 'rb').read()\n"
                  " assert struct.unpack('<I', d[:4])[0] == 1 and d.endswith(b'\\0')\n"
                  " print(base64.b64decode(d[4:-1], validate=True).hex())");
}

// openssl enc with the stored key and IV over host files (the key is made
// first when the machine has none); false when it fails.
inline bool openssl_enc(bool decrypt, const std::string& in, const std::string& out) {
    unsigned char key[16], iv[16];
    if (!store_key_manager().globalKey(key, 16, iv, 16)) return false;
    std::string hex = stored_key_hex();
    if (hex.size() != 64) return false;
    return run_command("openssl enc -aes-128-cbc -a -A " + std::string(decrypt ? "-d " : "") +
                       "-K " + hex.substr(0, 32) + " -iv " + hex.substr(32) + " -in " +
                       shell_quote(in) + " -out " + shell_quote(out) + " 2>/dev/null") == 0;
}

// The plaintext of an encrypted text file, as the openssl tool reads it.
inline std::string openssl_decrypt(const std::string& file) {
    std::string out = machine_root() + "/openssl-plain";
    if (!openssl_enc(true, file, out)) return "<failed>";
    return read_host_file(out);
}

// Writes an encrypted text file of plain with the openssl tool.
inline bool openssl_encrypt(const std::string& plain, const std::string& file) {
    std::string in = machine_root() + "/openssl-plain";
    write_host_file(in, plain);
    return openssl_enc(false, in, file);
}

// A tmpfs of 64 KiB mounted on a host folder for the length of a test.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& folder) : folder_(folder) {
        std::filesystem::create_directories(folder);
        mounted_ = run_command("mount -t tmpfs -o size=64k tmpfs " + shell_quote(folder) + " 2>&1",
                               &why_) == 0;
    }
    ~SmallDisk() {
        if (mounted_) run_command("umount " + shell_quote(folder_));
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    // Leaves about `left` bytes free.
    void fill(uint64_t left) {
        write_host_file(folder_ + "/filler", "");
        std::string free_bytes;
        run_command("df --output=avail -B1 " + shell_quote(folder_) + " | tail -1", &free_bytes);
        uint64_t available = std::stoull(free_bytes);
        if (available > left)
            write_host_file(folder_ + "/filler", std::string(available - left, 'x'));
    }
    void empty() { std::filesystem::remove(folder_ + "/filler"); }

private:
    std::string folder_;
    std::string why_;
    bool mounted_ = false;
};

// This test program run again as a child process in the same machine, with
// only the DISABLED_ test `test` (which reads TOVEL_CHILD_ROOT, and commands
// on its standard input, one a line).
class Child {
public:
    explicit Child(const std::string& test)
        : process_(test, {"TOVEL_CHILD_ROOT=" + machine_root()}) {}

    void send(const std::string& command) { process_.send(command); }
    // The next line that starts with '>', without it (up to 120 s).
    std::string answer() {
        std::string text = process_.next(
            [](const std::string& line) { return !line.empty() && line[0] == '>'; }, 120000);
        return text[0] == '>' ? text.substr(1) : text;
    }
    std::string ask(const std::string& command) {
        send(command);
        return answer();
    }

private:
    tovel::testing::ChildProcess process_;
};

// In the child: moves to the parent's machine; false when not run as a child.
inline bool enter_parent_machine() {
    const char* root = getenv("TOVEL_CHILD_ROOT");
    if (!root) return false;
    rmdir(machine_root().c_str());  // this run's own fresh root is not used
    setenv("TOVEL_ROOT", root, 1);
    return true;
}

}  // namespace key_checks
