// The credential and settings stores are private to their owner: the
// cookies, passwords and options files, and every encrypted text file (the
// keys file is one), are written readable and writable by their owner only,
// also when they replace a file that others could read. What the service
// writes of a job (its folder, definition and activity record) is open to
// every user's reading: the tray runs as the logged-in user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/data_folder.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/key_manager.h"
#include "job/stores/options.h"
#include "job/stores/password_manager.h"
#include "job/tests/test_job.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;

namespace {

const wchar_t kDataFolder[] = L"C:\\ProgramData\\morvask\\Tovel";

// The permission bits of a file of the data folder; -1 when it is missing.
int mode_of(const wchar_t* name) {
    struct stat st;
    std::string path = host_of(std::wstring(kDataFolder) + L"\\" + name);
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

int host_mode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Sets the process's file mode mask for the scope.
class ScopedMask {
public:
    explicit ScopedMask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedMask() { ::umask(old_); }
    ScopedMask(const ScopedMask&) = delete;
    ScopedMask& operator=(const ScopedMask&) = delete;

private:
    mode_t old_;
};

// Opens each path for reading as the user nobody (65534) in a child process:
// the paths that opened, in the given order, as a string of '1' and '0'.
// Only root can take another user's identity.
std::string opened_as_another_user(const std::vector<std::string>& paths) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        int opened = 0;
        for (size_t i = 0; i < paths.size(); ++i) {
            int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                opened |= 1 << i;
                ::close(fd);
            }
        }
        ::_exit(opened);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) == 100)
        return "<no child>";
    std::string out;
    for (size_t i = 0; i < paths.size(); ++i) out += (WEXITSTATUS(status) >> i) & 1 ? '1' : '0';
    return out;
}

}  // namespace

TEST(StoreAccess, EveryStoreFileIsTheOwnersAlone) {
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    using Passwords = ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", "sid=1"));
    ASSERT_TRUE(Passwords::instance()->savePassword("alice", "secret"));
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", 8080));
    // The keys file as the key store writes it, over one that all could read.
    std::wstring keys = std::wstring(kDataFolder) + L"\\keys";
    std::string host = host_of(keys);
    {
        std::FILE* f = std::fopen(host.c_str(), "w");
        if (f) std::fclose(f);
    }
    ASSERT_EQ(::chmod(host.c_str(), 0644), 0);
    ASSERT_TRUE(store_key_manager().encryptStringToTextFile(keys.c_str(), "{}"));

    for (const wchar_t* name : {L"cookies", L"passwords", L"options", L"keys"})
        EXPECT_EQ(mode_of(name), 0600) << std::filesystem::path(name).string();
    // The folder itself stays readable: job folders and definitions live there.
    struct stat st;
    ASSERT_EQ(::stat(host_of(kDataFolder).c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0055, 0u);
}

// A job made through the job manager, under a file mode mask that would keep
// everything private (077) and under one that would open it to writing (0):
// the folders down to the job's are 0755, its definition, its activity record
// and the record's name entry 0644 (the tray opens the record by name, reads
// the entry and then the file), and nobody else can open the stores.
TEST(StoreAccess, AJobsFilesAreReadableByOtherUsersAndTheStoresStayPrivate) {
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    using Passwords = ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>;
    const char* ids[] = {"0a1b2c3d-1111-4222-8333-444455556666",
                         "0a1b2c3d-7777-4888-9999-aaaabbbbcccc"};
    const mode_t masks[] = {077, 0};
    for (int round = 0; round < 2; ++round) {
        ScopedMask mask(masks[round]);
        SCOPED_TRACE(testing::Message() << "mask " << std::oct << masks[round]);
        const std::string id = ids[round];
        JobManagerImpl* manager = JobManagerImpl::instance();
        manager->jobFactory(job_tests::TestJob::make);
        ASSERT_TRUE(manager->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        ASSERT_TRUE(manager->submitJob(job_tests::make_definition(id)));
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", "sid=1"));
        ASSERT_TRUE(Passwords::instance()->savePassword("alice", "secret"));
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", 8080));
        ASSERT_TRUE(store_key_manager().encryptStringToTextFile(
            (std::wstring(kDataFolder) + L"\\keys").c_str(), "{}"));

        const std::wstring job = std::wstring(kDataFolder) + L"\\job\\" + from_utf8(id);
        std::vector<std::string> folders = {machine_root() + "/objects"};
        for (const wchar_t* folder : {L"C:\\ProgramData", L"C:\\ProgramData\\morvask", kDataFolder})
            folders.push_back(host_of(folder));
        for (const std::wstring& folder : {job.substr(0, job.rfind(L'\\')), job, job + L"\\act"})
            folders.push_back(host_of(folder));
        for (const std::string& folder : folders) EXPECT_EQ(host_mode(folder), 0755) << folder;
        const std::string definition = host_of(job + L"\\def");
        const std::string record = host_of(job + L"\\act\\info");
        // The name entry of "Global\\job_<id>": the file of objects/ that names the record.
        std::string entry;
        for (const auto& item : std::filesystem::directory_iterator(machine_root() + "/objects"))
            if (item.path().filename().string().rfind("mapping.", 0) == 0 &&
                read_host_file(item.path().string()).find(record) != std::string::npos)
                entry = item.path().string();
        ASSERT_FALSE(entry.empty());
        for (const std::string& file : {definition, record, entry})
            EXPECT_EQ(host_mode(file), 0644) << file;
        std::vector<std::string> stores;
        for (const wchar_t* name : {L"cookies", L"passwords", L"options", L"keys"}) {
            stores.push_back(host_of(std::wstring(kDataFolder) + L"\\" + name));
            EXPECT_EQ(host_mode(stores.back()), 0600) << stores.back();
        }

        if (::geteuid() == 0) {
            // The machine's own folder is open to all, as /var/lib/tovel is.
            ASSERT_EQ(::chmod(machine_root().c_str(), 0755), 0);
            std::vector<std::string> paths = {host_of(job), definition, record, entry};
            paths.insert(paths.end(), stores.begin(), stores.end());
            EXPECT_EQ(opened_as_another_user(paths), "11110000");
        }
        manager->close();
        Iocp_Dispatcher::instance()->stop();
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "modes checked; opening as another user needs root, which this is not";
}
