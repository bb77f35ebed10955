// Backup runs through the job manager against a remote service that answers
// as a hostile or broken network would: replies that trickle, a dead first
// session cookie, a reply header with a bare CR, a chunked body that cannot
// be decoded, an HTML page in place of the service's answer. Each run must
// pause, fail with a clear error, or complete, and nothing may be reported
// as stored that the service does not hold: every check reads the
// simulator's own record of what it stored.
#include "job/runs/backup_job.h"
//
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "wirekit/http_timeouts.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char* kJob = "7d3e2f4a-5b6c-4d7e-8f90-a1b2c3d4e5f6";
const char* kCookie = "sid=8899aabbccddeeff0011223344556677";
// Sorts before kCookie: the store hands it out first.
const char* kDeadCookie = "sid=00000000000000000000000000000000";
constexpr size_t kBlock = 131072;

using Clock = std::chrono::steady_clock;

struct Item {
    std::wstring path;
    bool folder;
    std::string bytes;
};

// C:\data with a folder and four files of 1 to 3 blocks of random bytes.
std::vector<Item> make_tree() {
    std::mt19937 random(7);
    auto bytes = [&random](size_t size) {
        std::string out(size, '\0');
        for (char& c : out) c = static_cast<char>(random() & 0xFF);
        return out;
    };
    std::vector<Item> tree = {
        {L"C:\\data", true, ""},
        {L"C:\\data\\a.bin", false, bytes(2 * kBlock + 5)},
        {L"C:\\data\\b.bin", false, bytes(kBlock / 2)},
        {L"C:\\data\\sub", true, ""},
        {L"C:\\data\\sub\\c.bin", false, bytes(3 * kBlock)},
        {L"C:\\data\\sub\\d.bin", false, bytes(1000)},
    };
    for (const Item& item : tree) {
        if (item.folder)
            std::filesystem::create_directories(host_of(item.path));
        else
            write_host_file(host_of(item.path), item.bytes);
    }
    return tree;
}

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

json_spirit::Array requests(const RemoteService& service, const std::string& kind) {
    json_spirit::Value value = parse(service.control("GET", "requests?kind=" + kind));
    if (value.type() != json_spirit::obj_type) return {};
    return value.get_obj()["requests"].get_array();
}

// Whether a request of kind arrived that the fault of that action hit.
bool faulted(const RemoteService& service, const std::string& kind, const std::string& action) {
    for (json_spirit::Value& request : requests(service, kind)) {
        auto fault = request.get_obj().find("fault");
        if (fault != request.get_obj().end() && fault->second.type() == json_spirit::str_type &&
            fault->second.get_str() == action)
            return true;
    }
    return false;
}

bool eventually(const std::function<bool()>& condition, int seconds = 60) {
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The service's one instance of the job is completed and holds every item
// of the tree once, complete, each file's stored bytes (fetched from the
// inspection endpoint, decrypted and inflated by openssl and python3) equal
// to the file's.
void check_stored(const RemoteService& service, const std::vector<Item>& tree) {
    json_spirit::Value all = parse(service.control("GET", "instances"));
    std::vector<std::string> ids;
    for (json_spirit::Value& entry : all.get_obj()["instances"].get_array())
        if (entry.get_obj()["job"].get_str() == kJob)
            ids.push_back(entry.get_obj()["id"].get_str());
    ASSERT_EQ(ids.size(), 1u);
    json_spirit::Object instance = parse(service.control("GET", "instance?id=" + ids[0])).get_obj();
    EXPECT_EQ(instance["state"].get_str(), "completed");
    std::map<std::string, json_spirit::Object> files;
    for (json_spirit::Value& file : instance["files"].get_array())
        files[file.get_obj()["name"].get_str()] = file.get_obj();
    EXPECT_EQ(files.size(), tree.size());
    for (const Item& item : tree) {
        std::string name = to_utf8(item.path);
        SCOPED_TRACE(name);
        auto found = files.find(name);
        ASSERT_NE(found, files.end()) << "not stored";
        EXPECT_TRUE(found->second["complete"].get_bool());
        if (item.folder) continue;
        std::string stored = machine_root() + "/stored";
        std::filesystem::remove(stored);
        ASSERT_EQ(run_command("python3 -c " +
                              shell_quote("import sys, urllib.request\nopen(sys.argv[2], 'wb')"
                                          ".write(urllib.request.urlopen(sys.argv[1]).read())") +
                              " " +
                              shell_quote("http://127.0.0.1:" + std::to_string(service.port()) +
                                          "/_sim/file?instance=" + ids[0] +
                                          "&name=" + RemoteService::query_text(name)) +
                              " " + shell_quote(stored)),
                  0);
        EXPECT_TRUE(tovel::testing::decode_stored(stored, true) == item.bytes);
    }
}

CookieManagerImpl& cookies() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

class BackupNetwork : public ::testing::Test {
protected:
    BackupNetwork()
        : service_({"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie}) {}

    void SetUp() override {
        ASSERT_NE(service_.port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_.port()));
        ASSERT_TRUE(cookies().saveCookie("alice", kCookie));
        tree_ = make_tree();
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    void TearDown() override {
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        set_http_client_timeouts(HTTP_Timeouts{});
    }

    bool submit() {
        auto* definition = new BackupJobDefinition;
        json_spirit::Value value =
            parse(std::string(R"({"type":"backup","id":")") + kJob +
                  R"(","user":"alice","name":"Network","source":["C:\\data"],"compression":true,)"
                  R"("schedule":{"type":"once"}})");
        EXPECT_TRUE(definition->fromJSON(value));
        return manager_->submitJob(definition);
    }
    int state() const {
        int out = 0;
        manager_->job(kJob, [&out](const Job& job) { out = job.state(); });
        return out;
    }
    bool workerEnded() const {
        bool out = false;
        manager_->job(kJob, [&out](const Job& job) { out = job.wait(0); });
        return out;
    }
    bool paused() const { return state() == JS_PAUSED && workerEnded(); }
    bool finished() const {
        int now = state();
        return (now == JS_COMPLETED || now == JS_ERROR || now == JS_CANCELLED) && workerEnded();
    }
    int lastRunState() const {
        int out = 0;
        manager_->job(kJob, [&out](const Job& job) { out = job.lastRunState(); });
        return out;
    }
    // Resumes each pause of the network rule at once until the run ends;
    // the number of pauses.
    int resumeUntilFinished() {
        int pauses = 0;
        while (pauses <= 10) {
            EXPECT_TRUE(eventually([&] { return finished() || paused(); }));
            if (!paused()) return pauses;
            ++pauses;
            EXPECT_TRUE(manager_->resumeJob(kJob));
        }
        ADD_FAILURE() << "paused " << pauses << " times";
        return pauses;
    }
    void fault(const std::string& json) {
        EXPECT_NE(service_.control("POST", "faults", json).find("\"faults\""), std::string::npos);
    }

    void pauseDuringTrickle(const std::string& trickle) {
        fault(trickle);
        ASSERT_TRUE(submit());
        ASSERT_TRUE(eventually([&] { return faulted(service_, "upload_data", "trickle"); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // well into the reply
        ASSERT_FALSE(paused());
        auto asked = Clock::now();
        ASSERT_TRUE(manager_->pauseJob(kJob));
        ASSERT_TRUE(eventually([&] { return paused(); }, 30));
        EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5));
        ASSERT_TRUE(manager_->resumeJob(kJob));
        EXPECT_EQ(resumeUntilFinished(), 0);
        EXPECT_EQ(lastRunState(), JS_COMPLETED);
        check_stored(service_, tree_);
    }

    RemoteService service_;
    std::vector<Item> tree_;
    JobManagerImpl* manager_ = nullptr;
};

}  // namespace

// A block reply that trickles one byte a second, in its head, its body or
// its chunks: a pause by hand cuts the exchange short and takes effect
// within a second or two (asserted generously), and the resumed run stores
// every block.
TEST_F(BackupNetwork, APauseCutsATricklingHeadShort) {
    pauseDuringTrickle(
        R"({"kind":"upload_data","action":"trickle","at":"head","times":1,"skip":2})");
}

TEST_F(BackupNetwork, APauseCutsATricklingBodyShort) {
    pauseDuringTrickle(
        R"({"kind":"upload_data","action":"trickle","at":"body","times":1,"skip":2})");
}

TEST_F(BackupNetwork, APauseCutsTricklingChunksShort) {
    pauseDuringTrickle(
        R"({"kind":"upload_data","action":"trickle","at":"body","chunk_size":3,"times":1,"skip":2})");
}

// A trickling reply of the increment check, which runs before the storage:
// a stop ends the run as cancelled at once, not in error.
TEST_F(BackupNetwork, AStopCutsATricklingIncrementCheckShort) {
    fault(R"({"kind":"increment_check","action":"trickle","at":"head","times":1})");
    ASSERT_TRUE(submit());
    ASSERT_TRUE(eventually([&] { return faulted(service_, "increment_check", "trickle"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto asked = Clock::now();
    ASSERT_TRUE(manager_->stopJob(kJob));
    ASSERT_TRUE(eventually([&] { return finished(); }, 30));
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(state(), JS_CANCELLED);
    EXPECT_TRUE(requests(service_, "upload_file").empty());
}

// The reply of End Job trickles (the end of a completed run is not cut
// short by a stop): the service's stop returns within the exchange's
// deadline, set short here, instead of waiting for ever.
TEST_F(BackupNetwork, CloseReturnsWithinTheDeadlineOfATricklingExchange) {
    HTTP_Timeouts timeouts;
    timeouts.exchange_ms = 3000;
    set_http_client_timeouts(timeouts);
    fault(R"({"kind":"end_job","action":"trickle","at":"head","process":false})");
    ASSERT_TRUE(submit());
    ASSERT_TRUE(eventually([&] { return faulted(service_, "end_job", "trickle"); }));
    auto asked = Clock::now();
    manager_->close();
    manager_ = nullptr;
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(20));
    // Nothing was reported as ended: the service still has the run running.
    json_spirit::Value all = parse(service_.control("GET", "instances"));
    for (json_spirit::Value& entry : all.get_obj()["instances"].get_array())
        EXPECT_NE(entry.get_obj()["state"].get_str(), "completed");
}

// Without a pause, the deadline alone ends a trickling exchange (10060, a
// network failure): the run pauses, and the resumed run completes.
TEST_F(BackupNetwork, ATricklingReplyRunsOutOfItsDeadlineAndTheRunPauses) {
    HTTP_Timeouts timeouts;
    timeouts.exchange_ms = 2000;
    set_http_client_timeouts(timeouts);
    fault(R"({"kind":"upload_file","action":"trickle","at":"body","times":2,"skip":1})");
    ASSERT_TRUE(submit());
    EXPECT_EQ(resumeUntilFinished(), 1);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_stored(service_, tree_);
}

// alice's first stored cookie is dead: the increment check's 401 removes it
// and the run goes on with her live one, to the end.
TEST_F(BackupNetwork, ADeadFirstCookieIsDroppedAndTheRunGoesOnWithTheLiveOne) {
    ASSERT_TRUE(cookies().saveCookie("alice", kDeadCookie));
    std::string first;
    ASSERT_TRUE(cookies().findCookie("alice", first));
    ASSERT_EQ(first, kDeadCookie);
    ASSERT_TRUE(submit());
    EXPECT_EQ(resumeUntilFinished(), 0);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_stored(service_, tree_);
    EXPECT_FALSE(cookies().isCookieValid(kDeadCookie));
    EXPECT_TRUE(cookies().isCookieValid(kCookie));
    json_spirit::Array checks = requests(service_, "increment_check");
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].get_obj()["status"].get_int(), 401);
    EXPECT_EQ(checks[1].get_obj()["status"].get_int(), 200);
}

// With every cookie of alice dead the run pauses, as before.
TEST_F(BackupNetwork, WithNoLiveCookieLeftTheRunPauses) {
    service_.control("POST", "sessions/expire", "{}");
    ASSERT_TRUE(cookies().saveCookie("alice", kDeadCookie));
    ASSERT_TRUE(submit());
    ASSERT_TRUE(eventually([&] { return paused(); }));
    std::string left;
    EXPECT_FALSE(cookies().findCookie("alice", left)) << left;
    EXPECT_TRUE(requests(service_, "upload_file").empty());
}

// A Set-Cookie with a bare CR makes the reply malformed: nothing of it
// reaches the cookie store, the run keeps its cookie and completes.
TEST_F(BackupNetwork, ASetCookieWithACarriageReturnNeverReachesTheStore) {
    fault(R"({"kind":"upload_file","action":"header","name":"Set-Cookie",)"
          R"("value":"sid=0123\rX-Injected: 1","times":1,"skip":1})");
    ASSERT_TRUE(submit());
    resumeUntilFinished();
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_stored(service_, tree_);
    std::string cookie;
    ASSERT_TRUE(cookies().findCookie("alice", cookie));
    EXPECT_EQ(cookie, kCookie);
    EXPECT_FALSE(cookies().isCookieValid("sid=0123\rX-Injected: 1"));
}

// A chunked reply that cannot be decoded is a failed exchange: retried at
// once like a dropped connection. Here the service did not carry out the
// block it answered so, so a run that took the reply as a success would end
// with a block missing.
TEST_F(BackupNetwork, AMalformedChunkedReplyIsRetried) {
    fault(R"({"kind":"upload_data","action":"bad_chunk","process":false,"times":1,"skip":1})");
    ASSERT_TRUE(submit());
    EXPECT_EQ(resumeUntilFinished(), 0);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_stored(service_, tree_);
}

// A block answered 200 with an HTML page (a portal of the network on the
// way; the service never saw the block): the run pauses, and the resumed run
// sends the block again and completes with every block stored.
TEST_F(BackupNetwork, AnHtmlPageInPlaceOfABlockReplyPausesTheRun) {
    fault(R"({"kind":"upload_data","action":"body","process":false,"content_type":"text/html",)"
          R"("body":"<html><body>Log in to the network</body></html>","times":1,"skip":2})");
    ASSERT_TRUE(submit());
    EXPECT_EQ(resumeUntilFinished(), 1);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_stored(service_, tree_);
}
