// The drives of the test machine as Windows describes them (kind, label, space), and moves that
// Windows refuses: onto an existing target and to another drive.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <string>

#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

// The drive kind that the host's file-system type name (as coreutils' stat reads it) gives.
UINT expected_kind(const std::string& host) {
    std::string type;
    tovel::testing::run_command("stat -f -L -c %T " + tovel::testing::shell_quote(host), &type);
    type = type.substr(0, type.find('\n'));
    if (type == "tmpfs" || type == "ramfs") return DRIVE_RAMDISK;
    if (type == "nfs" || type == "cifs" || type == "smb2" || type == "smb") return DRIVE_REMOTE;
    if (type == "isofs" || type == "udf") return DRIVE_CDROM;
    return DRIVE_FIXED;
}

}  // namespace

TEST(PlatformDrives, KindLabelAndSpace) {
    for (const wchar_t* root : {L"C:\\", L"Z:\\"}) {
        std::string host = host_of(root);
        EXPECT_EQ(GetDriveTypeW(root), expected_kind(host)) << host;
        wchar_t label[36] = L"x";
        wchar_t fileSystem[64] = {};
        DWORD serial = 0;
        ASSERT_TRUE(
            GetVolumeInformationW(root, label, 36, &serial, nullptr, nullptr, fileSystem, 64));
        EXPECT_EQ(std::wstring(label), L"");
        EXPECT_NE(std::wstring(fileSystem), L"");

        DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
        ASSERT_TRUE(GetDiskFreeSpaceW(root, &sectors, &bytes, &freeClusters, &totalClusters));
        EXPECT_EQ(bytes, 512u);
        struct statvfs vfs;
        ASSERT_EQ(::statvfs(host.c_str(), &vfs), 0);
        uint64_t cluster = uint64_t{sectors} * bytes;
        uint64_t total = uint64_t{vfs.f_blocks} * vfs.f_frsize;
        // Whole clusters: at most one cluster short of the host's count.
        EXPECT_LE(uint64_t{totalClusters} * cluster, total);
        EXPECT_GT(uint64_t{totalClusters} * cluster + cluster, total);
        EXPECT_LE(freeClusters, totalClusters);
    }
    EXPECT_EQ(GetDriveTypeW(L"Q:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveTypeW(L"C:\\Windows"), DRIVE_NO_ROOT_DIR);
    SetLastError(0);
    EXPECT_FALSE(GetVolumeInformationW(L"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    DWORD a, b, c, d;
    EXPECT_FALSE(GetDiskFreeSpaceW(L"Q:\\", &a, &b, &c, &d));
    wchar_t tiny[2];
    EXPECT_FALSE(GetVolumeInformationW(L"C:\\", nullptr, 0, nullptr, nullptr, nullptr, tiny, 2));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(PlatformDrives, MoveFileNeitherReplacesNorCrossesDrives) {
    std::filesystem::create_directories(host_of(L"C:\\a\\inside"));
    std::filesystem::create_directories(host_of(L"C:\\b\\kept"));
    write_host_file(host_of(L"C:\\f.txt"), "one");
    write_host_file(host_of(L"C:\\g.txt"), "two");

    SetLastError(0);
    EXPECT_FALSE(MoveFileW(L"C:\\a", L"C:\\b"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFileW(L"C:\\f.txt", L"C:/g.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\a\\inside")));
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\b\\kept")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\g.txt")), "two");

    // Z: lies on the same host file system here, where a rename would go through.
    std::string scratch = tovel::testing::machine_root() + "/z-scratch";
    std::filesystem::create_directories(scratch);
    std::wstring target = L"Z:" + std::wstring(scratch.begin(), scratch.end()) + L"/f.txt";
    EXPECT_FALSE(MoveFileW(L"C:\\f.txt", target.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    EXPECT_EQ(read_host_file(host_of(L"C:\\f.txt")), "one");
    EXPECT_FALSE(std::filesystem::exists(scratch + "/f.txt"));

    EXPECT_TRUE(MoveFileW(L"C:\\a", L"C:\\c"));
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\c\\inside")));
    EXPECT_FALSE(MoveFileW(L"C:\\missing", L"C:\\d"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}
