// The jobs and job-instances handlers through the web server's request handling, with the real
// job manager and dispatcher and the simulator as the remote service: a backup job defined,
// run and browsed, its cache checked against an independent reading of the remote tree, a
// restore of part of it, deletions, and the refusals that must come before any remote exchange.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "platform/win32.h"
#include "portvane/jobs/local_job_history_src.h"
#include "portvane/tests/handler_kit.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/job_waits.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

extern "C" {
void jobs_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void jobsview_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void jobinstances_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
}

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

const char kAlice[] = "sid=00112233445566778899aabbccddeeff";
const char kBob[] = "sid=ffeeddccbbaa99887766554433221100";
const char kJob[] = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";

std::string sourceDir() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return source ? source : ".";
}

json_spirit::Value parsed(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class JobsHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kAlice, "--account",
            "bob:secret", "--cookie", std::string("bob:") + kBob});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        auto* cookies =
            ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
        ASSERT_TRUE(cookies->saveCookie("alice", kAlice));
        ASSERT_TRUE(cookies->saveCookie("bob", kBob));
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        web_ = std::make_unique<Portvane>(std::map<std::string, void*>{
            {"jobs_callback", reinterpret_cast<void*>(&jobs_callback)},
            {"jobsview_callback", reinterpret_cast<void*>(&jobsview_callback)},
            {"jobinstances_callback", reinterpret_cast<void*>(&jobinstances_callback)}});
    }
    void TearDown() override {
        web_.reset();
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        service_.reset();
    }

    Reply get(const std::string& uri, const char* cookie = kAlice) {
        return web_->ask("GET", uri.c_str(), cookie);
    }

    // The remote service's own answer to a catalogue request, read with curl.
    std::string remote(const std::string& path, const std::string& body) {
        std::string out;
        run_command("curl -s -X POST -H " + shell_quote(std::string("Cookie: ") + kAlice) +
                        " --data-binary " + shell_quote(body) + " http://127.0.0.1:" +
                        std::to_string(service_->port()) + "/tovel/WebServer/" + path,
                    &out);
        return out;
    }

    int remoteRequests(const char* kind) {
        json_spirit::Value log =
            parsed(service_->control("GET", std::string("requests?kind=") + kind));
        return static_cast<int>(log.get_obj().at("requests").get_array().size());
    }

    // Waits until the job's run has ended; the run's final state.
    int waitForEnd(const std::string& id) {
        return tovel::testing::wait_for_run_end(*manager_, id).lastRunState;
    }

    // Waits until the job manager holds no job of that id (a removal ends on a thread).
    bool waitGone(const char* id) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (manager_->job(id, [](const Job&) {})) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    std::string backupDefinition(const std::string& name) {
        return R"({"type":"backup","id":")" + std::string(kJob) + R"(","name":")" + name +
               R"(","source":["C:/t"],"schedule":{"type":"manual"}})";
    }

    std::unique_ptr<RemoteService> service_;
    JobManagerImpl* manager_ = nullptr;
    std::unique_ptr<Portvane> web_;
};

// A tree with nested and empty folders, an empty file, a file of 2 MiB + 1 bytes, a name that
// a LIKE pattern would take for another ("a_b" beside "aXb") and non-ASCII names.
void makeTree() {
    for (const wchar_t* folder : {L"C:\\t", L"C:\\t\\a_b", L"C:\\t\\aXb", L"C:\\t\\empty",
                                  L"C:\\t\\n\u00e9st", L"C:\\t\\n\u00e9st\\deep"}) {
        ASSERT_TRUE(CreateDirectoryW(folder, nullptr));
    }
    write_host_file(host_of(L"C:\\t\\a_b\\x.txt"), "under a_b");
    write_host_file(host_of(L"C:\\t\\aXb\\y.txt"), "under aXb");
    write_host_file(host_of(L"C:\\t\\zero"), "");
    std::string big(2 * 1024 * 1024 + 1, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
    write_host_file(host_of(L"C:\\t\\n\u00e9st\\deep\\big.bin"), big);
    write_host_file(host_of(L"C:\\t\\n\u00e9st\\\u65e5\u672c.txt"), "nihon");
}

TEST_F(JobsHandlerTest, ABackupJobIsDefinedRunBrowsedRestoredAndDeleted) {
    makeTree();
    // Refusals before anything is sent.
    EXPECT_EQ(web_->post("/jobs", backupDefinition("b")).status, 401);
    EXPECT_EQ(web_->post("/jobs", "{\"type\":", kAlice).status, 400);
    EXPECT_EQ(
        web_->post("/jobs", R"({"type":"backup","id":"../x","name":"b","source":["C:/t"]})", kAlice)
            .status,
        400);
    EXPECT_EQ(web_->post("/jobs/a/b", backupDefinition("b"), kAlice).status, 403);
    EXPECT_EQ(remoteRequests("create_job_definition"), 0);

    Reply created = web_->post("/jobs", backupDefinition("Backup of t"), kAlice);
    ASSERT_EQ(created.status, 200) << created.raw;
    EXPECT_EQ(parsed(created.body), parsed(std::string(R"({"id":")") + kJob + "\"}"));
    EXPECT_EQ(parsed(get("/jobs").body).get_array().size(), 1u);
    EXPECT_EQ(get("/jobs", kBob).body, "[]");
    Reply view = get("/jobsview");
    json_spirit::Object summary = parsed(view.body).get_array().at(0).get_obj();
    EXPECT_EQ(summary.at("name").get_str(), "Backup of t");
    EXPECT_EQ(summary.at("type").get_str(), "backup");
    EXPECT_EQ(get(std::string("/jobsview/") + kJob).status, 200);
    EXPECT_EQ(get("/jobsview/5b1e0c2d-0000-4b5c-8d6e-7f8091a2b3c4").status, 404);
    EXPECT_EQ(get("/jobs/state/none").status, 400);
    EXPECT_NE(get("/jobs/state").body.find(kJob), std::string::npos);

    // Another user's job, and a restore posted under a backup job's id, never reach it.
    EXPECT_EQ(web_->post("/jobs", backupDefinition("mine now"), kBob).status, 404);
    std::string restoreUnderBackup = R"({"type":"restore","id":")" + std::string(kJob) +
                                     R"(","name":"r","instanceId":"7","source":["C:/t/"]})";
    EXPECT_EQ(web_->post("/jobs", restoreUnderBackup, kAlice).status, 400);
    EXPECT_EQ(remoteRequests("create_job_definition"), 1);

    ASSERT_EQ(get(std::string("/jobs/") + kJob + "/start").status, 200);
    ASSERT_EQ(waitForEnd(kJob), JS_COMPLETED);
    Reply ids = get(std::string("/jobs/") + kJob + "/instanceids");
    ASSERT_EQ(ids.status, 200) << ids.raw;
    json_spirit::Array runs = parsed(ids.body).get_array();
    ASSERT_EQ(runs.size(), 1u) << ids.body;
    const std::string run = runs[0].get_obj().at("id").get_str();

    // Browsing: the volume, folders before files with sizes, every file; the second request
    // is answered from the cache.
    Reply top = get("/jobinstances/" + run + "/source/");
    ASSERT_EQ(top.status, 200) << top.raw;
    EXPECT_EQ(parsed(top.body).get_array().at(0).get_obj().at("vol").get_str(), "C:");
    Reply level = get("/jobinstances/" + run + "/source/C:/t/n\xc3\xa9st");
    ASSERT_EQ(level.status, 200);
    json_spirit::Array children = parsed(level.body).get_array();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].get_obj().at("dir").get_str(), "deep");
    EXPECT_EQ(children[0].get_obj().at("has_sub_dir").get_str(), "false");
    EXPECT_EQ(children[1].get_obj().at("file").get_str(), "\xe6\x97\xa5\xe6\x9c\xac.txt");
    EXPECT_EQ(children[1].get_obj().at("size").get_int64(), 5);
    EXPECT_EQ(parsed(get("/jobinstances/" + run + "/source/#all").body).get_array().size(), 5u);
    EXPECT_EQ(get("/jobinstances/" + run + "/source/#increment").status, 200);
    EXPECT_EQ(remoteRequests("get_instance_sources"), 1);

    // The cache holds what an independent reading of the remote tree gives.
    LocalJobHistorySrc cache(run);
    std::string tree =
        remote("catalog/GetSourcesByJobInstanceID.php", "{\"jobinstanceid\":\"" + run + "\"}");
    std::string expected =
        python_with_input("import runpy,sys; sys.argv=['x']; runpy.run_path(" +
                              shell_quote(sourceDir() + "/portvane/tests/history_rows.py") + ")",
                          tree);
    std::string rows;
    run_command("sqlite3 -readonly " + shell_quote(host_of(cache.dbPath())) +
                    " 'select fullpath,parentpath,type,mtime,atime,ctime,size,srcpath,"
                    "quote(increment) from src order by cast(fullpath as blob)'",
                &rows);
    while (!expected.empty() && expected.back() == '\n') expected.pop_back();
    EXPECT_EQ(rows, expected + "\n");
    run_command(
        "sqlite3 -readonly " + shell_quote(host_of(cache.dbPath())) + " 'pragma integrity_check'",
        &rows);
    EXPECT_EQ(rows, "ok\n");

    // History and errors are the remote bodies as they stand.
    std::string body = "{\"jobinstanceid\":\"" + run + "\"}";
    EXPECT_EQ(get("/jobinstances/" + run + "/history").body,
              remote("catalog/GetHistoryByJobInstanceID.php", body));
    EXPECT_EQ(get("/jobinstances/" + run + "/errors").body,
              remote("catalog/ListErrorByJobInstanceID.php", body));
    EXPECT_EQ(parsed(get("/jobinstances/" + run).body), parsed(R"({"status":"completed"})"));
    // The status is the remote text, or the text of the remote object's "status" alone.
    service_->control("POST", "faults",
                      R"([{"kind":"instance_status","action":"body","body":"running",)"
                      R"("content_type":"text/plain","times":1},)"
                      R"({"kind":"instance_status","action":"body","times":1,)"
                      R"("body":"{\"status\":\"deleted\",\"owner\":\"alice\"}"}])");
    EXPECT_EQ(get("/jobinstances/" + run).body, R"({"status":"running"})");
    EXPECT_EQ(get("/jobinstances/" + run).body, R"({"status":"deleted"})");

    // A restore of one folder and one file into another folder runs at once.
    const char kRestore[] = "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f";
    std::string restore = R"({"type":"restore","id":")" + std::string(kRestore) +
                          R"(","name":"r","instanceId":")" + run +
                          R"(","location":"C:/out","existing":"overwrite",)"
                          R"("source":["C:/t/n\u00e9st/","C:/t/a_b/x.txt"]})";
    Reply restored = web_->post("/jobs", restore, kAlice);
    ASSERT_EQ(restored.status, 200) << restored.raw;
    ASSERT_EQ(waitForEnd(kRestore), JS_COMPLETED);
    std::string listing;
    run_command("cd " + shell_quote(host_of(L"C:\\out")) + " && find . | sort", &listing);
    // The selection is placed below the location by its paths under their common folder.
    EXPECT_EQ(listing,
              ".\n./a_b\n./a_b/x.txt\n./n\xc3\xa9st\n./n\xc3\xa9st/deep\n"
              "./n\xc3\xa9st/deep/big.bin\n./n\xc3\xa9st/\xe6\x97\xa5\xe6\x9c\xac.txt\n");
    for (const wchar_t* file :
         {L"a_b\\x.txt", L"n\u00e9st\\deep\\big.bin", L"n\u00e9st\\\u65e5\u672c.txt"}) {
        EXPECT_EQ(run_command("cmp " + shell_quote(host_of(std::wstring(L"C:\\t\\") + file)) + " " +
                              shell_quote(host_of(std::wstring(L"C:\\out\\") + file))),
                  0);
    }

    // Deleting the run: its cache and restore jobs go, and it cannot be restored any more.
    EXPECT_EQ(web_->ask("DELETE", ("/jobinstances/" + run).c_str(), kAlice).status, 200);
    EXPECT_FALSE(exists(cache.folder()));
    EXPECT_TRUE(waitGone(kRestore));
    EXPECT_EQ(web_->post("/jobs", restore, kAlice).status, 404);
    EXPECT_EQ(get(std::string("/jobs/") + kJob + "/instanceids").body, "[]");

    EXPECT_EQ(web_->ask("DELETE", (std::string("/jobs/") + kJob).c_str(), kAlice).status, 200);
    EXPECT_TRUE(waitGone(kJob));
    EXPECT_EQ(web_->ask("DELETE", (std::string("/jobs/") + kJob).c_str(), kAlice).status, 500);
}

TEST_F(JobsHandlerTest, RefusalsComeBeforeTheServiceIsAskedAndHalfRunsAreNotCached) {
    makeTree();
    ASSERT_EQ(web_->post("/jobs", backupDefinition("b"), kAlice).status, 200);
    // Bad requests of the run family.
    struct Case {
        const char* method;
        const char* uri;
        const char* cookie;
        int status;
    } cases[] = {
        {"GET", "/jobinstances/7", nullptr, 401},
        {"GET", "/jobinstances", kAlice, 400},
        {"GET", "/jobinstancesX/1", kAlice, 404},
        {"POST", "/jobinstances/1", kAlice, 403},
        {"GET", "/jobinstances/7/foo", kAlice, 400},
        {"GET", "/jobinstances/a:b", kAlice, 400},
        {"GET", "/jobinstances/../source/", kAlice, 400},
        {"DELETE", "/jobinstances/#all", kAlice, 400},
        {"DELETE", "/jobinstances/#all/notanid", kAlice, 400},
        {"GET", "/jobinstances/#all/source/", kAlice, 400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(web_->ask(c.method, c.uri, c.cookie ? c.cookie : "").status, c.status) << c.uri;
    }
    EXPECT_EQ(service_->control("GET", "requests?kind=instance_status").find("\"seq\""),
              std::string::npos);

    // A run still under way: browsed from the service's tree, never cached; its job keeps its
    // definition, and the service is not asked to change it.
    service_->control("POST", "faults",
                      R"({"kind":"end_job","action":"delay","seconds":3,"times":1})");
    ASSERT_EQ(get(std::string("/jobs/") + kJob + "/start").status, 200);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int state = 0;
    while (state != JS_COMPLETING && std::chrono::steady_clock::now() < deadline) {
        manager_->job(kJob, [&](const Job& job) { state = job.state(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(state, JS_COMPLETING);
    json_spirit::Array runs =
        parsed(get(std::string("/jobs/") + kJob + "/instanceids").body).get_array();
    ASSERT_EQ(runs.size(), 1u);
    const std::string run = runs[0].get_obj().at("id").get_str();
    Reply live = get("/jobinstances/" + run + "/source/C:/t/");
    EXPECT_EQ(live.status, 200);
    EXPECT_EQ(parsed(live.body).get_array().size(), 5u);
    LocalJobHistorySrc cache(run);
    EXPECT_FALSE(exists(cache.folder()));
    std::string scratch;
    run_command(
        "ls -A " + shell_quote(host_of(L"C:\\ProgramData\\morvask\\Tovel\\jobhistorysrc-live")),
        &scratch);
    EXPECT_EQ(scratch, "");
    EXPECT_EQ(
        web_->post((std::string("/jobs/") + kJob).c_str(), backupDefinition("changed"), kAlice)
            .status,
        403);
    EXPECT_EQ(remoteRequests("update_job_definition"), 0);
    ASSERT_EQ(waitForEnd(kJob), JS_COMPLETED);
    EXPECT_EQ(remoteRequests("get_instance_sources"), 1);

    // Two first requests at once: one fetch, one build, the same answer.
    service_->control("POST", "faults",
                      R"({"kind":"get_instance_sources","action":"delay","seconds":1,"times":1})");
    Reply first, second;
    std::thread other([&] { second = get("/jobinstances/" + run + "/source/C:/t/"); });
    first = get("/jobinstances/" + run + "/source/C:/t/");
    other.join();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.body, second.body);
    EXPECT_EQ(parsed(first.body), parsed(live.body));
    EXPECT_EQ(remoteRequests("get_instance_sources"), 2);
    EXPECT_TRUE(exists(cache.dbPath()));

    // A tree that is empty once read is answered as such, and nothing is cached.
    ASSERT_TRUE(cache.Free_DB());
    service_->control(
        "POST", "faults",
        R"({"kind":"get_instance_sources","action":"body","body":"[ ]\n","times":1})");
    Reply empty = get("/jobinstances/" + run + "/source/");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "[]");
    EXPECT_FALSE(exists(cache.dbPath()));
    EXPECT_EQ(parsed(get("/jobinstances/" + run + "/source/").body).get_array().size(), 1u);
    EXPECT_EQ(remoteRequests("get_instance_sources"), 4);

    // A job the manager refuses after the service took it: 500, its definition freed once.
    const char kStray[] = "1a2b3c4d-5e6f-4a7b-8c9d-0e1f2a3b4c5d";
    ASSERT_TRUE(CreateDirectoryW((std::wstring(L"C:\\ProgramData\\morvask\\Tovel\\job\\") +
                                  L"1a2b3c4d-5e6f-4a7b-8c9d-0e1f2a3b4c5d")
                                     .c_str(),
                                 nullptr));
    std::string stray = R"({"type":"backup","id":")" + std::string(kStray) +
                        R"(","name":"s","source":["C:/t"],"schedule":{"type":"manual"}})";
    EXPECT_EQ(web_->post("/jobs", stray, kAlice).status, 500);
    EXPECT_FALSE(manager_->job(kStray, [](const Job&) {}));
}

}  // namespace
}  // namespace portvane::testing
