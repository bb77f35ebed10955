// Encrypted text files: read and written by the openssl command line with the
// key and IV of the registry value, wrong keys and damaged files refused, the
// old file kept when a write fails, and no secret in the log.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "job/stores/key_manager.h"
#include "job/tests/key_checks.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"

using key_checks::data_file;
using key_checks::openssl_decrypt;
using key_checks::openssl_encrypt;
using key_checks::stored_key_hex;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

const wchar_t kStore[] = L"C:\\ProgramData\\morvask\\Tovel\\passwords";
const char kJson[] = "{\n    \"alice\" : \"p\\u00e4ss w\\\"ord\",\n    \"bob\" : \"hunter2\"\n}";

class TextFile : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        std::filesystem::create_directories(key_checks::data_folder());
    }
    KeyManagerImpl keys;
};

TEST_F(TextFile, WrittenFileIsOneBase64LineThatTheOpensslToolDecrypts) {
    ASSERT_TRUE(keys.encryptStringToTextFile(kStore, kJson));
    std::string file = read_host_file(data_file("passwords"));
    EXPECT_EQ(file.find_first_of("\r\n \0"), std::string::npos);
    EXPECT_EQ(file.size() % 4, 0u);
    EXPECT_EQ(openssl_decrypt(data_file("passwords")), kJson);
    EXPECT_FALSE(key_checks::has_temporary_of(key_checks::data_folder(), "passwords"));
    // The IV is the global key's: the same text always gives the same file.
    ASSERT_TRUE(keys.encryptStringToTextFile(kStore, kJson));
    EXPECT_EQ(read_host_file(data_file("passwords")), file);
}

TEST_F(TextFile, FileWrittenByTheOpensslToolIsRead) {
    ASSERT_EQ(stored_key_hex(), "");
    std::string text;
    unsigned char key[16], iv[16];
    ASSERT_TRUE(keys.globalKey(key, 16, iv, 16));
    ASSERT_TRUE(openssl_encrypt(kJson, data_file("passwords")));
    ASSERT_TRUE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_EQ(text, kJson);
    // Line breaks around the text do not matter; what follows a NUL is cut.
    write_host_file(data_file("passwords"),
                    "\n  " + read_host_file(data_file("passwords")) + "\r\n");
    text.clear();
    ASSERT_TRUE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_EQ(text, kJson);
    ASSERT_TRUE(openssl_encrypt(std::string("cut\0here", 8), data_file("passwords")));
    ASSERT_TRUE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_EQ(text, "cut");
}

TEST_F(TextFile, EmptyTextIsOnePaddingBlockAndReadsBackEmpty) {
    ASSERT_TRUE(keys.encryptStringToTextFile(kStore, ""));
    EXPECT_EQ(read_host_file(data_file("passwords")).size(), 24u);
    std::string text = "before";
    ASSERT_TRUE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_EQ(text, "");
}

TEST_F(TextFile, NullOrEmptyPathFailsAndCreatesNothing) {
    EXPECT_FALSE(keys.encryptStringToTextFile(L"", kJson));
    EXPECT_FALSE(keys.encryptStringToTextFile(nullptr, kJson));
    std::string text;
    EXPECT_FALSE(keys.decryptStringFromTextFile(L"", text));
    EXPECT_EQ(stored_key_hex(), "");  // not even the key
}

void set_global_key(const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\morvask\\Tovel", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueExA(key, "random", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1)),
              0);
    RegCloseKey(key);
}

TEST_F(TextFile, WrongKeyDamageOrAbsenceFailsAndLeavesTheTextAlone) {
    // A fixed key, so that the damage below gives the same noise every run.
    set_global_key("MDEyMzQ1Njc4OWFiY2RlZmZlZGNiYTk4NzY1NDMyMTA=");
    ASSERT_TRUE(keys.encryptStringToTextFile(kStore, kJson));
    std::string good = read_host_file(data_file("passwords"));
    std::string text = "untouched";
    auto refused = [&](const std::string& content, const char* why) {
        write_host_file(data_file("passwords"), content);
        logged();
        EXPECT_FALSE(keys.decryptStringFromTextFile(kStore, text)) << why;
        EXPECT_NE(logged().find("Failed to decrypt the content from \"C:\\ProgramData\\morvask\\"
                                "Tovel\\passwords\": "),
                  std::string::npos)
            << why;
        EXPECT_EQ(text, "untouched") << why;
    };
    std::string damaged = good;
    damaged[damaged.size() / 2] = damaged[damaged.size() / 2] == 'A' ? 'B' : 'A';
    refused(damaged, "a changed character");
    refused(good.substr(0, good.size() - 4), "a cut text");
    refused("", "an empty file");
    refused("*** not base64 ***", "no Base64");

    // Another machine's key (a valid value that is not the one used).
    write_host_file(data_file("passwords"), good);
    set_global_key(python("import base64; print(base64.b64encode(bytes(range(32))).decode())"));
    refused(good, "another key");

    std::filesystem::remove(data_file("passwords"));
    EXPECT_FALSE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_NE(logged().find("Failed to open file \"C:\\ProgramData\\morvask\\Tovel\\passwords\" "
                            "for reading.\n"),
              std::string::npos);
}

TEST_F(TextFile, FirstWordLongerThanTheBoundIsRefused) {
    write_host_file(data_file("passwords"), std::string(KeyManagerImpl::kMaxTextFileWord + 1, 'A'));
    std::string text;
    EXPECT_FALSE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_NE(logged().find("the file holds more than an encrypted text"), std::string::npos);
}

TEST_F(TextFile, WriteThatFailsReportsFalseAndKeepsTheOldFile) {
    EXPECT_FALSE(keys.encryptStringToTextFile(L"C:\\no\\such\\folder\\passwords", kJson));
    EXPECT_NE(logged().find("Failed to open file \"C:\\no\\such\\folder\\passwords\" for "
                            "writing.\n"),
              std::string::npos);

    key_checks::SmallDisk disk(machine_root() + "/drives/d");
    if (!disk.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.why();
    ASSERT_TRUE(keys.encryptStringToTextFile(L"D:\\passwords", kJson));
    std::string before = read_host_file(machine_root() + "/drives/d/passwords");
    disk.fill(2048);
    logged();
    EXPECT_FALSE(keys.encryptStringToTextFile(L"D:\\passwords", std::string(20000, 'x')));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_NE(logged().find("Failed to write the password content to \"D:\\passwords\".\n"),
              std::string::npos);
    EXPECT_EQ(read_host_file(machine_root() + "/drives/d/passwords"), before);
    EXPECT_FALSE(key_checks::has_temporary_of(machine_root() + "/drives/d", "passwords"));
    std::string text;
    EXPECT_TRUE(keys.decryptStringFromTextFile(L"D:\\passwords", text));
    EXPECT_EQ(text, kJson);
}

TEST_F(TextFile, NoKeyOrTextReachesTheLog) {
    ASSERT_TRUE(keys.encryptStringToTextFile(kStore, kJson));
    std::string good = read_host_file(data_file("passwords"));
    write_host_file(data_file("passwords"), good.substr(4));
    std::string text;
    EXPECT_FALSE(keys.decryptStringFromTextFile(kStore, text));
    EXPECT_FALSE(keys.encryptStringToTextFile(L"C:\\none\\x", kJson));
    std::string log = logged();
    EXPECT_NE(log, "");
    std::string hex = stored_key_hex();
    std::string value = read_host_file(key_checks::global_key_file()).substr(4, 44);
    for (const std::string& secret :
         {hex.substr(0, 32), hex.substr(32), value, std::string("hunter2"), good.substr(8, 16)})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

}  // namespace
