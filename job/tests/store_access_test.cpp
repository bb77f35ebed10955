// The credential and settings stores are private to their owner: the
// cookies, passwords and options files, and every encrypted text file (the
// keys file is one), are written readable and writable by their owner only,
// also when they replace a file that others could read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "job/cookie_manager.h"
#include "job/key_manager.h"
#include "job/options.h"
#include "job/password_manager.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;

namespace {

const wchar_t kDataFolder[] = L"C:\\ProgramData\\morvask\\Tovel";

// The permission bits of a file of the data folder; -1 when it is missing.
int mode_of(const wchar_t* name) {
    struct stat st;
    std::string path = host_of(std::wstring(kDataFolder) + L"\\" + name);
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
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
