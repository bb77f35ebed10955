// A backup run from its start to its end, into an offline folder, with the
// increment check answered by the remote-service simulator.
#include "job/runs/backup_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::RemoteService;

namespace {

const char* kId = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";
const char* kCookie = "sid=00112233445566778899aabbccddeeff";

}  // namespace

TEST(BackupJobRun, AnOfflineRunStoresEveryFileAndCompletes) {
    RemoteService service(
        {"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
    std::filesystem::create_directories(host_of(L"C:\\data\\sub"));
    tovel::testing::write_host_file(host_of(L"C:\\data\\a.txt"), "first file");
    tovel::testing::write_host_file(host_of(L"C:\\data\\sub\\b.txt"), std::string(300000, 'b'));
    std::filesystem::create_directories(host_of(L"C:\\backups"));

    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    BackupJobDefinition* definition = new BackupJobDefinition;
    json_spirit::Value value;
    ASSERT_TRUE(json_spirit::read(
        std::string(R"({"type":"backup","id":")") + kId +
            R"(","user":"alice","name":"Offline","source":["C:\\data"],)"
            R"("offline":"C:\\backups","compression":true,"schedule":{"type":"once"}})",
        value));
    ASSERT_TRUE(definition->fromJSON(value));
    ASSERT_TRUE(manager->submitJob(definition));

    int last = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        manager->job(kId, [&](const Job& job) { last = job.lastRunState(); });
        if (last != 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(last, JS_COMPLETED);
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host_of(L"C:\\backups")))
        if (entry.is_regular_file() && entry.path().parent_path().filename().string().size() == 36)
            ++files;
    EXPECT_EQ(files, 2);  // one data file per stored file, in the run's folder
    manager->close();
    Iocp_Dispatcher::instance()->stop();
}
