// Volume names of paths and the read-only attribute on the test machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

std::wstring volume_of(const wchar_t* path, DWORD* error = nullptr) {
    wchar_t out[MAX_PATH] = L"untouched";
    SetLastError(0);
    BOOL ok = GetVolumePathNameW(path, out, MAX_PATH);
    if (error) *error = ok ? 0 : GetLastError();
    return ok ? std::wstring(out) : std::wstring();
}

mode_t mode_of(const std::wstring& path) {
    struct stat st;
    EXPECT_EQ(::lstat(host_of(path).c_str(), &st), 0);
    return st.st_mode;
}

}  // namespace

TEST(PlatformVolumePath, DriveOfAbsolutePaths) {
    EXPECT_EQ(volume_of(L"C:\\a\\b"), L"C:\\");
    EXPECT_EQ(volume_of(L"c:\\missing\\file.txt"), L"C:\\");  // the path need not exist
    EXPECT_EQ(volume_of(L"C:\\"), L"C:\\");
    EXPECT_EQ(volume_of(L"C:"), L"C:\\");
    EXPECT_EQ(volume_of(L"C:/x/y"), L"C:\\");
    EXPECT_EQ(volume_of(L"z:\\home"), L"Z:\\");
    EXPECT_EQ(volume_of(L"\\ProgramData"), L"C:\\");
    EXPECT_EQ(volume_of(L"\\\\?\\C:\\long"), L"C:\\");
}

TEST(PlatformVolumePath, AddedDriveIsItsOwnVolume) {
    DWORD error = 0;
    EXPECT_EQ(volume_of(L"D:\\data", &error), L"");
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    ASSERT_EQ(::mkdir((tovel::testing::machine_root() + "/drives/d").c_str(), 0755), 0);
    EXPECT_EQ(volume_of(L"d:\\data\\x"), L"D:\\");
}

TEST(PlatformVolumePath, NoDriveOfTheMachine) {
    DWORD error = 0;
    EXPECT_EQ(volume_of(L"Q:\\a", &error), L"");
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(volume_of(L"\\\\server\\share\\a", &error), L"");
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(volume_of(L"", &error), L"");
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(volume_of(nullptr, &error), L"");
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(PlatformVolumePath, ShortBuffer) {
    wchar_t out[3] = {L'x', L'y', L'z'};
    SetLastError(0);
    EXPECT_FALSE(GetVolumePathNameW(L"C:\\a", out, 3));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    wchar_t exact[4];
    EXPECT_TRUE(GetVolumePathNameW(L"C:\\a", exact, 4));
    EXPECT_EQ(std::wstring(exact), L"C:\\");
}

TEST(PlatformVolumeAttributes, ReadOnlyIsTheOwnersWritePermission) {
    write_host_file(host_of(L"C:\\f.txt"), "x");
    ASSERT_EQ(::chmod(host_of(L"C:\\f.txt").c_str(), 0664), 0);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\f.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(mode_of(L"C:\\f.txt") & 0777, 0464u);  // only the owner's write bit moved
    EXPECT_EQ(GetFileAttributesW(L"C:\\f.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\f.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(mode_of(L"C:\\f.txt") & 0777, 0664u);
    EXPECT_EQ(GetFileAttributesW(L"C:\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\f.txt", 0));  // 0 clears read-only as well
    EXPECT_EQ(GetFileAttributesW(L"C:\\f.txt"), FILE_ATTRIBUTE_ARCHIVE);
}

TEST(PlatformVolumeAttributes, FoldersAndLinksKeepTheirPermissions) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    mode_t folder = mode_of(L"C:\\dir");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\dir", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(mode_of(L"C:\\dir"), folder);
    EXPECT_EQ(GetFileAttributesW(L"C:\\dir"), FILE_ATTRIBUTE_DIRECTORY);

    write_host_file(host_of(L"C:\\target"), "t");
    ASSERT_EQ(::chmod(host_of(L"C:\\target").c_str(), 0644), 0);
    ASSERT_EQ(::symlink(host_of(L"C:\\target").c_str(), host_of(L"C:\\link").c_str()), 0);
    ASSERT_TRUE(SetFileAttributesW(L"C:\\link", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(mode_of(L"C:\\target") & 0777, 0644u);  // the target is untouched
    EXPECT_EQ(GetFileAttributesW(L"C:\\link"), FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(PlatformVolumeAttributes, MissingPaths) {
    SetLastError(0);
    EXPECT_FALSE(SetFileAttributesW(L"C:\\nothing", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesW(L"C:\\no\\thing", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesW(L"Q:\\x", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}
