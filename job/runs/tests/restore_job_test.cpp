// A restore run from its submission to its end, from an offline backup made
// by a backup run of the same test.
#include "job/runs/restore_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/backup_job_definition.h"
#include "plandeck/restore_job_definition.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::write_host_file;

namespace {

const char* kBackupId = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";
const char* kRestoreId = "7c2f1d3e-4a5b-4c6d-9e7f-8091a2b3c4d5";
const char* kCookie = "sid=00112233445566778899aabbccddeeff";

class RestoreJobRun : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        ASSERT_TRUE(manager()->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    void TearDown() override {
        manager()->close();
        Iocp_Dispatcher::instance()->stop();
    }
    static JobManagerImpl* manager() { return JobManagerImpl::instance(); }

    // Submits a definition and waits for its run to end; its last run state.
    int run(const std::string& json, const char* id) {
        json_spirit::Value value;
        EXPECT_TRUE(json_spirit::read(json, value));
        JobDefinition* definition = json.find(R"("type":"backup")") != std::string::npos
                                        ? static_cast<JobDefinition*>(new BackupJobDefinition)
                                        : static_cast<JobDefinition*>(new RestoreJobDefinition);
        EXPECT_TRUE(definition->fromJSON(value));
        EXPECT_TRUE(manager()->submitJob(definition));
        int last = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (last == 0 && std::chrono::steady_clock::now() < deadline) {
            manager()->job(id, [&](const Job& job) { last = job.lastRunState(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return last;
    }

    // Backs up C:\data offline into C:\backups; the catalogue's path.
    std::wstring backUp() {
        EXPECT_EQ(
            run(std::string(R"({"type":"backup","id":")") + kBackupId +
                    R"(","user":"alice","name":"b","source":["C:\\data"],)"
                    R"("offline":"C:\\backups","compression":true,"schedule":{"type":"once"}})",
                kBackupId),
            JS_COMPLETED);
        for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
            if (entry.path().extension() == ".cat")
                return L"C:\\backups\\" + entry.path().filename().wstring();
        ADD_FAILURE() << "no catalogue";
        return L"";
    }

    std::string restoreJson(const std::wstring& catalogue, const std::string& members) {
        std::string path(catalogue.begin(), catalogue.end());
        std::string escaped;
        for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return std::string(R"({"type":"restore","id":")") + kRestoreId +
               R"(","user":"alice","name":"r","offline":")" + escaped + "\"," + members + "}";
    }

    std::unique_ptr<RemoteService> service_;
};

void make_tree() {
    std::filesystem::create_directories(tovel::testing::machine_root() + "/drives/d");
    std::filesystem::create_directories(host_of(L"C:\\data\\sub\\empty"));
    write_host_file(host_of(L"C:\\data\\a.txt"), "first file");
    write_host_file(host_of(L"C:\\data\\sub\\b.bin"), std::string(300000, 'b'));
}

}  // namespace

TEST_F(RestoreJobRun, AnOfflineBackupComesBackBelowAnotherFolder) {
    make_tree();
    std::wstring catalogue = backUp();
    EXPECT_EQ(run(restoreJson(catalogue, R"("location":"D:\\r","existing":"overwrite",)"
                                         R"("source":["C:\\data\\a.txt","C:\\data\\sub\\b.bin",)"
                                         R"("C:\\data\\sub\\empty\\"])"),
                  kRestoreId),
              JS_COMPLETED);
    EXPECT_EQ(read_host_file(host_of(L"D:\\r\\data\\a.txt")), "first file");
    EXPECT_EQ(read_host_file(host_of(L"D:\\r\\data\\sub\\b.bin")), std::string(300000, 'b'));
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"D:\\r\\data\\sub\\empty")));
}

TEST_F(RestoreJobRun, ARunWhoseEveryItemFailsEndsInError) {
    make_tree();
    std::wstring catalogue = backUp();
    // The data of the run is gone: every file fails.
    std::wstring data = catalogue.substr(0, catalogue.size() - 4);
    std::filesystem::remove_all(host_of(data));
    write_host_file(host_of(L"C:\\data\\a.txt"), "kept");
    EXPECT_EQ(run(restoreJson(catalogue, R"("existing":"overwrite",)"
                                         R"("source":["C:\\data\\a.txt","C:\\data\\sub\\b.bin"])"),
                  kRestoreId),
              JS_ERROR);
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "kept");
    // The run has no other record of what failed: its list stays in the
    // job's history folder, alone, where the web interface reads it.
    std::wstring history =
        L"C:\\ProgramData\\morvask\\Tovel\\job\\" + from_utf8(kRestoreId) + L"\\hist";
    std::vector<std::string> runs;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(history)))
        runs.push_back(entry.path().filename().string());
    ASSERT_EQ(runs.size(), 1u);
    std::string folder = host_of(history + L"\\" + from_utf8(runs[0]));
    EXPECT_EQ(run_command("cd " + tovel::testing::shell_quote(folder) +
                          " && ls -A | grep -qx err && "
                          "test $(ls -A | wc -l) = 1"),
              0);
    EXPECT_EQ(tovel::testing::python("import json\nfor e in json.load(open('" + folder +
                                     "/err')): print(e['code'], e['path'])"),
              "3 C:\\data\\a.txt\n3 C:\\data\\sub\\b.bin");
}
