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
#include "common/text_conv.h"
#include "job/cookie_manager.h"
#include "job/job_manager.h"
#include "job/job_state.h"
#include "job/options.h"
#include "plandeck/backup_job_definition.h"
#include "portvane/tests/live_stream.h"
#include "portvane/tests/notify_helpers.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "tools/testkit/sample_tree.h"

using namespace portvane_tests;
using tovel::testing::BrowserPage;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tovel::testing::RemoteService;

namespace {

const char* kAliceCookie = "sid=a11ce0000000000000000000000000a1";
const char* kBobCookie = "sid=b0b00000000000000000000000000b0b";
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

// The web server, the job manager and the simulator on a fresh machine; skipped, saying why,
// where no browser can be run.
class BrowserStream : public LiveServer {
protected:
    void SetUp() override {
        std::string missing = BrowserPage::missing();
        if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
        LiveServer::SetUp();
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kAliceCookie,
            "--account", "bob:hidden", "--cookie", std::string("bob:") + kBobCookie});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        auto* cookies = ATL::CComSingleton<CookieManagerImpl>::instance();
        ASSERT_TRUE(cookies->saveCookie("alice", kAliceCookie));
        ASSERT_TRUE(cookies->saveCookie("bob", kBobCookie));
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
    }
    void TearDown() override {
        if (!ctx_) return;  // skipped
        tovel::web::mg_stop(ctx_);
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        service_.reset();
    }

    // A backup of the folder that runs once, now; to the simulator, or offline into a folder.
    void submit(const char* id, const char* user, const std::wstring& source, const char* offline) {
        json_spirit::Object object;
        object["type"] = "backup";
        object["id"] = id;
        object["user"] = user;
        object["name"] = std::string(user) + "'s files";
        object["source"] = json_spirit::Array{json_spirit::Value(to_utf8(source))};
        if (offline) object["offline"] = offline;
        json_spirit::Object schedule;
        schedule["type"] = "once";
        object["schedule"] = schedule;
        auto* definition = new BackupJobDefinition;
        ASSERT_TRUE(definition->fromJSON(json_spirit::Value(object)));
        ASSERT_TRUE(manager_->submitJob(definition));
    }
    // The job's state once its run has ended.
    int wait_for_end(const char* id) {
        int state = 0;
        bool ended = false;
        for (auto until = std::chrono::steady_clock::now() + kBound;
             !ended && std::chrono::steady_clock::now() < until;) {
            manager_->job(id, [&](const Job& job) {
                ended = job.lastRunState() != 0 && !job.running();
                state = job.state();
            });
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(ended) << id;
        return state;
    }

    std::unique_ptr<RemoteService> service_;
    JobManagerImpl* manager_ = nullptr;
};

}  // namespace

TEST_F(BrowserStream, APageOfTheLocalOriginFollowsItsUsersJobRun) {
    tovel::testing::make_sample_tree(L"C:\\alice");
    tovel::testing::make_sample_tree(L"C:\\bob");
    BrowserPage page(url("/stream.html?cookie=") + RemoteService::query_text(kAliceCookie));
    ASSERT_EQ(page.next({"tovel:status", "tovel:failed", "failed", "pageerror"}, kPageMs),
              "tovel:status 200");
    ProbeObserver probe;  // every event, as the job engine delivers them

    submit(kAlicesJob, "alice", L"C:\\alice", nullptr);
    submit(kBobsJob, "bob", L"C:\\bob", "C:\\bobs-backups");
    ASSERT_TRUE(manager_->startJob(kAlicesJob));
    ASSERT_TRUE(manager_->startJob(kBobsJob));
    EXPECT_EQ(wait_for_end(kAlicesJob), JS_COMPLETED);
    wait_for_end(kBobsJob);

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
    std::string html = tovel::testing::read_host_file(pages_ + "/stream.html");
    HttpScriptServer foreign([&](HttpPeer& peer) {
        if (peer.read_head().empty()) return;
        peer.send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                  std::to_string(html.size()) + "\r\nConnection: close\r\n\r\n" + html);
    });
    ASSERT_TRUE(foreign.listening());
    BrowserPage page("http://127.0.0.1:" + std::to_string(foreign.port()) +
                     "/stream.html?target=" + RemoteService::query_text(url("/jobnotify")));
    std::string line =
        page.next({"tovel:status", "tovel:event", "tovel:failed", "failed", "pageerror"}, kPageMs);
    EXPECT_EQ(line.rfind("tovel:failed TypeError", 0), 0u) << line;
}
