// The registry of the test machine: keys as folders matched in any case,
// typed values as files read back by python3, handles and access, and
// creators and writers racing each other across processes and threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::Handle;
using platform_tests::python;
using tovel::testing::machine_root;

namespace {

// A key handle of the layer, closed when the holder goes.
struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    ~Key() {
        if (h) RegCloseKey(h);
    }
};

LSTATUS create(Key& key, const char* path, DWORD* disposition = nullptr,
               REGSAM access = KEY_ALL_ACCESS, HKEY base = HKEY_LOCAL_MACHINE) {
    return RegCreateKeyExA(base, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key.h,
                           disposition);
}

LSTATUS set(HKEY key, const char* name, DWORD type, const std::string& bytes) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
}

// The value's bytes, or "<status>" when the query fails.
std::string get(HKEY key, const char* name, DWORD* type = nullptr) {
    std::string buffer(8192, '#');
    DWORD size = static_cast<DWORD>(buffer.size());
    LSTATUS status =
        RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    return status ? "<" + std::to_string(status) + ">" : buffer.substr(0, size);
}

std::string hklm() { return machine_root() + "/registry/HKEY_LOCAL_MACHINE"; }

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

}  // namespace

TEST(PlatformRegistryKeys, CreateMakesMissingKeysInTheirSpellingAndFindsKeysInAnyCase) {
    DWORD disposition = 0;
    Key tovel, again, jobs, self, opened;
    ASSERT_EQ(create(tovel, "SOFTWARE\\morvask\\Tovel", &disposition), 0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(create(again, "software\\MORVASK\\tovel", &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(create(jobs, "Software\\Morvask\\Tovel\\Jobs", &disposition), 0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(create(self, "", &disposition, KEY_ALL_ACCESS, tovel.h), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\MORVASK\\TOVEL", 0, KEY_READ, &opened.h),
              0);
    EXPECT_EQ(entries(hklm()), std::set<std::string>{"SOFTWARE"});
    EXPECT_EQ(entries(hklm() + "/SOFTWARE/morvask/Tovel"), std::set<std::string>{"Jobs"});
    // Every handle names the one folder.
    EXPECT_EQ(set(self.h, "Version", REG_SZ, "7"), 0);
    EXPECT_EQ(get(again.h, "version"), "7");
    EXPECT_EQ(get(opened.h, "VERSION"), "7");

    for (const char* missing : {"SOFTWARE\\Nope", "SOFTWARE\\Nope\\Deeper", "Tovel"}) {
        HKEY result = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, missing, 0, KEY_READ, &result), 2) << missing;
        EXPECT_EQ(result, nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(hklm() + "/SOFTWARE/Nope"));
}

TEST(PlatformRegistryKeys, BadPathsAndArgumentsGive87AndMakeNothing) {
    Key key;
    EXPECT_EQ(get(HKEY_LOCAL_MACHINE, "Nothing"), "<2>");  // the root key is there, and empty
    std::string too_long(256, 'k');
    for (const char* path :
         {"\\SOFTWARE", "SOFTWARE\\", "SOFTWARE\\\\Tovel", ".", "SOFTWARE\\..", "a/b", "=value",
          too_long.c_str(), static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(create(key, path), 87) << (path ? path : "null");
        if (!path) continue;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key.h), 87) << path;
    }
    auto create_with = [&](DWORD reserved, DWORD options, PHKEY result) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", reserved, nullptr, options, KEY_READ,
                               nullptr, result, nullptr);
    };
    EXPECT_EQ(create_with(1, 0, &key.h), 87);
    EXPECT_EQ(create_with(0, 1, &key.h), 87);
    EXPECT_EQ(create_with(0, 0, nullptr), 87);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 1, KEY_READ, &key.h), 87);
    EXPECT_EQ(key.h, nullptr);
    EXPECT_TRUE(entries(hklm()).empty());
    EXPECT_EQ(create(key, std::string(255, 'k').c_str()), 0);  // the longest name a folder takes
}

TEST(PlatformRegistryKeys, HandlesHoldCloseOnExecDescriptorsAndGive6OnceClosed) {
    Key made;
    ASSERT_EQ(create(made, "SOFTWARE"), 0);
    auto descriptors = [] {  // this process's descriptors open on the key's folder
        std::vector<int> out;
        auto folder = std::filesystem::canonical(hklm() + "/SOFTWARE");
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error) == folder)
                out.push_back(std::stoi(entry.path().filename().string()));
        }
        return out;
    };
    size_t before = descriptors().size();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
    EXPECT_EQ(descriptors().size(), before + 1);
    for (int fd : descriptors()) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd;
    EXPECT_EQ(RegCloseKey(key), 0);
    EXPECT_EQ(descriptors().size(), before);

    // A closed, null or foreign handle is refused by every function.
    Handle file(platform_tests::open_file(L"C:\\file.txt", GENERIC_WRITE, CREATE_NEW));
    ASSERT_TRUE(file.valid());
    for (HKEY bad : {key, static_cast<HKEY>(nullptr), static_cast<HKEY>(file.get())}) {
        HKEY out = nullptr;
        EXPECT_EQ(RegOpenKeyExA(bad, "", 0, KEY_READ, &out), 6);
        EXPECT_EQ(RegCreateKeyExA(bad, "X", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr), 6);
        EXPECT_EQ(get(bad, "A"), "<6>");
        EXPECT_EQ(set(bad, "A", REG_SZ, "x"), 6);
        EXPECT_EQ(RegCloseKey(bad), 6);
    }
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file.get(), "ok", 2, &written, nullptr));  // RegCloseKey left it open

    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), 0);  // a no-op: the key stays usable
    EXPECT_EQ(set(HKEY_LOCAL_MACHINE, "Root", REG_SZ, "r"), 0);
    EXPECT_EQ(get(HKEY_LOCAL_MACHINE, "ROOT"), "r");
    Key user;
    EXPECT_EQ(create(user, "Software", nullptr, KEY_ALL_ACCESS, HKEY_CURRENT_USER), 0);
    EXPECT_TRUE(
        std::filesystem::is_directory(machine_root() + "/registry/HKEY_CURRENT_USER/Software"));
}

TEST(PlatformRegistryKeys, TheHandleGivesOnlyTheAccessAskedFor) {
    Key all, reader, writer;
    ASSERT_EQ(create(all, "SOFTWARE\\Tovel"), 0);
    ASSERT_EQ(set(all.h, "A", REG_SZ, "a"), 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tovel", 0, KEY_READ, &reader.h), 0);
    ASSERT_EQ(create(writer, "SOFTWARE\\Tovel", nullptr, KEY_WRITE), 0);
    EXPECT_EQ(set(reader.h, "A", REG_SZ, "b"), 5);
    EXPECT_EQ(get(writer.h, "A"), "<5>");
    EXPECT_EQ(set(writer.h, "A", REG_SZ, "c"), 0);
    EXPECT_EQ(get(reader.h, "A"), "c");
}

TEST(PlatformRegistryValues, TypedValuesComeBackWithTheirExactBytesUnderAnyCase) {
    Key key, sub;
    ASSERT_EQ(create(key, "SOFTWARE\\Tovel"), 0);
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {"Path", REG_SZ, std::string("C:\\ProgramData\0", 15)},  // NUL counted by the writer
        {"NoNul", REG_SZ, "abc"},                                // and none added when not
        {"Expand", REG_EXPAND_SZ, std::string("%ProgramData%\\x\0", 17)},
        {"Count", REG_DWORD, std::string("\x04\x03\x02\x01", 4)},
        {"Blob", REG_BINARY, std::string("\0\xff\0", 3)},
        {"Nothing", REG_NONE, ""},
        {"Odd", 0x12345678u, "z"},
        {"a/b", REG_SZ, "slash"},  // names the host would take for paths stay names
        {"100%", REG_SZ, "percent"},
        {"=x", REG_SZ, "equals"},
        {"..", REG_SZ, "dots"},
        {nullptr, REG_SZ, "default"},
    };
    for (const auto& c : cases) ASSERT_EQ(set(key.h, c.name, c.type, c.bytes), 0) << c.name;
    for (const auto& c : cases) {
        DWORD type = 0;
        EXPECT_EQ(get(key.h, c.name, &type), c.bytes) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    EXPECT_EQ(get(key.h, ""), "default");  // "" and null both name the default value
    // A write in another case replaces the value, keeps its spelling and leaves no tail.
    EXPECT_EQ(set(key.h, "PATH", REG_BINARY, "C"), 0);
    DWORD type = 0;
    EXPECT_EQ(get(key.h, "path", &type), "C");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(create(sub, "Path", nullptr, KEY_ALL_ACCESS, key.h), 0);  // a sub-key beside it
    EXPECT_EQ(get(key.h, "Path"), "C");
    auto files = entries(hklm() + "/SOFTWARE/Tovel");
    EXPECT_EQ(files.size(), std::size(cases) + 1);
    EXPECT_TRUE(files.count("=Path") && files.count("Path"));
    EXPECT_EQ(entries(hklm() + "/SOFTWARE"), std::set<std::string>{"Tovel"});
}

TEST(PlatformRegistryValues, QueryGivesSizesAndShortBufferErrorsAndBadWritesTheirCodes) {
    Key key;
    ASSERT_EQ(create(key, "SOFTWARE\\Tovel"), 0);
    ASSERT_EQ(set(key.h, "Name", REG_SZ, std::string("hello\0", 6)), 0);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key.h, "NAME", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, REG_SZ);
    BYTE buffer[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    size = 5;
    EXPECT_EQ(RegQueryValueExA(key.h, "Name", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(buffer[0], '#');
    size = 8;
    EXPECT_EQ(RegQueryValueExA(key.h, "Name", nullptr, nullptr, buffer, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 7), std::string("hello\0#", 7));
    EXPECT_EQ(RegQueryValueExA(key.h, "Name", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(RegQueryValueExA(key.h, "Name", nullptr, nullptr, buffer, nullptr), 87);
    EXPECT_EQ(RegQueryValueExA(key.h, "Name", &size, nullptr, nullptr, &size), 87);
    EXPECT_EQ(RegQueryValueExA(key.h, "Missing", nullptr, &type, nullptr, &size), 2);
    EXPECT_EQ(RegQueryValueExA(key.h, nullptr, nullptr, &type, nullptr, &size), 2);

    EXPECT_EQ(RegSetValueExA(key.h, "A", 0, REG_BINARY, nullptr, 3), ERROR_NOACCESS);
    EXPECT_EQ(RegSetValueExA(key.h, "A", 1, REG_BINARY, nullptr, 0), 87);
    EXPECT_EQ(set(key.h, std::string(255, 'v').c_str(), REG_SZ, "x"), 87);
    EXPECT_EQ(set(key.h, (std::string(250, 'v') + "%%").c_str(), REG_SZ, "x"), 87);
    EXPECT_EQ(entries(hklm() + "/SOFTWARE/Tovel"), std::set<std::string>{"=Name"});
    EXPECT_EQ(set(key.h, std::string(254, 'v').c_str(), REG_SZ, "x"), 0);
    EXPECT_EQ(RegSetValueExA(key.h, "Empty", 0, REG_BINARY, nullptr, 0), 0);
    EXPECT_EQ(get(key.h, "empty"), "");
}

TEST(PlatformRegistryFormat, AValueFileIsTheTypeThenTheDataAsAnIndependentReaderSeesIt) {
    Key key, made;
    ASSERT_EQ(create(key, "SOFTWARE\\morvask\\Tovel"), 0);
    ASSERT_EQ(set(key.h, "Count", REG_DWORD, std::string("\xef\xbe\xad\xde", 4)), 0);
    ASSERT_EQ(set(key.h, "Dir/Name", REG_SZ, std::string("C:\\x\0", 5)), 0);
    std::string root = machine_root() + "/registry", folder = hklm() + "/SOFTWARE/morvask/Tovel";
    EXPECT_EQ(
        python("import os,stat,struct\n"
               "mode=lambda p: oct(stat.S_IMODE(os.stat(p).st_mode))\n"
               "for d,_,files in sorted(os.walk('" +
               root +
               "')):\n"
               "  print(d[len('" +
               root +
               "'):], mode(d))\n"
               "  for f in sorted(files):\n"
               "    b=open(os.path.join(d,f),'rb').read()\n"
               "    print(f, mode(os.path.join(d,f)), struct.unpack('<I',b[:4])[0], b[4:].hex())"),
        " 0o700\n/HKEY_LOCAL_MACHINE 0o700\n/HKEY_LOCAL_MACHINE/SOFTWARE 0o700\n"
        "/HKEY_LOCAL_MACHINE/SOFTWARE/morvask 0o700\n"
        "/HKEY_LOCAL_MACHINE/SOFTWARE/morvask/Tovel 0o700\n"
        "=Count 0o600 4 efbeadde\n=Dir%2FName 0o600 1 433a5c7800");

    // What another writer of the format puts there is read back, in any case.
    python("import os,struct\nos.mkdir('" + folder + "/Made')\nopen('" + folder +
           "/=Imported','wb').write(struct.pack('<I',3)+bytes([1,2,255]))");
    DWORD type = 0;
    EXPECT_EQ(get(key.h, "IMPORTED", &type), "\x01\x02\xff");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(RegOpenKeyExA(key.h, "MADE", 0, KEY_READ, &made.h), 0);
}

TEST(PlatformRegistryConcurrency, ProcessesCreatingOneKeyAtOnceAllSucceedAndOneMakesIt) {
    constexpr int kRounds = 40, kChildren = 6;
    for (int round = 0; round < kRounds; ++round) {
        int gate[2];
        ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kChildren; ++i) {
            pid_t pid = ::fork();
            if (pid == 0) {
                char byte;
                ::close(gate[1]);
                (void)::read(gate[0], &byte, 1);  // returns when the parent lets go of the gate
                // Two spellings: the same one races in mkdir, the other in the lookup.
                std::string path = (i % 2 ? "race" : "RACE") + std::to_string(round) + "\\Leaf";
                Key key;
                DWORD disposition = 0;
                LSTATUS status = create(key, path.c_str(), &disposition, KEY_READ);
                ::_exit(status ? 100 : static_cast<int>(disposition));
            }
            ASSERT_GT(pid, 0);
            children.push_back(pid);
        }
        ::close(gate[0]);
        ::close(gate[1]);
        std::multiset<int> codes;
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            codes.insert(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
        EXPECT_EQ(codes.count(REG_CREATED_NEW_KEY), 1u) << "round " << round;
        EXPECT_EQ(codes.count(REG_OPENED_EXISTING_KEY), kChildren - 1u) << "round " << round;
    }
    EXPECT_EQ(entries(hklm()).size(), size_t{kRounds});
}

TEST(PlatformRegistryConcurrency, ReadersSeeTheOldOrTheNewValueNeverAPart) {
    Key key, reader;
    ASSERT_EQ(create(key, "SOFTWARE\\Tovel"), 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tovel", 0, KEY_READ, &reader.h), 0);
    const std::string small(1000, 'a'), large(6000, 'b');
    ASSERT_EQ(set(key.h, "Value", REG_BINARY, small), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i)
            EXPECT_EQ(
                i % 2 ? set(key.h, "Value", REG_BINARY, small) : set(key.h, "value", REG_SZ, large),
                0);
        done = true;
    });
    int reads = 0, torn = 0;
    while (!done) {
        DWORD type = 0;
        std::string got = get(reader.h, "VALUE", &type);
        ++reads;
        torn += !(type == REG_BINARY && got == small) && !(type == REG_SZ && got == large);
    }
    writer.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(entries(hklm() + "/SOFTWARE/Tovel"),
              std::set<std::string>{"=Value"});  // no temporaries
}
