// The simulated machine: its layout under TOVEL_ROOT, the translation of
// Windows paths to host paths and back, extra drives, and the shell folders.
#include "platform/kernel/machine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::Handle;
using platform_tests::open_file;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

std::string translate(const std::wstring& windows) {
    std::string out;
    SetLastError(0);
    if (!tovel::platform::host_path(windows.c_str(), out))
        return "<failed " + std::to_string(GetLastError()) + ">";
    return out;
}

std::string current_folder() { return std::filesystem::current_path().string(); }

}  // namespace

TEST(PlatformMachine, NewRootIsLaidOutOnFirstUse) {
    std::string root = machine_root();
    ASSERT_FALSE(root.empty());
    EXPECT_FALSE(std::filesystem::exists(root + "/drives"));

    EXPECT_EQ(GetFileAttributesW(L"C:\\"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(std::filesystem::is_directory(
        std::filesystem::symlink_status(root + "/drives/c/ProgramData")));
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/drives/z"));
    EXPECT_EQ(std::filesystem::read_symlink(root + "/drives/z"), "/");
    EXPECT_TRUE(std::filesystem::is_directory(root + "/registry"));
    EXPECT_TRUE(std::filesystem::is_directory(root + "/objects"));
    // Only these two drives.
    size_t drives = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root + "/drives")) {
        (void)entry;
        ++drives;
    }
    EXPECT_EQ(drives, 2u);
}

TEST(PlatformMachine, WindowsPathsTranslateToTheDriveFolders) {
    std::string c = machine_root() + "/drives/c";
    std::string z = machine_root() + "/drives/z";
    EXPECT_EQ(translate(L"C:\\a\\b"), c + "/a/b");
    EXPECT_EQ(translate(L"c:/a//b"), c + "/a/b");
    EXPECT_EQ(translate(L"C:\\\\a\\\\\\b\\"), c + "/a/b");
    EXPECT_EQ(translate(L"C:\\a\\.\\b"), c + "/a/b");
    EXPECT_EQ(translate(L"C:\\a\\b\\."), c + "/a/b");
    EXPECT_EQ(translate(L"C:\\.a\\..b\\..."), c + "/.a/..b/...");
    EXPECT_EQ(translate(L"\\\\?\\C:\\a\\b"), c + "/a/b");
    EXPECT_EQ(translate(L"\\\\?\\c:\\a"), c + "/a");
    EXPECT_EQ(translate(L"C:\\"), c);
    EXPECT_EQ(translate(L"C:"), c);
    EXPECT_EQ(translate(L"\\a\\b"), c + "/a/b");  // no drive: the system drive
    EXPECT_EQ(translate(L"Z:\\etc\\hosts"), z + "/etc/hosts");
    EXPECT_EQ(translate(L"rel\\x"), current_folder() + "/rel/x");

    // ".." stops at the drive's top.
    EXPECT_EQ(translate(L"C:\\..\\..\\x"), c + "/x");
    EXPECT_EQ(translate(L"C:\\a\\..\\..\\..\\etc\\passwd"), c + "/etc/passwd");
    EXPECT_EQ(translate(L"\\\\?\\C:\\..\\x"), c + "/x");
    EXPECT_EQ(translate(L"c:\\a\\b\\..\\.."), c);

    // Paths that name no drive of this machine.
    EXPECT_EQ(translate(L"Q:\\x"), "<failed 3>");
    EXPECT_EQ(translate(L"q:"), "<failed 3>");
    EXPECT_EQ(translate(L"\\\\server\\share\\f"), "<failed 53>");
    EXPECT_EQ(translate(L"\\\\?\\UNC\\server\\share\\f"), "<failed 53>");
}

TEST(PlatformMachine, WindowsPathIsTheInverse) {
    using tovel::platform::windows_path;
    std::string root = machine_root();
    std::string c = root + "/drives/c";
    EXPECT_EQ(windows_path(c + "/a/b"), L"C:\\a\\b");
    EXPECT_EQ(windows_path(c), L"C:\\");
    EXPECT_EQ(windows_path(c + "/"), L"C:\\");
    EXPECT_EQ(windows_path(c + "/x/../a"), L"C:\\a");
    EXPECT_EQ(windows_path("/etc/passwd"), L"Z:\\etc\\passwd");
    EXPECT_EQ(windows_path("/"), L"Z:\\");
    EXPECT_EQ(windows_path(root + "/drives/z/etc"), L"Z:\\etc");

    std::wstring root_on_z = windows_path(root);
    ASSERT_EQ(root_on_z.substr(0, 3), L"Z:\\");
    EXPECT_EQ(windows_path(root + "/registry"), root_on_z + L"\\registry");

    // Back and forth, a name that is not UTF-8 included.
    for (const std::string& host :
         {c + "/a/b", c + "/caf\xe9/\xff", root + "/registry/x", std::string("/tmp/x")}) {
        std::wstring windows = windows_path(host);
        std::string again;
        ASSERT_TRUE(tovel::platform::host_path(windows.c_str(), again));
        if (host.rfind(c, 0) == 0) {
            EXPECT_EQ(again, host);
        } else {
            EXPECT_EQ(again, root + "/drives/z" + host);  // the same file, through drive z
        }
    }
}

TEST(PlatformMachine, ATestCanAddDrives) {
    std::string root = machine_root();
    ASSERT_EQ(GetFileAttributesW(L"D:\\"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A drive as a folder, and a drive as a link to a folder elsewhere.
    ASSERT_TRUE(std::filesystem::create_directories(root + "/drives/d"));
    ASSERT_TRUE(std::filesystem::create_directories(root + "/elsewhere"));
    ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), (root + "/drives/e").c_str()), 0);
    {
        Handle d(open_file(L"d:\\on-d.txt", GENERIC_WRITE, CREATE_NEW));
        Handle e(open_file(L"E:\\on-e.txt", GENERIC_WRITE, CREATE_NEW));
        ASSERT_TRUE(d.valid());
        ASSERT_TRUE(e.valid());
    }
    EXPECT_TRUE(std::filesystem::exists(root + "/drives/d/on-d.txt"));
    EXPECT_TRUE(std::filesystem::exists(root + "/elsewhere/on-e.txt"));
    EXPECT_EQ(tovel::platform::windows_path(root + "/drives/e/on-e.txt"), L"E:\\on-e.txt");
}

TEST(PlatformMachine, ADriveRootIsAFolderThatCannotBeRemoved) {
    std::string root = machine_root();
    ASSERT_TRUE(std::filesystem::create_directories(root + "/drives/d"));
    ASSERT_TRUE(std::filesystem::create_directories(root + "/elsewhere"));
    ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), (root + "/drives/e").c_str()), 0);

    // Drives z and e are links on the host, but a drive's root is never a reparse point.
    for (const wchar_t* drive : {L"C:\\", L"D:\\", L"E:\\", L"Z:\\", L"z:"}) {
        SCOPED_TRACE(testing::Message() << static_cast<char>(drive[0]));
        EXPECT_EQ(GetFileAttributesW(drive), FILE_ATTRIBUTE_DIRECTORY);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        EXPECT_TRUE(GetFileAttributesExW(drive, GetFileExInfoStandard, &data));
        EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_FALSE(RemoveDirectoryW(drive));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(DeleteFileW(drive));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(MoveFileExW(drive, L"C:\\moved", 0));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    write_host_file(root + "/drives/c/f.txt", "f");
    EXPECT_FALSE(MoveFileExW(L"C:\\f.txt", L"D:\\", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_host_file(root + "/drives/c/f.txt"), "f");

    EXPECT_TRUE(std::filesystem::is_directory(root + "/drives/d"));
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/drives/e"));
    EXPECT_TRUE(std::filesystem::is_symlink(root + "/drives/z"));
    EXPECT_FALSE(std::filesystem::exists(root + "/drives/c/moved"));
}

TEST(PlatformShell, CommonAppDataIsProgramDataOnC) {
    WCHAR path[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
              S_OK);
    EXPECT_EQ(std::wstring(path), L"C:\\ProgramData");
    EXPECT_EQ(GetFileAttributesW(path), FILE_ATTRIBUTE_DIRECTORY);
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                               SHGFP_TYPE_CURRENT, path),
              S_OK);
    EXPECT_EQ(std::wstring(path), L"C:\\ProgramData");
    EXPECT_EQ(SHGetFolderPathW(nullptr, 0x001a, nullptr, SHGFP_TYPE_CURRENT, path), E_INVALIDARG);
}

TEST(PlatformShell, SHCreateDirectoryMakesTheWholeChain) {
    std::string c = machine_root() + "/drives/c";
    EXPECT_EQ(SHCreateDirectory(nullptr, L"C:\\ProgramData\\Tovel\\Agent\\logs"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(c + "/ProgramData/Tovel/Agent/logs"));
    EXPECT_EQ(SHCreateDirectory(nullptr, L"C:\\ProgramData\\Tovel\\Agent\\logs"),
              static_cast<int>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, L"c:/one//two", nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(c + "/one/two"));

    EXPECT_EQ(SHCreateDirectory(nullptr, L"relative\\path"), static_cast<int>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(SHCreateDirectory(nullptr, L"Q:\\x"), static_cast<int>(ERROR_PATH_NOT_FOUND));
    // A file on the way stops the chain and nothing below it is made.
    write_host_file(c + "/file", "x");
    EXPECT_EQ(SHCreateDirectory(nullptr, L"C:\\file\\sub\\deeper"),
              static_cast<int>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(read_host_file(c + "/file"), "x");
}
