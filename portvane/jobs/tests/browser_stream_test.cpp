// The job event stream as a page in headless Chromium sees it: a page of the web interface's own
// origin follows the events of a job run started through the job manager; a page of another
// origin cannot read them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "job/core/job_state.h"
#include "portvane/tests/live_stream.h"
#include "portvane/tests/notify_helpers.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/sample_tree.h"

using namespace portvane_tests;
using tovel::testing::BrowserPage;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tovel::testing::RemoteService;

namespace {

const char* kAlicesJob = "6f1c2a10-0000-4000-8000-0000000a11ce";
const char* kBobsJob = "6f1c2a10-0000-4000-8000-000000000b0b";
constexpr int kPageMs = 60000;

// "id state" of an event text.
std::string id_and_state(const std::string& text) {
    json_spirit::Value value;
    if (!json_spirit::read(text, value) || value.type() != json_spirit::obj_type)
        return "bad " + text;
    const json_spirit::Object& object = value.get_obj();
    auto id = object.find("id");
    auto state = object.find("state");
    if (id == object.end() || state == object.end()) return "bad " + text;
    return id->second.get_str() + " " + state->second.get_str();
}

// The agent's web interface serving the test pages; skipped, saying why, where no browser can
// be run.
class BrowserStream : public LiveServer {
protected:
    void SetUp() override {
        std::string missing = BrowserPage::missing();
        if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
        LiveServer::SetUp();
    }
};

}  // namespace

TEST_F(BrowserStream, APageOfTheLocalOriginFollowsItsUsersJobRun) {
    tovel::testing::make_sample_tree(L"C:\\alice");
    tovel::testing::make_sample_tree(L"C:\\bob");
    bindService();
    ASSERT_NE(login("bob", "hunter2"), "");  // the session of bob's run
    BrowserPage page(url("/stream.html?login=alice:secret"));
    ASSERT_EQ(page.next({"tovel:login", "tovel:failed", "failed", "pageerror"}, kPageMs),
              "tovel:login 200");
    ASSERT_EQ(page.next({"tovel:status", "tovel:failed", "failed", "pageerror"}, kPageMs),
              "tovel:status 200");
    ProbeObserver probe;  // every event, as the job engine delivers them

    // Alice's run goes to the service on the session her page's login stored; bob's offline.
    submitBackup(kAlicesJob, "alice", "C:\\alice");
    submitBackup(kBobsJob, "bob", "C:\\bob", "C:\\bobs-backups");
    ASSERT_TRUE(manager_->startJob(kAlicesJob));
    ASSERT_TRUE(manager_->startJob(kBobsJob));
    EXPECT_EQ(waitForEnd(kAlicesJob), JS_COMPLETED);
    waitForEnd(kBobsJob);

    // What the engine delivered of alice's job, up to its completion.
    std::vector<std::string> alices, bobs;
    for (const std::string& text : probe.events()) {
        std::string event = id_and_state(text);
        if (event.rfind(kBobsJob, 0) == 0) bobs.push_back(event);
        if (event.rfind(kAlicesJob, 0) != 0) continue;
        alices.push_back(event);
        if (event == std::string(kAlicesJob) + " completed") break;
    }
    ASSERT_GE(alices.size(), 3u);
    ASSERT_EQ(alices.back(), std::string(kAlicesJob) + " completed");
    ASSERT_FALSE(bobs.empty());

    std::vector<std::string> seen;
    while (seen.empty() || seen.back() != alices.back()) {
        std::string line = page.next(
            {"tovel:event", "tovel:bad", "tovel:end", "tovel:failed", "pageerror"}, kPageMs);
        ASSERT_EQ(line.rfind("tovel:event ", 0), 0u) << line << " after " << seen.size();
        seen.push_back(id_and_state(line.substr(12)));
        ASSERT_EQ(seen.back().rfind(kAlicesJob, 0), 0u) << "not alice's: " << line;
    }
    EXPECT_EQ(seen, alices);
    std::string states;
    for (const std::string& event : seen) states += " " + event.substr(event.find(' ') + 1);
    std::printf("[ page ] alice's job as the page saw it:%s\n", states.c_str());
}

TEST_F(BrowserStream, APageOfAnotherOriginCannotReadTheStream) {
    // The same page, served from another port of the loopback.
    HttpScriptServer foreign([&](HttpPeer& peer) {
        std::string head = peer.read_head();
        if (!head.empty()) peer.send(pageReply(head, "stream.html"));
    });
    ASSERT_TRUE(foreign.listening());
    BrowserPage page("http://127.0.0.1:" + std::to_string(foreign.port()) +
                     "/stream.html?target=" + RemoteService::query_text(url("/jobnotify")));
    std::string line =
        page.next({"tovel:status", "tovel:event", "tovel:failed", "failed", "pageerror"}, kPageMs);
    EXPECT_EQ(line.rfind("tovel:failed TypeError", 0), 0u) << line;
}

// A page of a name of its own that resolves to 127.0.0.1 is of the same origin as a stream asked
// for under that name: only the server's check of the Host header keeps it from reading.
TEST_F(BrowserStream, TheAgentsPortUnderAnotherNameServesNoStream) {
    const std::string host = "rebound.tovel.test";
    BrowserPage page("http://" + host + ":" + std::to_string(port()) + "/stream.html", {host});
    std::string navigated = page.next({"navigated", "failed"}, kPageMs);
    ASSERT_EQ(navigated.rfind("navigated ", 0), 0u) << navigated;
    if (navigated != "navigated 403") {
        // The page itself may be served; its stream is not.
        std::string line = page.next({"tovel:status", "tovel:failed", "pageerror"}, kPageMs);
        EXPECT_EQ(line, "tovel:status 403");
    }
    post_state("", "seen-by-anyone", JS_IDLE);
    EXPECT_EQ(page.next({"tovel:event"}, 3000), "<timeout>");
}
