// The cookie store: lookups in key order, writes only when something
// changed, values that are no strings, the missing file, and the file as the
// openssl command line reads it. No cookie in the log.
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "job/stores/cookie_manager.h"
#include "job/tests/key_checks.h"
#include "tools/testkit/log_capture.h"

using key_checks::data_file;
using key_checks::openssl_decrypt;
using key_checks::openssl_encrypt;
using tovel::testing::python_with_input;

namespace {

class Cookies : public CookieManagerImpl {
public:
    using CookieManagerImpl::store;
};

ino_t inode_of(const std::string& path) {
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string file_content() {
    return python_with_input(
        "import json, sys\nd = json.load(sys.stdin)\n"
        "print(' '.join(k + '=' + str(v) for k, v in sorted(d.items())))",
        openssl_decrypt(data_file("cookies")));
}

class CookieStore : public tovel::testing::LoggedTest {};

TEST_F(CookieStore, MissingFileStartsEmptyLoggedAtInfoAndTheFirstSaveMakesIt) {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    u_long process = log->priority_mask(ACE_Log_Msg::PROCESS);
    u_long thread = log->priority_mask(ACE_Log_Msg::THREAD);
    log->priority_mask(process & ~LM_INFO, ACE_Log_Msg::PROCESS);
    log->priority_mask(thread & ~LM_INFO, ACE_Log_Msg::THREAD);
    { Cookies quiet; }
    std::string without_info = logged();
    log->priority_mask(process, ACE_Log_Msg::PROCESS);
    log->priority_mask(thread, ACE_Log_Msg::THREAD);
    EXPECT_NE(without_info.find("Failed to open file"), std::string::npos);  // LM_ERROR
    EXPECT_EQ(without_info.find("Failed to decode the cookie storage file.\n"), std::string::npos);
    Cookies cookies;
    EXPECT_NE(logged().find("Failed to decode the cookie storage file.\n"), std::string::npos);
    EXPECT_TRUE(cookies.store.empty());
    EXPECT_FALSE(std::filesystem::exists(data_file("cookies")));
    ASSERT_TRUE(cookies.saveCookie("alice", "SID=abc; Path=/"));
    EXPECT_EQ(file_content(), "SID=abc; Path=/=alice\n");
    EXPECT_EQ(logged().find("SID=abc"), std::string::npos);
}

TEST_F(CookieStore, FindCookieTakesTheFirstInKeyOrder) {
    Cookies cookies;
    ASSERT_TRUE(cookies.saveCookie("alice", "SID=zz"));
    ASSERT_TRUE(cookies.saveCookie("bob", "SID=mm"));
    ASSERT_TRUE(cookies.saveCookie("alice", "SID=aa"));
    std::string cookie, user;
    ASSERT_TRUE(cookies.findCookie("alice", cookie));
    EXPECT_EQ(cookie, "SID=aa");
    ASSERT_TRUE(cookies.removeCookie("SID=aa"));
    ASSERT_TRUE(cookies.findCookie("alice", cookie));
    EXPECT_EQ(cookie, "SID=zz");
    EXPECT_FALSE(cookies.findCookie("carol", cookie));
    ASSERT_TRUE(cookies.findUser("SID=mm", user));
    EXPECT_EQ(user, "bob");
    // A cookie belongs to one user: saving it for another moves it.
    ASSERT_TRUE(cookies.saveCookie("carol", "SID=mm"));
    EXPECT_EQ(file_content(), "SID=mm=carol SID=zz=alice\n");
}

TEST_F(CookieStore, WritesOnlyWhenSomethingChanged) {
    Cookies cookies;
    ASSERT_TRUE(cookies.saveCookie("alice", "SID=1"));
    ino_t written = inode_of(data_file("cookies"));
    EXPECT_TRUE(cookies.saveCookie("alice", "SID=1"));
    EXPECT_FALSE(cookies.removeCookie("SID=2"));
    EXPECT_EQ(inode_of(data_file("cookies")), written);
    EXPECT_TRUE(cookies.removeAllCookie());
    EXPECT_NE(inode_of(data_file("cookies")), written);
    EXPECT_EQ(file_content(), "\n");
    EXPECT_FALSE(cookies.isCookieValid("SID=1"));
}

TEST_F(CookieStore, ValueThatIsNoStringIsAValidCookieWithoutAUser) {
    std::filesystem::create_directories(key_checks::data_folder());
    ASSERT_TRUE(openssl_encrypt("{\"SID=odd\": 7, \"SID=ok\": \"alice\"}", data_file("cookies")));
    Cookies cookies;
    std::string user = "kept", cookie = "kept";
    EXPECT_TRUE(cookies.isCookieValid("SID=odd"));
    EXPECT_FALSE(cookies.findUser("SID=odd", user));
    EXPECT_EQ(user, "kept");
    EXPECT_TRUE(cookies.findCookie("alice", cookie));
    EXPECT_EQ(cookie, "SID=ok");
    // Saving over it with a user is a change.
    EXPECT_TRUE(cookies.saveCookie("bob", "SID=odd"));
    EXPECT_EQ(file_content(), "SID=odd=bob SID=ok=alice\n");
}

TEST_F(CookieStore, BadArgumentsGiveFalseAndTouchNothing) {
    Cookies cookies;
    logged();
    std::string out = "kept";
    EXPECT_FALSE(cookies.isCookieValid(nullptr));
    EXPECT_FALSE(cookies.isCookieValid(""));
    EXPECT_FALSE(cookies.findCookie("", out));
    EXPECT_FALSE(cookies.findUser(nullptr, out));
    EXPECT_FALSE(cookies.saveCookie("alice", ""));
    EXPECT_FALSE(cookies.saveCookie(nullptr, "SID=1"));
    EXPECT_FALSE(cookies.removeCookie(""));
    EXPECT_EQ(out, "kept");
    EXPECT_FALSE(std::filesystem::exists(data_file("cookies")));
    EXPECT_EQ(logged(), "");
}

}  // namespace
