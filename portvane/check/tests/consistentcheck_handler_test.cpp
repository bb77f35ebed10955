// The consistent check's commands, the exclusion list and the deletion of backed-up files
// through the web server's request handling, with the real job manager and the simulator: a
// backed-up tree changed on disk and checked by job instance and by selection, its result
// browsed and acted on, and the refusals that must come before anything is sent or written.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "platform/win32.h"
#include "portvane/tests/handler_kit.h"
#include "tools/testkit/job_waits.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

extern "C" {
void jobs_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void consistentcheck_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void exclusion_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
void deletefiles_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);
}

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::write_host_file;

const char kAlice[] = "sid=00112233445566778899aabbccddeeff";
const char kJob[] = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c5";

json_spirit::Value parsed(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

void makeFile(const std::wstring& path, const std::string& data = "data") {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    write_host_file(host_of(path), data);
}

// Moves a file's last-write time an hour on.
void makeNewer(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    FILETIME written = data.ftLastWriteTime;
    unsigned long long value =
        (static_cast<unsigned long long>(written.dwHighDateTime) << 32 | written.dwLowDateTime) +
        36000000000ull;
    written.dwHighDateTime = static_cast<DWORD>(value >> 32);
    written.dwLowDateTime = static_cast<DWORD>(value);
    HANDLE file =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

// Every file and folder below the machine root, for "nothing made or removed".
std::string machineListing() {
    std::string out;
    run_command(
        "cd " + tovel::testing::shell_quote(tovel::testing::machine_root()) + " && find . | sort",
        &out);
    return out;
}

class CheckHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kAlice});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        auto* cookies =
            ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
        ASSERT_TRUE(cookies->saveCookie("alice", kAlice));
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        web_ = std::make_unique<Portvane>(std::map<std::string, void*>{
            {"jobs_callback", reinterpret_cast<void*>(&jobs_callback)},
            {"consistentcheck_callback", reinterpret_cast<void*>(&consistentcheck_callback)},
            {"exclusion_callback", reinterpret_cast<void*>(&exclusion_callback)},
            {"deletefiles_callback", reinterpret_cast<void*>(&deletefiles_callback)}});
    }
    void TearDown() override {
        web_.reset();
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        service_.reset();
    }

    Reply post(const std::string& uri, const std::string& body) {
        return web_->post(uri.c_str(), body, kAlice);
    }
    Reply command(const char* name, const std::string& body) {
        return post(std::string("/consistentcheck/") + name, body);
    }
    std::string query(const std::string& id, const std::string& path) {
        Reply r =
            command("query", R"({"consistentcheck_id":")" + id + R"(","path":")" + path + "\"}");
        EXPECT_EQ(r.status, 200) << r.raw;
        return r.body;
    }
    json_spirit::Array remoteBodies(const char* kind) {
        json_spirit::Array out;
        json_spirit::Value log =
            parsed(service_->control("GET", std::string("requests?kind=") + kind));
        for (const auto& entry : log.get_obj().at("requests").get_array())
            out.push_back(entry.get_obj().at("body"));
        return out;
    }

    // Waits until the job's run has ended; the run's final state.
    int waitForEnd(const std::string& id) {
        return tovel::testing::wait_for_run_end(*manager_, id).lastRunState;
    }

    // Backs up C:\t with a job of the agent; the run's id.
    std::string backUpTree() {
        for (const wchar_t* name : {L"C:\\t\\keep", L"C:\\t\\newer", L"C:\\t\\gone",
                                    L"C:\\t\\a_b\\x", L"C:\\t\\aXb\\y", L"C:\\t\\n\u00e9st\\f"})
            makeFile(name);
        std::string definition = R"({"type":"backup","id":")" + std::string(kJob) +
                                 R"(","name":"t","source":["C:/t"],"schedule":{"type":"manual"}})";
        EXPECT_EQ(post("/jobs", definition).status, 200);
        EXPECT_EQ(
            web_->ask("GET", (std::string("/jobs/") + kJob + "/start").c_str(), kAlice).status,
            200);
        EXPECT_EQ(waitForEnd(kJob), JS_COMPLETED);
        Reply ids =
            web_->ask("GET", (std::string("/jobs/") + kJob + "/instanceids").c_str(), kAlice);
        json_spirit::Array runs = parsed(ids.body).get_array();
        EXPECT_EQ(runs.size(), 1u) << ids.body;
        return runs.empty() ? std::string() : runs[0].get_obj().at("id").get_str();
    }

    std::unique_ptr<RemoteService> service_;
    JobManagerImpl* manager_ = nullptr;
    std::unique_ptr<Portvane> web_;
};

TEST_F(CheckHandlerTest, ChecksABackedUpTreeAndActsOnTheDifferences) {
    const std::string run = backUpTree();
    ASSERT_FALSE(run.empty());
    makeFile(L"C:\\t\\added");
    makeNewer(L"C:\\t\\newer");
    for (const wchar_t* name : {L"C:\\t\\gone", L"C:\\t\\a_b\\x", L"C:\\t\\aXb\\y"})
        ASSERT_TRUE(DeleteFileW(name));

    Reply submitted = command("submit", R"({"jobInstanceId":")" + run + "\"}");
    ASSERT_EQ(submitted.status, 200) << submitted.raw;
    EXPECT_EQ(parsed(submitted.body), parsed(R"({"id":")" + run + "\"}"));
    EXPECT_EQ(query(run, ""), R"([{"path":"C:/","state":""}])");
    EXPECT_EQ(query(run, "C:/"), R"([{"path":"t/","state":""}])");
    const std::string differences =
        R"([{"path":"aXb/","state":""},{"path":"a_b/","state":""},)"
        R"({"path":"added","state":"added"},{"path":"gone","state":"deleted"},)"
        R"({"path":"newer","state":"modified"}])";
    EXPECT_EQ(query(run, "C:/t"), differences);
    EXPECT_EQ(query(run, "C:/t/a_b/"), R"([{"path":"x","state":"deleted"}])");

    // By selection: a new id, the same differences.
    Reply bySelection = command("submit", R"({"source":{"C:/t":1}})");
    ASSERT_EQ(bySelection.status, 200) << bySelection.raw;
    const std::string uuid = parsed(bySelection.body).get_obj().at("id").get_str();
    EXPECT_EQ(uuid.size(), 36u);
    EXPECT_NE(uuid, run);
    EXPECT_EQ(query(uuid, "C:/t/"), differences);

    // Deleting on the server takes exactly the selected folder's files.
    EXPECT_EQ(command("deletefiles", R"({"consistentcheck_id":")" + run +
                                         R"(","source":["C:/T/a_b/","C:/t/a%/"]})")
                  .status,
              200);
    EXPECT_TRUE(remoteBodies("delete_files").empty());
    EXPECT_EQ(
        command("deletefiles", R"({"consistentcheck_id":")" + run + R"(","source":["C:/t/a_b/"]})")
            .status,
        200);
    EXPECT_EQ(json_spirit::write(remoteBodies("delete_files")), R"([["C:/t/a_b/x"]])");

    // Excluded, the file leaves the next check's result; it leaves the list only once the server
    // deleted it.
    EXPECT_EQ(
        command("exclude", R"({"consistentcheck_id":")" + run + R"(","source":["C:/t/aXb/"]})")
            .status,
        200);
    EXPECT_EQ(web_->ask("GET", "/exclusion", kAlice).body, R"(["C:/t/aXb/y"])");
    ASSERT_EQ(command("submit", R"({"jobInstanceId":")" + run + "\"}").status, 200);
    EXPECT_EQ(query(run, "C:/t/").find("aXb"), std::string::npos);
    service_->control("POST", "faults",
                      R"({"kind":"delete_files","action":"status","status":404,"times":1})");
    EXPECT_EQ(post("/deletefiles", R"(["C:/t/aXb/y"])").status, 404);
    EXPECT_EQ(web_->ask("GET", "/exclusion", kAlice).body, R"(["C:/t/aXb/y"])");
    EXPECT_EQ(post("/deletefiles", R"(["C:/t/aXb/y"])").status, 200);
    EXPECT_EQ(web_->ask("GET", "/exclusion", kAlice).body, "[]");

    // A removed result: a later query fails and makes nothing.
    EXPECT_EQ(command("deleteresult", R"({"consistentcheck_id":")" + uuid + "\"}").status, 200);
    const std::string before = machineListing();
    EXPECT_EQ(before.find(uuid), std::string::npos);
    EXPECT_EQ(command("query", R"({"consistentcheck_id":")" + uuid + R"(","path":""})").status,
              500);
    EXPECT_EQ(
        command("exclude", R"({"consistentcheck_id":")" + uuid + R"(","source":["C:/"]})").status,
        500);
    EXPECT_EQ(machineListing(), before);
}

TEST_F(CheckHandlerTest, BadRequestsAreRefusedBeforeAnythingIsSentOrWritten) {
    const std::string before = machineListing();
    const std::string longId(200, 'a');
    struct Case {
        const char* method;
        std::string uri;
        std::string body;
        int status;
    } cases[] = {
        {"POST", "/consistentcheck", "{}", 400},
        {"POST", "/consistentcheck/unknown", "{}", 400},
        {"POST", "/consistentcheckX/query", "{}", 400},
        {"GET", "/consistentcheck/query", "", 400},
        {"POST", "/consistentcheck/query", "[]", 400},
        {"POST", "/consistentcheck/query", R"({"path":""})", 400},
        {"POST", "/consistentcheck/query", R"({"consistentcheck_id":5,"path":""})", 400},
        {"POST", "/consistentcheck/submit", R"({"jobInstanceId":7})", 400},
        {"POST", "/consistentcheck/exclude", R"({"consistentcheck_id":"x","source":[]})", 400},
        {"POST", "/consistentcheck/restore", R"({"consistentcheck_id":"x","source":"C:/"})", 400},
        {"POST", "/exclusion/add", R"({"a":1})", 400},
        {"POST", "/exclusion/delete", R"(["C:/a"])", 400},
        {"POST", "/exclusion", R"(["C:/a"])", 400},
        {"DELETE", "/exclusion", "", 403},
        {"POST", "/deletefiles", R"({"C:/a":1})", 400},
        {"POST", "/deletefiles", "not json", 400},
    };
    for (const Case& c : cases) {
        FakeConnection io(c.method, c.uri.c_str());
        io.set_body({c.body}, static_cast<long long>(c.body.size()));
        io.add_header("Cookie", kAlice);
        EXPECT_EQ(web_->ask(io).status, c.status) << c.method << " " << c.uri << " " << c.body;
    }
    for (const std::string& id :
         {std::string(".."), std::string("a/b"), std::string("..\\x"), longId, std::string("")}) {
        for (const char* name : {"query", "deleteresult"})
            EXPECT_EQ(command(name, json_spirit::write(json_spirit::Object{
                                        {"consistentcheck_id", id}, {"path", ""}}))
                          .status,
                      400)
                << name << " " << id;
        EXPECT_EQ(command("submit", json_spirit::write(json_spirit::Object{{"jobInstanceId", id}}))
                      .status,
                  400)
            << id;
    }
    EXPECT_TRUE(remoteBodies("delete_files").empty());
    EXPECT_EQ(
        parsed(service_->control("GET", "requests")).get_obj().at("requests").get_array().size(),
        0u);
    EXPECT_EQ(machineListing(), before);
    // The reads of the list never write it.
    EXPECT_EQ(web_->ask("GET", "/exclusion/anything", kAlice).body, "null");
    EXPECT_EQ(machineListing(), before);

    // A list that cannot be written back is a failure, not a success.
    std::wstring data;
    ASSERT_TRUE(common_appdata_path(data, tovel::kDataSubFolder));
    CreateDirectoryW(data.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW((data + L"\\exclusions").c_str(), nullptr));
    EXPECT_EQ(post("/exclusion/add", R"(["C:/a"])").status, 500);
    EXPECT_EQ(post("/exclusion/remove", R"(["C:/a"])").status, 500);
}

TEST_F(CheckHandlerTest, ConcurrentAddsAreAllKept) {
    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string path = "C:/p" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(post("/exclusion/add", "[\"" + path + "\"]").status, 200);
                EXPECT_EQ(web_->ask("GET", "/exclusion", kAlice).status, 200);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    json_spirit::Value list = parsed(web_->ask("GET", "/exclusion", kAlice).body);
    ASSERT_EQ(list.type(), json_spirit::array_type);
    EXPECT_EQ(list.get_array().size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(post("/exclusion/remove", R"(["C:/p0-0", 5, "C:/p1-1"])").status, 200);
    EXPECT_EQ(parsed(web_->ask("GET", "/exclusion", kAlice).body).get_array().size(),
              static_cast<size_t>(kThreads * kEach - 2));
}

}  // namespace
}  // namespace portvane::testing
