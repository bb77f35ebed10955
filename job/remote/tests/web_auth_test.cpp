// The web authentication handler over the process's cookie and password
// stores: credentials for a refused session, cookie replacement, and the
// fields it keeps.
#include <gtest/gtest.h>

#include <string>

#include "job/remote/web_auth_handler.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/password_manager.h"
#include "platform/threads/atl_singleton.h"

namespace {

CookieManagerImpl& cookies() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

PasswordManagerImpl& passwords() {
    return *ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

std::string user_of(const char* cookie) {
    std::string user = "<none>";
    cookies().findUser(cookie, user);
    return user;
}

TEST(WebAuth, RefusedSessionGetsTheUserAndPasswordOfItsCookie) {
    ASSERT_TRUE(cookies().saveCookie("alice", "SID=a1"));
    ASSERT_TRUE(passwords().savePassword("alice", "pa"));
    WebAuthHandler handler;
    std::string user, password = "kept";
    EXPECT_TRUE(handler.onAuthRequired(user, password, "SID=a1"));
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(password, "pa");

    password = "kept";
    EXPECT_FALSE(handler.onAuthRequired(user, password, "SID=unknown"));
    EXPECT_EQ(password, "kept");
    ASSERT_TRUE(cookies().saveCookie("bob", "SID=b1"));  // bob has no password
    EXPECT_FALSE(handler.onAuthRequired(user, password, "SID=b1"));
    EXPECT_EQ(password, "kept");
}

TEST(WebAuth, NewCookieReplacesTheOldOneAndIsKept) {
    WebAuthHandler handler;
    handler.onSetCookie("carol", "SID=c1", nullptr);
    EXPECT_EQ(user_of("SID=c1"), "carol");
    EXPECT_EQ(handler.newCookie(), "SID=c1");
    handler.onSetCookie("carol", "SID=c2", "SID=c1");
    EXPECT_EQ(user_of("SID=c1"), "<none>");
    EXPECT_EQ(user_of("SID=c2"), "carol");
    EXPECT_EQ(handler.newCookie(), "SID=c2");
    // An empty new cookie removes the old one but stores and keeps nothing.
    handler.onSetCookie("carol", "", "SID=c2");
    EXPECT_EQ(user_of("SID=c2"), "<none>");
    EXPECT_FALSE(cookies().isCookieValid(""));
    EXPECT_EQ(handler.newCookie(), "SID=c2");
    handler.onSetCookie("carol", nullptr, nullptr);
    EXPECT_EQ(handler.newCookie(), "SID=c2");
}

TEST(WebAuth, KeepsTheLastErrorAndCookieUntilReset) {
    WebAuthHandler handler;
    EXPECT_EQ(handler.errorCode(), 0u);
    EXPECT_EQ(handler.newCookie(), "");
    handler.onError(0x20010191u);
    handler.onSetCookie("dave", "SID=d", nullptr);
    WebAuthHandler copy(handler);
    EXPECT_EQ(copy.errorCode(), 0x20010191u);
    EXPECT_EQ(copy.newCookie(), "SID=d");
    handler.reSet();
    EXPECT_EQ(handler.errorCode(), 0u);
    EXPECT_EQ(handler.newCookie(), "");
    handler = copy;
    EXPECT_EQ(handler.newCookie(), "SID=d");
    // The base's own answers: no stop, and progress is ignored.
    WebClientEventHandler& base = handler;
    EXPECT_FALSE(base.stopRequested(0));
    base.onProgress(100, 3, 100);
}

}  // namespace
