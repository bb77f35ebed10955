// The password store: its file read and written by the openssl command line,
// exact comparison, damaged files, a full disk, and changes from several
// threads and processes that all reach the file. No password in the log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "job/stores/password_manager.h"
#include "job/tests/key_checks.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"

using key_checks::data_file;
using key_checks::openssl_decrypt;
using key_checks::openssl_encrypt;
using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

class Passwords : public PasswordManagerImpl {
public:
    using PasswordManagerImpl::store;
};

PasswordManagerImpl& instance() {
    return *ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

std::string password_of(const char* user) {
    Passwords fresh;
    std::string password = "<none>";
    fresh.findPassword(user, password);
    return password;
}

// The file's object as python3 reads the openssl tool's plaintext: sorted
// "key=value" lines.
std::string file_content() {
    return python_with_input(
        "import json, sys\nd = json.load(sys.stdin)\n"
        "print('\\n'.join(k + '=' + str(v) for k, v in sorted(d.items())))",
        openssl_decrypt(data_file("passwords")));
}

ino_t inode_of(const std::string& path) {
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class PasswordStore : public tovel::testing::LoggedTest {};

TEST_F(PasswordStore, SavedPasswordsAreReadByTheOpensslToolAndByTheNextStart) {
    Passwords store;
    EXPECT_TRUE(store.store.empty());
    ASSERT_TRUE(store.savePassword("alice", "p\xC3\xA4ss w\"ord"));
    ASSERT_TRUE(store.savePassword("bob", "hunter2"));
    EXPECT_EQ(file_content(), "alice=p\xC3\xA4ss w\"ord\nbob=hunter2\n");
    EXPECT_EQ(openssl_decrypt(data_file("passwords")).substr(0, 6), "{\n    ");  // formatted
    EXPECT_EQ(password_of("alice"), "p\xC3\xA4ss w\"ord");
    EXPECT_EQ(password_of("bob"), "hunter2");

    ASSERT_TRUE(
        openssl_encrypt("{\"carol\": \"from the tool\", \"dave\": 5}", data_file("passwords")));
    Passwords reread;
    std::string password = "<none>";
    EXPECT_TRUE(reread.findPassword("carol", password));
    EXPECT_EQ(password, "from the tool");
    EXPECT_FALSE(reread.findPassword("dave", password));  // not a string
    EXPECT_FALSE(reread.findPassword("alice", password));
    EXPECT_EQ(password, "from the tool");
    EXPECT_EQ(logged().find("hunter2"), std::string::npos);
}

TEST_F(PasswordStore, ValidOnlyForTheExactPassword) {
    Passwords store;
    ASSERT_TRUE(store.savePassword("alice", "Secret"));
    EXPECT_TRUE(store.isPasswordValid("alice", "Secret"));
    for (const char* wrong : {"secret", "SECRET", "Secre", "Secret!", "Secres", "", "\0"})
        EXPECT_FALSE(store.isPasswordValid("alice", wrong)) << wrong;
    EXPECT_FALSE(store.isPasswordValid("alice", nullptr));
    EXPECT_FALSE(store.isPasswordValid("bob", "Secret"));
    EXPECT_FALSE(store.isPasswordValid(nullptr, "Secret"));
}

TEST_F(PasswordStore, BadArgumentsChangeNothingAndLogNothing) {
    Passwords store;
    logged();
    EXPECT_FALSE(store.savePassword("", "x"));
    EXPECT_FALSE(store.savePassword("alice", nullptr));
    EXPECT_FALSE(store.removePassword(nullptr));
    std::string password = "kept";
    EXPECT_FALSE(store.findPassword("", password));
    EXPECT_EQ(password, "kept");
    EXPECT_TRUE(store.store.empty());
    EXPECT_FALSE(std::filesystem::exists(data_file("passwords")));
    EXPECT_EQ(logged(), "");
}

TEST_F(PasswordStore, RemovingAnyUserRewritesTheFile) {
    Passwords store;
    ASSERT_TRUE(store.savePassword("alice", "a"));
    ino_t first = inode_of(data_file("passwords"));
    EXPECT_TRUE(store.removePassword("nobody"));
    EXPECT_NE(inode_of(data_file("passwords")), first);  // replaced, same content
    EXPECT_TRUE(store.removePassword("alice"));
    EXPECT_EQ(file_content(), "\n");
    EXPECT_EQ(password_of("alice"), "<none>");
}

TEST_F(PasswordStore, DamagedFileGivesAnEmptyStoreAndStaysUntilTheNextChange) {
    std::filesystem::create_directories(key_checks::data_folder());
    struct Case {
        std::string plain;  // encrypted by the tool; empty: a file that is no encryption
        const char* logged;
    };
    const Case cases[] = {
        {"", "Failed to decode the password storage file.\n"},
        {"[\"alice\", \"s3cret\"]", "Password storage is not JSON object.\n"},
        {"{\"alice\": \"s3cret", "Failed to parse password storage, Line 1, column "},
    };
    for (const Case& c : cases) {
        if (c.plain.empty())
            write_host_file(data_file("passwords"), "this is not the agent's file");
        else
            ASSERT_TRUE(openssl_encrypt(c.plain, data_file("passwords")));
        std::string before = read_host_file(data_file("passwords"));
        logged();
        Passwords store;
        std::string log = logged();
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
        EXPECT_TRUE(store.store.empty());
        EXPECT_FALSE(store.isPasswordValid("alice", "s3cret"));
        EXPECT_EQ(read_host_file(data_file("passwords")), before);
        ASSERT_TRUE(store.savePassword("bob", "b"));
        EXPECT_EQ(file_content(), "bob=b\n");
    }
}

TEST_F(PasswordStore, FullDiskDuringASaveKeepsTheOldFileAndTheChangeInMemory) {
    key_checks::SmallDisk disk(key_checks::data_folder());
    if (!disk.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.why();
    Passwords store;
    ASSERT_TRUE(store.savePassword("alice", "a"));
    std::string before = read_host_file(data_file("passwords"));
    disk.fill(2048);
    logged();
    std::string long_password(20000, 'L');
    EXPECT_FALSE(store.savePassword("bob", long_password.c_str()));
    std::string log = logged();
    EXPECT_NE(log.find("Failed to encode the password storage file.\n"), std::string::npos);
    EXPECT_EQ(log.find("LLLLLLLL"), std::string::npos);
    EXPECT_EQ(read_host_file(data_file("passwords")), before);
    EXPECT_FALSE(key_checks::has_temporary_of(key_checks::data_folder(), "passwords"));
    EXPECT_EQ(password_of("bob"), "<none>");
    EXPECT_TRUE(store.isPasswordValid("bob", long_password.c_str()));  // kept in memory

    disk.empty();
    ASSERT_TRUE(store.savePassword("carol", "c"));
    EXPECT_EQ(password_of("bob"), long_password);
    EXPECT_EQ(password_of("carol"), "c");
}

TEST_F(PasswordStore, ThreadsChangingTheStoreAllReachTheFile) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 25; ++i) {
                std::string user = std::to_string(t * 1000 + i);
                EXPECT_TRUE(instance().savePassword(user.c_str(), "pw"));
                EXPECT_TRUE(instance().isPasswordValid(user.c_str(), "pw"));
            }
        });
    }
    for (auto& t : threads) t.join();
    Passwords fresh;
    EXPECT_EQ(fresh.store.size(), 100u);
}

// A child of the cross-process test: saves "<name>-<i>" for i below the
// count, or removes a user, on a store of its own.
TEST(PasswordStoreProcess, DISABLED_Child) {
    if (!key_checks::enter_parent_machine()) GTEST_SKIP();
    PasswordManagerImpl store;
    std::string command;
    std::cout << "\n>ready" << std::endl;
    while (std::getline(std::cin, command)) {
        if (command.rfind("save ", 0) == 0) {
            size_t space = command.find(' ', 5);
            std::string name = command.substr(5, space - 5);
            int count = std::stoi(command.substr(space + 1));
            bool all = true;
            for (int i = 0; i < count; ++i)
                all = store.savePassword((name + "-" + std::to_string(i)).c_str(), name.c_str()) &&
                      all;
            std::cout << "\n>" << (all ? "saved" : "failed") << std::endl;
        } else if (command.rfind("remove ", 0) == 0) {
            std::cout << "\n>" << store.removePassword(command.substr(7).c_str()) << std::endl;
        }
    }
    _exit(0);
}

TEST(PasswordStoreProcess, ChangesOfSeveralProcessesAllReachTheFile) {
    key_checks::Child a("PasswordStoreProcess.DISABLED_Child");
    key_checks::Child b("PasswordStoreProcess.DISABLED_Child");
    ASSERT_EQ(a.answer(), "ready");
    ASSERT_EQ(b.answer(), "ready");
    PasswordManagerImpl mine;
    ASSERT_TRUE(mine.savePassword("early", "e"));
    a.send("save a 40");
    b.send("save b 40");
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(mine.savePassword(("m-" + std::to_string(i)).c_str(), "m"));
    EXPECT_EQ(a.answer(), "saved");
    EXPECT_EQ(b.answer(), "saved");
    // A removal in another process holds against this one's older memory.
    EXPECT_EQ(a.ask("remove early"), "1");
    ASSERT_TRUE(mine.savePassword("late", "l"));
    Passwords fresh;
    EXPECT_EQ(fresh.store.size(), 121u);
    EXPECT_EQ(password_of("a-39"), "a");
    EXPECT_EQ(password_of("b-0"), "b");
    EXPECT_EQ(password_of("early"), "<none>");
}

}  // namespace
