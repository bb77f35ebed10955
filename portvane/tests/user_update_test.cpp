// The user's information and the installer's start, end to end with curl: the remote reply
// relayed as it came, and only a downloaded installer that checks out is ever started.
#include <filesystem>
#include <string>

#include "job/stores/cookie_manager.h"
#include "portvane/tests/web_fixture.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/machine_fixture.h"

using portvane::testing::WebReply;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

class UserAndUpdate : public portvane::testing::WebFixture {
protected:
    static std::string updates(const std::string& name = "") {
        std::string folder = host_of(L"C:\\ProgramData\\morvask\\Tovel\\updates");
        return name.empty() ? folder : folder + "/" + name;
    }
    static std::string marker() { return machine_root() + "/marker"; }
    // A downloaded installer (a script that appends to the marker) and its complete record.
    static void downloaded() {
        std::filesystem::create_directories(updates());
        std::filesystem::permissions(updates(), std::filesystem::perms::owner_all);
        std::string script = "#!/bin/sh\necho started >> " + marker() + "\nexit 0\n";
        write_host_file(updates("Tovel.exe"), script);
        std::filesystem::permissions(updates("Tovel.exe"), std::filesystem::perms::owner_all);
        std::string md5;
        run_command("md5sum " + shell_quote(updates("Tovel.exe")) + " | cut -c1-32", &md5);
        write_host_file(updates("info"), "{\"md5sum\":\"" + md5.substr(0, 32) +
                                             "\",\"offset\":" + std::to_string(script.size()) +
                                             ",\"size\":" + std::to_string(script.size()) + "}");
    }
    static const char* installerUri() {
        return "/update/C:/ProgramData/morvask/Tovel/updates/Tovel.exe";
    }
};

}  // namespace

TEST_F(UserAndUpdate, UserInformationIsRelayedAsItCame) {
    EXPECT_EQ(get("/userinfo").status, 401);
    // A cookie the store knows, but no server bound yet.
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("carol", "sid=0123"));
    EXPECT_EQ(get("/userinfo", withCookie("sid=0123")).status, 404);

    bindService();
    std::string cookie = login("alice", "secret");
    ASSERT_FALSE(cookie.empty());
    WebReply info = get("/userinfo", withCookie(cookie));
    ASSERT_EQ(info.status, 200) << info.body;
    EXPECT_EQ(info.reason, "OK");
    EXPECT_NE(info.body.find("\"name\":\"alice\""), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("\"quota\":"), std::string::npos) << info.body;

    service()->control("POST", "faults",
                       "{\"kind\": \"user_info\", \"action\": \"status\", \"status\": 302, "
                       "\"body\": \"moved\", \"times\": 1}");
    info = get("/userinfo", withCookie(cookie));
    EXPECT_EQ(info.status, 302) << info.body;
    EXPECT_FALSE(info.has("location"));
    EXPECT_EQ(info.body, "moved");
    service()->control("POST", "faults",
                       "{\"kind\": \"user_info\", \"action\": \"status\", \"status\": 500, "
                       "\"body\": \"broken\", \"times\": 1}");
    info = get("/userinfo", withCookie(cookie));
    EXPECT_EQ(info.status, 500);
    EXPECT_EQ(info.body, "broken");

    stopService();
    EXPECT_EQ(get("/userinfo", withCookie(cookie)).status, 503);
}

TEST_F(UserAndUpdate, OnlyTheCheckedInstallerIsStarted) {
    bindService();
    std::string cookie = login("alice", "secret");
    ASSERT_FALSE(cookie.empty());
    downloaded();
    EXPECT_EQ(get(installerUri()).status, 401);

    // Another existing file, and the short form: refused, nothing starts.
    write_host_file(host_of(L"C:\\other.exe"), "#!/bin/sh\necho other >> " + marker() + "\n");
    std::filesystem::permissions(host_of(L"C:\\other.exe"), std::filesystem::perms::owner_all);
    EXPECT_EQ(get("/update/C:/other.exe", withCookie(cookie)).status, 400);
    EXPECT_EQ(get("/update/ab", withCookie(cookie)).status, 400);

    EXPECT_EQ(get(installerUri(), withCookie(cookie)).status, 200);
    EXPECT_EQ(tovel::testing::wait_for_lines(marker(), 1), "started\n");

    // One byte changed since the download: refused.
    std::string bytes = read_host_file(updates("Tovel.exe"));
    bytes.back() = 'x';
    write_host_file(updates("Tovel.exe"), bytes);
    EXPECT_EQ(get(installerUri(), withCookie(cookie)).status, 400);
    EXPECT_EQ(read_host_file(marker()), "started\n");
}
