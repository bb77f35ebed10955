// The machine's global key: made once when absent, read back by python3 from
// the registry's file, never replaced when it is damaged or unreadable, and
// one key for threads and processes that race to make it.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "job/stores/key_manager.h"
#include "job/tests/key_checks.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"

using key_checks::global_key_file;
using key_checks::stored_key_hex;
using tovel::testing::read_host_file;
using tovel::testing::to_hex;

namespace {

class Keys : public KeyManagerImpl {
public:
    using KeyManagerImpl::generateKey;
    using KeyManagerImpl::loadGlobalKey;
};

// The global key as hexadecimal text (key, then IV), or "<false>".
std::string global_key_hex() {
    unsigned char key[16], iv[16];
    Keys keys;
    if (!keys.globalKey(key, 16, iv, 16)) return "<false>";
    return to_hex(std::string(reinterpret_cast<char*>(key), 16) +
                  std::string(reinterpret_cast<char*>(iv), 16));
}

void plant_value(DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\morvask\\Tovel", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    EXPECT_EQ(RegSetValueExA(key, "random", 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              0);
    RegCloseKey(key);
}

class GlobalKey : public tovel::testing::LoggedTest {};

TEST_F(GlobalKey, FirstCallStoresItAndEveryLaterCallReadsTheSame) {
    EXPECT_FALSE(std::filesystem::exists(global_key_file()));
    std::string first = global_key_hex();
    ASSERT_EQ(first.size(), 64u);
    std::string value = read_host_file(global_key_file());
    EXPECT_EQ(value.size(), 4u + 44 + 1);  // REG_SZ, 44 characters and the NUL
    EXPECT_EQ(stored_key_hex(), first);
    EXPECT_EQ(global_key_hex(), first);
    EXPECT_EQ(logged(), "");

    unsigned char key[16], iv[16];
    Keys keys;
    EXPECT_TRUE(keys.loadGlobalKey(key, 16, iv, 16));
    EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(key), 16)), first.substr(0, 32));
    // Another value is another key: nothing is cached.
    plant_value(REG_SZ, std::string("QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUE=") + '\0');
    std::string all_a;
    for (int i = 0; i < 32; ++i) all_a += "41";
    EXPECT_EQ(global_key_hex(), all_a);
}

TEST_F(GlobalKey, RefusesOtherSizesAndNullBuffersWithoutMakingAKey) {
    unsigned char key[32], iv[32];
    Keys keys;
    EXPECT_FALSE(keys.globalKey(key, 32, iv, 16));
    EXPECT_FALSE(keys.globalKey(key, 16, iv, 8));
    EXPECT_NE(logged().find("Incorrect key or iv size.\n"), std::string::npos);
    EXPECT_FALSE(keys.globalKey(nullptr, 16, iv, 16));
    EXPECT_FALSE(keys.loadGlobalKey(key, 16, iv, 16));  // absent
    EXPECT_EQ(logged(), "");
    EXPECT_FALSE(std::filesystem::exists(global_key_file()));

    std::string text;
    ASSERT_TRUE(keys.generateKey(text, key, 16, iv, 16));
    EXPECT_EQ(text.size(), 44u);
    EXPECT_FALSE(keys.generateKey(text, key, 8, iv, 16));
    EXPECT_FALSE(std::filesystem::exists(global_key_file()));  // made, not stored
}

// Values that are there but give no key: each fails, is logged, and stays.
TEST_F(GlobalKey, DamagedValueFailsAndIsLeftAsItIs) {
    struct Case {
        const char* what;
        DWORD type;
        std::string bytes;
        const char* logged;
    };
    std::string b31 = "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB";      // 30 bytes
    std::string b33 = "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB";  // 33 bytes
    const Case cases[] = {
        {"too few bytes", REG_SZ, b31 + '\0', "Failed to decode the global key with Base64"},
        {"too many bytes", REG_SZ, b33 + '\0', "Failed to decode the global key with Base64"},
        {"not Base64", REG_SZ, std::string(44, '*') + '\0',
         "Failed to decode the global key with Base64"},
        {"empty", REG_SZ, std::string(1, '\0'), "Failed to decode the global key with Base64"},
        {"too long", REG_SZ, std::string(64, 'A') + '\0',
         "Failed to get the value of Tovel registery key"},
        {"no NUL", REG_SZ, b33, "Failed to get the value of Tovel registery key"},
        {"binary", REG_BINARY, std::string(32, 'k'),
         "Failed to get the value of Tovel registery key"},
    };
    for (const Case& c : cases) {
        plant_value(c.type, c.bytes);
        std::string before = read_host_file(global_key_file());
        logged();
        EXPECT_EQ(global_key_hex(), "<false>") << c.what;
        EXPECT_NE(logged().find(c.logged), std::string::npos) << c.what;
        EXPECT_EQ(read_host_file(global_key_file()), before) << c.what;
    }
}

TEST_F(GlobalKey, ReadFailureOtherThanAbsenceNeverOverwrites) {
    plant_value(REG_SZ, "x");
    std::filesystem::remove(global_key_file());
    std::filesystem::create_directory(global_key_file());  // a value that cannot be read
    EXPECT_EQ(global_key_hex(), "<false>");
    EXPECT_NE(logged().find("Failed to get the value of Tovel registery key"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(global_key_file()));
}

TEST_F(GlobalKey, RacingThreadsEndWithOneKey) {
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&s] { s = global_key_hex(); });
    for (auto& t : threads) t.join();
    std::string stored = stored_key_hex();
    ASSERT_EQ(stored.size(), 64u);
    for (const auto& s : seen) EXPECT_EQ(s, stored);
}

// A child of the cross-process test: says it starts, then asks for the key.
TEST(GlobalKeyProcess, DISABLED_Child) {
    if (!key_checks::enter_parent_machine()) GTEST_SKIP();
    std::cout << "\n>started" << std::endl;
    std::string key = global_key_hex();
    std::cout << "\n>" << key << std::endl;
    _exit(0);
}

TEST(GlobalKeyProcess, ProcessesThatAllFindItAbsentEndWithOneKey) {
    // Holding the makers' lock lets every child find the key absent before
    // any of them may make it.
    HANDLE makers = CreateMutexW(nullptr, TRUE, L"Global\\tovel.global-key");
    ASSERT_NE(makers, nullptr);
    std::vector<std::unique_ptr<key_checks::Child>> children;
    for (int i = 0; i < 4; ++i)
        children.push_back(std::make_unique<key_checks::Child>("GlobalKeyProcess.DISABLED_Child"));
    for (auto& child : children) ASSERT_EQ(child->answer(), "started");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(global_key_file()));
    EXPECT_TRUE(ReleaseMutex(makers));
    CloseHandle(makers);
    std::set<std::string> keys;
    for (auto& child : children) keys.insert(child->answer());
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(*keys.begin(), stored_key_hex());
    EXPECT_EQ(keys.begin()->size(), 64u);
}

}  // namespace
