// A page of another origin, in a browser that holds a session of the web interface, tries to
// delete a folder, move it and export the key: none of it happens.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "portvane/tests/live_stream.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::BrowserPage;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tovel::testing::RemoteService;

namespace {

constexpr int kPageMs = 60000;

class BrowserForeign : public portvane_tests::LiveServer {
protected:
    void SetUp() override {
        std::string missing = BrowserPage::missing();
        if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
        LiveServer::SetUp();
    }
};

TEST_F(BrowserForeign, APageOfAnotherOriginNeitherDeletesNorExports) {
    bindService();
    // Alice's key exists, so that an export that got through would write it.
    std::string cookie = login("alice", "secret");
    ASSERT_EQ(get("/key/state", withCookie(cookie)).body, R"({"state":"export_required"})");
    std::string folder = tovel::testing::host_of(L"C:\\t");
    std::filesystem::create_directories(folder + "/inner");
    std::filesystem::create_directories(tovel::testing::host_of(L"C:\\k"));

    HttpScriptServer foreign([&](HttpPeer& peer) {
        std::string head = peer.read_head();
        if (!head.empty()) peer.send(pageReply(head, "foreign.html"));
    });
    ASSERT_TRUE(foreign.listening());
    std::string other = "http://127.0.0.1:" + std::to_string(foreign.port()) +
                        "/foreign.html?target=" + RemoteService::query_text(base());
    BrowserPage page(
        url("/foreign.html?login=alice:secret&next=" + RemoteService::query_text(other)));
    ASSERT_EQ(page.next({"tovel:login", "failed", "pageerror"}, kPageMs), "tovel:login 200");
    for (const char* name : {"delete", "export", "export-nocors", "delete-form"}) {
        std::string line = page.next({std::string("tovel:") + name + " ", "pageerror"}, kPageMs);
        std::string outcome = line.substr(line.find(' ') + 1);
        // Refused by the server (403), or not sent or not readable by the page at all.
        EXPECT_TRUE(outcome == "403" || outcome == "opaque" || outcome.rfind("failed", 0) == 0)
            << line;
    }
    ASSERT_EQ(page.next({"tovel:done", "pageerror"}, kPageMs), "tovel:done");
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/inner"));
    EXPECT_FALSE(std::filesystem::exists(tovel::testing::host_of(L"C:\\moved")));
    EXPECT_FALSE(std::filesystem::exists(tovel::testing::host_of(L"C:\\k\\key.txt")));
}

}  // namespace
