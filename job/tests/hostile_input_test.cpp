// What the agent is handed from outside and cannot trust: a data disk that
// is full when a job is submitted and at every start after it, job
// definitions and replies of the remote service that nest a million levels
// deep. The agent refuses each with an error and goes on running.
#include "job/storage/web_backup_storage.h"
//
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/json.h"
#include "common/text_conv.h"
#include "job/job_manager.h"
#include "job/storage/transformation.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "job/tests/test_job.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using job_tests::make_definition;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

const char* kJob = "3c4d5e6f-7a8b-4c9d-8e0f-1a2b3c4d5e6f";
const char* kCookie = "sid=0123456789abcdef0123456789abcdef";

std::wstring data_folder() {
    std::wstring folder;
    common_appdata_path(folder, tovel::kDataSubFolder);
    return folder;
}

std::wstring job_folder(const char* id) {
    std::wstring folder;
    common_appdata_path(folder, tovel::kJobSubFolderPrefix);
    return folder + from_utf8(id, -1);
}

// A JSON array nested depth levels deep around a 0.
std::string nested(size_t depth) { return std::string(depth, '[') + "0" + std::string(depth, ']'); }

size_t job_count(JobManagerImpl& manager) {
    size_t count = 0;
    manager.jobs([&count](const Job&) { ++count; });
    return count;
}

class HostileInput : public tovel::testing::LoggedTest {
protected:
    void TearDown() override {
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        LoggedTest::TearDown();
    }
    JobManagerImpl& manager() {
        if (!manager_) {
            manager_ = JobManagerImpl::instance();
            EXPECT_TRUE(manager_->open());
            EXPECT_TRUE(Iocp_Dispatcher::instance()->activate());
        }
        return *manager_;
    }

    JobManagerImpl* manager_ = nullptr;
};

// The agent's data folder is a tmpfs of 64 KiB of its own.
class HostileInputFullDisk : public HostileInput {
protected:
    void SetUp() override {
        HostileInput::SetUp();
        mount_point_ = host_of(data_folder());
        std::filesystem::create_directories(mount_point_);
        if (::mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs on the data folder: " << std::strerror(errno);
        mounted_ = true;
    }
    void TearDown() override {
        HostileInput::TearDown();  // the manager lets go of the disk's files first
        if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
    }

    // Leaves left bytes of the disk free.
    void fill(uint64_t left) {
        struct statvfs space = {};
        ASSERT_EQ(::statvfs(mount_point_.c_str(), &space), 0);
        uint64_t free_bytes = uint64_t{space.f_bavail} * space.f_frsize;
        ASSERT_GT(free_bytes, left);
        write_host_file(mount_point_ + "/filler", std::string(free_bytes - left, 'x'));
    }

    std::string mount_point_;
    bool mounted_ = false;
};

}  // namespace

// With a page left, a submitted job's definition fits but its activity
// record does not: the record's file was grown without blocks, and the first
// store into its mapping killed the agent with SIGBUS, at the submit and at
// every start after it. Now the submit fails with 112 and leaves nothing; a
// job folder that such a crash left behind (a definition and a record file
// without blocks) is passed over by the next start; with room again it is
// loaded.
TEST_F(HostileInputFullDisk, SubmitOnAFullDataDiskFailsWith112AndEveryStartLives) {
    manager();
    fill(4096);
    SetLastError(0);
    EXPECT_FALSE(manager().submitJob(make_definition(kJob)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(job_count(manager()), 0u);
    EXPECT_FALSE(std::filesystem::exists(host_of(job_folder(kJob))));

    // What the crashed submit left: the definition, and a record file of
    // the record's size with no block of its own.
    std::unique_ptr<BackupJobDefinition> definition(make_definition(kJob));
    ASSERT_TRUE(std::filesystem::create_directories(host_of(job_folder(kJob) + L"\\act")));
    ASSERT_TRUE(definition->save((job_folder(kJob) + L"\\def").c_str()));
    std::string info = host_of(job_folder(kJob) + L"\\act\\info");
    write_host_file(info, "");
    ASSERT_EQ(::truncate(info.c_str(), 4096), 0);

    manager_->close();
    ASSERT_TRUE(manager_->open());
    EXPECT_EQ(job_count(*manager_), 0u);
    EXPECT_NE(
        logged().find("Skip job " + std::string(kJob) + ": its activity record cannot be used."),
        std::string::npos)
        << logged();

    std::filesystem::remove(mount_point_ + "/filler");
    manager_->close();
    ASSERT_TRUE(manager_->open());
    EXPECT_EQ(job_count(*manager_), 1u);
}

// A "def" a million levels deep (2 MB) is a parse error at the first level
// too deep: the job folder is recycled at start as any unreadable one, and
// the start goes on with the other jobs.
TEST_F(HostileInput, ADefinitionNestedAMillionDeepIsRecycledAtStart) {
    std::wstring deep = job_folder(kJob);
    ASSERT_TRUE(std::filesystem::create_directories(host_of(deep)));
    write_host_file(host_of(deep + L"\\def"), R"({"type":"backup","id":")" + std::string(kJob) +
                                                  R"(","name":"n","source":["C:/data"],"x":)" +
                                                  nested(1000000) + "}");
    const char* other = "0a1b2c3d-1111-4222-8333-444455556666";
    std::unique_ptr<BackupJobDefinition> good(make_definition(other));
    ASSERT_TRUE(std::filesystem::create_directories(host_of(job_folder(other))));
    ASSERT_TRUE(good->save((job_folder(other) + L"\\def").c_str()));

    EXPECT_EQ(job_count(manager()), 1u);
    bool found = manager().job(other, [](const Job&) {});
    EXPECT_TRUE(found);
    EXPECT_FALSE(std::filesystem::exists(host_of(deep)));
    EXPECT_NE(logged().find("nesting deeper than 256 levels"), std::string::npos) << logged();
}

// The Start Job reply of the remote service, 400 000 levels deep (800 KB,
// within the bound of the reply's size), read by the HTTP client: the reply
// is malformed (0x20010258), the storage does not start, the agent lives.
TEST_F(HostileInput, AReplyNestedFarTooDeepIsAMalformedReply) {
    json_spirit::Object fault{{"kind", "start_job"}, {"action", "body"}, {"body", nested(400000)}};
    std::string config = machine_root() + "/simulator.json";
    write_host_file(config, json_spirit::write(json_spirit::Object{
                                {"faults", json_spirit::Array{json_spirit::Value(fault)}}}));
    tovel::testing::RemoteService service({"--account", "alice:secret", "--cookie",
                                           std::string("alice:") + kCookie, "--config", config});
    ASSERT_NE(service.port(), 0);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));

    std::unique_ptr<BackupJobDefinition> definition(make_definition(kJob));
    auto record = std::make_unique<JobActivity>();
    WebBackupStorage storage(definition.get(), nullptr);
    ASSERT_TRUE(storage.init(record.get(), new BackupTransformation(false)));
    SetLastError(0);
    EXPECT_FALSE(storage.start());
    EXPECT_EQ(GetLastError(), 0x20010258u);
    EXPECT_NE(logged().find("line = 1, column = 257, reason = nesting deeper than 256 levels"),
              std::string::npos)
        << logged();
}
