// Pages of other origins in a browser that holds a session of the web interface. One tries to
// delete a folder, move it and export the key. Others, on another port of 127.0.0.1 (the same
// site to a browser, which then sends it the session cookie) and of another name, try to start,
// define, replace and delete the user's job and to log the user out. None of it happens, as the
// agent's state shows after each attempt; and the session's cookie is not readable by a script
// of the interface's own pages either.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "portvane/tests/live_stream.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/machine_fixture.h"

using portvane::testing::WebReply;
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

// What neighbour.html tries, in its order.
const char* const kAttempts[] = {"img-start",     "nocors-start",   "frame-start", "form-define",
                                 "nocors-define", "nocors-replace", "delete",      "nocors-delete",
                                 "img-logout",    "nocors-logout",  "frame-logout"};

// The other page's own server: it serves the page, and holds each "/next" of the page until the
// test has looked at the agent after the attempt before it.
class NeighbourServer {
public:
    NeighbourServer(std::string html, std::string script)
        : html_(std::move(html)),
          script_(std::move(script)),
          server_([this](HttpPeer& peer) { serve(peer); }) {}
    ~NeighbourServer() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            finished_ = true;
        }
        changed_.notify_all();
        server_.stop();
    }

    bool listening() const { return server_.listening(); }
    unsigned short port() const { return server_.port(); }
    // Lets the page go on to its next attempt.
    void release() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++released_;
        }
        changed_.notify_all();
    }

private:
    void serve(HttpPeer& peer) {
        for (std::string head = peer.read_head(); !head.empty(); head = peer.read_head()) {
            std::string path = head.substr(4, head.find(' ', 4) - 4);
            if (path.rfind("/neighbour.html", 0) == 0) {
                peer.send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                          std::to_string(html_.size()) + "\r\n\r\n" + html_);
            } else if (path.rfind("/neighbour.js", 0) == 0) {
                peer.send("HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\nContent-Length: " +
                          std::to_string(script_.size()) + "\r\n\r\n" + script_);
            } else if (path.rfind("/next", 0) == 0) {
                std::unique_lock<std::mutex> hold(lock_);
                int mine = ++asked_;
                while (!finished_ && released_ < mine) {
                    changed_.wait_for(hold, std::chrono::milliseconds(200));
                }
                hold.unlock();
                peer.send("HTTP/1.1 204 No Content\r\n\r\n");
            } else {
                peer.send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
            }
        }
    }

    std::string html_, script_;
    std::mutex lock_;
    std::condition_variable changed_;
    int asked_ = 0, released_ = 0;
    bool finished_ = false;
    HttpScriptServer server_;  // last: its scripts use the members above
};

class BrowserNeighbour : public BrowserForeign {
protected:
    // The neighbour's page, served under name (hosts: names the browser resolves here) on a port
    // of its own, tries everything; after each attempt alice's session, her one job, its
    // definition and its never having run stand.
    void tryFrom(const std::string& name, const std::vector<std::string>& hosts) {
        bindService();
        // The browser's login below is confirmed by the agent with the same session cookie.
        std::string cookie = login("alice", "secret");
        ASSERT_FALSE(cookie.empty());
        WebReply made = post(
            "/jobs",
            R"({"type":"backup","name":"Alice's","source":["C:/t"],"schedule":{"type":"manual"}})",
            withCookie(cookie), "application/json");
        ASSERT_EQ(made.status, 200) << made.body;
        std::string id = made.body.substr(made.body.find(":\"") + 2);
        id = id.substr(0, id.find('"'));
        std::string definition = get("/jobs/" + id, withCookie(cookie)).body;
        ASSERT_NE(definition.find("Alice's"), std::string::npos) << definition;

        std::string never;  // the run of a job that never ran
        manager_->jobs([&](const Job& job) { never = job.instanceId(); });

        NeighbourServer neighbour(tovel::testing::read_host_file(pages_ + "/neighbour.html"),
                                  tovel::testing::read_host_file(pages_ + "/neighbour.js"));
        ASSERT_TRUE(neighbour.listening());
        std::string other = "http://" + name + ":" + std::to_string(neighbour.port()) +
                            "/neighbour.html?job=" + id +
                            "&target=" + RemoteService::query_text(base());
        BrowserPage page(
            url("/neighbour.html?login=alice:secret&next=" + RemoteService::query_text(other)),
            hosts);
        ASSERT_EQ(page.next({"tovel:login", "failed", "pageerror"}, kPageMs), "tovel:login 200");
        // The cookie is the browser's alone: no script of the interface's pages sees it.
        EXPECT_EQ(page.next({"tovel:cookie", "pageerror"}, kPageMs), "tovel:cookie ");

        for (const char* attempt : kAttempts) {
            std::string line =
                page.next({std::string("tovel:") + attempt + " ", "failed", "pageerror"}, kPageMs);
            ASSERT_EQ(line.rfind(std::string("tovel:") + attempt + " ", 0), 0u) << line;
            std::printf("[ page ] %s\n", line.c_str());
            WebReply jobs = get("/jobs", withCookie(cookie));
            EXPECT_EQ(jobs.status, 200) << attempt << ": the session is gone";
            EXPECT_EQ(jobs.body.find("From a neighbour"), std::string::npos) << attempt;
            EXPECT_EQ(get("/jobs/" + id, withCookie(cookie)).body, definition) << attempt;
            int jobsHeld = 0;
            std::string run;
            manager_->jobs([&](const Job& job) {
                ++jobsHeld;
                run = job.instanceId();
            });
            EXPECT_EQ(jobsHeld, 1) << attempt;
            EXPECT_EQ(run, never) << attempt << ": the job was started";
            neighbour.release();
        }
        EXPECT_EQ(page.next({"tovel:done", "pageerror"}, kPageMs), "tovel:done");
        EXPECT_EQ(seen("start_job"), 0);
        EXPECT_EQ(seen("logout"), 0);
    }
};

TEST_F(BrowserNeighbour, APageOnAnotherLocalPortChangesNothing) { tryFrom("127.0.0.1", {}); }

TEST_F(BrowserNeighbour, APageOfAnotherNameChangesNothing) {
    tryFrom("neighbour.test", {"neighbour.test"});
}

}  // namespace
