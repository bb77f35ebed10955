// The settings store: where the file is read and written, its values and
// their defaults, the hosts it accepts, failed writes and concurrent changes.
#include "job/stores/options.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "wirekit/http_timeouts.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

typedef ATL::CComSingleton<OptionsImpl, ATL::CComAutoCriticalSection> Options;

json_spirit::Object parsed(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value.type() == json_spirit::obj_type ? value.get_obj() : json_spirit::Object();
}

struct Server {
    std::string name;
    std::string host;
    unsigned short port;
};

// The temporary file that a save on this thread writes beside a file.
std::string temporary_of(const std::string& file) {
    return file + ".new-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetCurrentThreadId());
}

Server server_of(const OptionsImpl& options) {
    Server server{"#", "#", 0};
    options.getServerInfo(server.name, server.host, server.port);
    return server;
}

// "The program" is C:\Program Files\Tovel\agent.exe of the test's machine.
class OptionsTest : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        setenv("TOVEL_PROGRAM", "C:\\Program Files\\Tovel\\agent.exe", 1);
        program_folder_ = host_of(L"C:\\Program Files\\Tovel");
        data_folder_ = host_of(L"C:\\ProgramData\\morvask\\Tovel");
        std::filesystem::create_directories(program_folder_);
        std::filesystem::create_directories(data_folder_);
        program_ = program_folder_ + "/options";
        data_ = data_folder_ + "/options";
    }
    void TearDown() override {
        unsetenv("TOVEL_PROGRAM");
        LoggedTest::TearDown();
    }

    std::string program_folder_, data_folder_, program_, data_;
};

TEST_F(OptionsTest, NeitherFileGivesTheDefaultsAndTheFirstSetterWritesBoth) {
    OptionsImpl options;
    EXPECT_NE(logged().find("Neither \"C:\\Program Files\\Tovel\\options\" nor "
                            "\"C:\\ProgramData\\morvask\\Tovel\\options\" exists.\n"),
              std::string::npos);
    Server server = server_of(options);
    EXPECT_EQ(server.name, "");
    EXPECT_EQ(server.host, "");
    EXPECT_EQ(server.port, 80);
    EXPECT_FALSE(options.enableSnapshot());
    EXPECT_EQ(options.update_start_at(), 600000);
    EXPECT_EQ(options.update_again_at(), 14400000);
    EXPECT_EQ(options.loginRetrytimes(), 5);
    EXPECT_EQ(options.loginAgainAfter(), 300);
    EXPECT_FALSE(std::filesystem::exists(data_));

    EXPECT_EQ(options.loginRetrytimes(7), 7);
    EXPECT_EQ(read_host_file(data_), "{\n    \"loginRetrytimes\": 7\n}");
    EXPECT_EQ(read_host_file(program_), read_host_file(data_));
}

TEST_F(OptionsTest, TheFileBesideTheProgramIsReadFirstAndCopiedWhenAlone) {
    write_host_file(program_, R"({"webServerHost":"beside.example","custom":[1]})");
    {
        OptionsImpl options;
        EXPECT_EQ(server_of(options).host, "beside.example");
        EXPECT_EQ(parsed(read_host_file(data_)), parsed(read_host_file(program_)));
        EXPECT_EQ(parsed(read_host_file(data_)).size(), 2u);
    }
    // Both present: the program's file wins, and the data file is left as it is.
    write_host_file(data_, R"({"webServerHost":"data.example"})");
    OptionsImpl options;
    EXPECT_EQ(server_of(options).host, "beside.example");
    EXPECT_EQ(read_host_file(data_), R"({"webServerHost":"data.example"})");
}

TEST_F(OptionsTest, TheDataFileIsReadWhenNoFileIsBesideTheProgram) {
    std::filesystem::create_directories(program_);  // a folder is no file
    write_host_file(data_, R"({"webServerHost":"data.example"})");
    OptionsImpl options;
    EXPECT_EQ(server_of(options).host, "data.example");
    EXPECT_EQ(read_host_file(data_), R"({"webServerHost":"data.example"})");
    EXPECT_EQ(logged(), "");
}

TEST_F(OptionsTest, ABadFileIsLoggedAndLeftUntilTheNextChange) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{\"webServerHost\": \"a.example\",\n  oops}",
         "Failed to parse options storage, Line 2, column "},
        {"[\"webServerHost\"]", "Options storage is not JSON object.\n"},
    };
    for (const auto& [text, message] : cases) {
        write_host_file(program_, text);
        OptionsImpl options;
        EXPECT_NE(logged().find(message), std::string::npos) << text;
        EXPECT_EQ(server_of(options).host, "");
        EXPECT_EQ(read_host_file(program_), text);
        EXPECT_FALSE(std::filesystem::exists(data_));
    }
    std::filesystem::remove(program_);
    std::filesystem::create_directories(data_);
    OptionsImpl options;
    EXPECT_NE(logged().find("Failed to open options storage for reading.\n"), std::string::npos);
    EXPECT_EQ(options.update_start_at(), 600000);
}

TEST_F(OptionsTest, ValuesOfOtherTypesGiveTheDefaults) {
    write_host_file(program_, R"({"webServerPort": 65616, "webServerName": 3,
        "loginRetrytimes": "9", "loginAgainAfter": 9.0, "update_start_at": 10000000000,
        "update_again_at": 130000, "enableSnapshot": true})");
    OptionsImpl options;
    Server server = server_of(options);
    EXPECT_EQ(server.port, 80);  // the low 16 bits
    EXPECT_EQ(server.name, "");
    EXPECT_EQ(options.loginRetrytimes(), 5);
    EXPECT_EQ(options.loginAgainAfter(), 300);
    EXPECT_EQ(options.update_start_at(), 600000);
    EXPECT_EQ(options.update_again_at(), 130000);
    EXPECT_TRUE(options.enableSnapshot());

    for (const char* port : {R"("8080")", "8080.0", "-65528"}) {
        write_host_file(program_, std::string("{\"webServerPort\": ") + port + "}");
        OptionsImpl other;
        EXPECT_EQ(server_of(other).port, std::string(port) == "-65528" ? 8 : 80) << port;
    }
}

TEST_F(OptionsTest, SettersClampSaveAndKeepUnknownKeys) {
    write_host_file(data_,
                    R"({"webServerName":"Main","enableSnapshot":true,"zeta":{"a":[1,"b"]}})");
    OptionsImpl options;
    EXPECT_EQ(options.update_again_at(1000), 120000);
    EXPECT_EQ(options.update_start_at(19999), 20000);
    EXPECT_EQ(options.loginRetrytimes(0), 5);
    EXPECT_EQ(options.loginAgainAfter(-7), 300);
    EXPECT_TRUE(options.setServerInfo(nullptr, "backup.example.com", 8080));
    EXPECT_TRUE(options.setServerInfo("", "backup.example.com", 8081));
    EXPECT_EQ(server_of(options).name, "Main");

    std::string text = read_host_file(data_);
    // Formatted exactly as python writes sorted, indented JSON, and the same beside the program.
    EXPECT_EQ(
        tovel::testing::python_with_input(
            "import json, sys\ntext = sys.stdin.read()\nd = json.loads(text)\n"
            "print(json.dumps(d, indent=4, sort_keys=True) == text, d['zeta'],"
            " d['webServerPort'], d['webServerHost'], d['webServerName'], d['enableSnapshot'],"
            " d['update_again_at'], d['update_start_at'], d['loginRetrytimes'],"
            " d['loginAgainAfter'])",
            text),
        "True {'a': [1, 'b']} 8081 backup.example.com Main True 120000 20000 5 300\n");
    EXPECT_EQ(read_host_file(program_), text);
    OptionsImpl reread;
    EXPECT_EQ(reread.update_again_at(), 120000);
    EXPECT_EQ(server_of(reread).port, 8081);
}

// clang-format off
const char* const kGoodHosts[] = {
    "localhost", "backup-1.example.COM", "xn--bcher-kva.de", "a.1b", "192.168.0.1", "0.0.0.0",
    "255.255.255.255", "::", "::1", "2001:db8::8a2e:370:7334", "2001:0DB8:0:0:0:ff00:42:8329",
    "1:2:3:4:5:6:7::", "::ffff:192.0.2.128", "64:ff9b::1:2:3:4.5.6.7"};
const char* const kBadHosts[] = {
    "", "a..b", ".a", "a.", "-a.com", "a-.com", "a_b.com", "a b", "evil.com\r\nX-Injected: 1",
    "evil.com:8080", "a.com/", "gr\xc3\xbc\xc3\x9f.de", "[::1]", "fe80::1%eth0", "256.1.1.1",
    "1.2.3", "127.1", "2130706433", "01.2.3.4", "1.2.3.4.5", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
    "1::2::3", ":1::", "1::2:", "12345::", "::ffff:1.2.3", "1:2:3:4:5:6:7:1.2.3.4", ":::"};
// clang-format on

TEST_F(OptionsTest, OnlyHostNamesAndIpLiteralsAreTaken) {
    OptionsImpl options;
    logged();
    std::string label63(63, 'a');
    std::string longest = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    std::vector<std::string> good(std::begin(kGoodHosts), std::end(kGoodHosts));
    good.insert(good.end(), {label63 + ".example", longest});
    for (const std::string& host : good) {
        EXPECT_TRUE(options.setServerInfo("n", host.c_str(), 65535)) << host;
        EXPECT_EQ(server_of(options).host, host);
    }
    ASSERT_TRUE(options.setServerInfo("kept", "kept.example", 1));
    std::string before = read_host_file(data_);
    std::vector<std::string> bad(std::begin(kBadHosts), std::end(kBadHosts));
    bad.insert(bad.end(), {std::string(64, 'a'), longest + "b"});
    for (const std::string& host : bad) {
        EXPECT_FALSE(options.setServerInfo("other", host.c_str(), 80)) << host;
    }
    EXPECT_FALSE(options.setServerInfo("other", nullptr, 80));
    EXPECT_FALSE(options.setServerInfo("other", "ok.example", 0));
    Server server = server_of(options);
    EXPECT_EQ(server.name, "kept");
    EXPECT_EQ(server.host, "kept.example");
    EXPECT_EQ(server.port, 1);
    EXPECT_EQ(read_host_file(data_), before);
    EXPECT_EQ(logged(), "");

    // A host stored by some other writer is not handed out.
    write_host_file(data_, R"({"webServerHost":"evil.com\r\nX-Injected: 1","webServerPort":81})");
    std::filesystem::remove(program_);
    OptionsImpl reread;
    EXPECT_NE(logged().find("neither a host name nor an IP address"), std::string::npos);
    EXPECT_EQ(server_of(reread).host, "");
}

TEST_F(OptionsTest, AFailedOpenOfTheDataFileIsFalseAndKeepsIt) {
    OptionsImpl options;
    ASSERT_TRUE(options.setServerInfo("a", "a.example", 80));
    std::string before = read_host_file(data_);
    std::filesystem::create_directories(temporary_of(data_));  // in the way of the temporary file
    logged();
    EXPECT_FALSE(options.setServerInfo("b", "b.example", 81));
    EXPECT_EQ(logged(), "Failed to open options storage for writing.\n");
    EXPECT_EQ(options.loginRetrytimes(9), 9);
    EXPECT_EQ(server_of(options).host, "b.example");  // kept in memory
    EXPECT_EQ(read_host_file(data_), before);
}

// The data folder and the program's folder are 64 KiB file systems of their own.
class OptionsFullDisk : public OptionsTest {
protected:
    void SetUp() override {
        OptionsTest::SetUp();
        for (const std::string* folder : {&data_folder_, &program_folder_}) {
            std::string why;
            if (run_command("mount -t tmpfs -o size=64k tmpfs " + shell_quote(*folder) + " 2>&1",
                            &why) != 0)
                GTEST_SKIP() << "no small file system can be mounted here (needs root): " << why;
            mounted_.push_back(*folder);
        }
    }
    void TearDown() override {
        for (const std::string& folder : mounted_) run_command("umount " + shell_quote(folder));
        OptionsTest::TearDown();
    }
    static void fill(const std::string& folder) {
        struct statvfs space = {};
        ASSERT_EQ(statvfs(folder.c_str(), &space), 0);
        write_host_file(folder + "/filler", std::string(space.f_bavail * space.f_frsize, 'x'));
    }

    std::vector<std::string> mounted_;
};

TEST_F(OptionsFullDisk, TheOldFileSurvives) {
    OptionsImpl options;
    ASSERT_TRUE(options.setServerInfo("old", "old.example", 80));
    std::string before = read_host_file(data_);
    ASSERT_EQ(read_host_file(program_), before);

    fill(data_folder_);
    logged();
    EXPECT_FALSE(options.setServerInfo("new", "new.example", 81));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_NE(logged().find("Failed to write options storage \"C:\\ProgramData\\morvask\\Tovel\\"
                            "options\", "),
              std::string::npos);
    EXPECT_EQ(options.update_start_at(30000), 30000);
    EXPECT_EQ(read_host_file(data_), before);
    EXPECT_EQ(read_host_file(program_), before);
    EXPECT_FALSE(std::filesystem::exists(temporary_of(data_)));

    // Beside the program a full disk is no failure; the data file takes the change.
    std::filesystem::remove(data_folder_ + "/filler");
    fill(program_folder_);
    EXPECT_TRUE(options.setServerInfo("new", "new.example", 82));
    EXPECT_EQ(read_host_file(program_), before);
    EXPECT_FALSE(std::filesystem::exists(temporary_of(program_)));
    json_spirit::Object saved = parsed(read_host_file(data_));
    EXPECT_EQ(saved["webServerPort"], json_spirit::Value(82));
    EXPECT_EQ(saved["update_start_at"], json_spirit::Value(30000));
}

// Without the lock the two saves' temporary files collide, and one rename fails.
TEST_F(OptionsTest, TwoThreadsSettingAtOnceLeaveOneCompleteObject) {
    constexpr int kRounds = 200;
    OptionsImpl* seen[2] = {};
    int failed = 0;
    std::thread servers([&] {
        seen[0] = Options::instance();
        for (int i = 1; i <= kRounds; ++i) {
            std::string host = "host" + std::to_string(i) + ".example";
            if (!seen[0]->setServerInfo("Name", host.c_str(), static_cast<unsigned short>(i)))
                ++failed;
        }
    });
    std::thread numbers([&] {
        seen[1] = OptionsImpl::instance();
        for (int i = 1; i <= kRounds; ++i) {
            seen[1]->update_start_at(20000 + i);
            seen[1]->loginRetrytimes(i);
        }
    });
    servers.join();
    numbers.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(failed, 0);
    json_spirit::Object saved = parsed(read_host_file(data_));
    EXPECT_EQ(saved.size(), 5u);
    EXPECT_EQ(saved["webServerHost"], json_spirit::Value("host200.example"));
    EXPECT_EQ(saved["webServerPort"], json_spirit::Value(kRounds));
    EXPECT_EQ(saved["update_start_at"], json_spirit::Value(20000 + kRounds));
    EXPECT_EQ(saved["loginRetrytimes"], json_spirit::Value(kRounds));
    EXPECT_EQ(read_host_file(program_), read_host_file(data_));
    EXPECT_FALSE(std::filesystem::exists(temporary_of(data_)));
}

}  // namespace

TEST_F(OptionsTest, TheHttpClientTakesItsTimeOutsFromTheFile) {
    write_host_file(data_, R"({"connectTimeout":1500,"sendTimeout":-3,"receiveTimeout":"250"})");
    OptionsImpl options;
    EXPECT_EQ(options.connectTimeout(), 1500);
    EXPECT_EQ(options.sendTimeout(), 60000);     // not above 0
    EXPECT_EQ(options.receiveTimeout(), 60000);  // not an integer
    HTTP_Timeouts taken = http_client_timeouts();
    EXPECT_EQ(taken.connect_ms, 1500u);
    EXPECT_EQ(taken.send_ms, 60000u);
    EXPECT_EQ(taken.recv_ms, 60000u);
}
