// Path helpers, folder creation and the removal functions on the test machine.
#include "job/core/file_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "job/tests/walk_checks.h"

using walk_checks::host_exists;
using walk_checks::host_mode;
using walk_checks::make_file;
using walk_checks::make_folder;
using walk_checks::make_link;
using walk_checks::make_undeletable;
using walk_checks::undeletable_exists;

namespace {

// The result, checked to be the thread's last error as well.
DWORD checked(DWORD result) {
    EXPECT_EQ(GetLastError(), result);
    return result;
}

// A folder outside the removed trees whose contents must survive.
void lay_out_outside() {
    make_folder(L"C:\\outside");
    make_file(L"C:\\outside\\keep.txt", "keep");
    make_folder(L"C:\\outside\\inner");
    make_file(L"C:\\outside\\inner\\deep.txt", "deep");
}

void expect_outside_intact() {
    EXPECT_EQ(tovel::testing::read_host_file(walk_checks::host_of(L"C:\\outside\\keep.txt")),
              "keep");
    EXPECT_EQ(tovel::testing::read_host_file(walk_checks::host_of(L"C:\\outside\\inner\\deep.txt")),
              "deep");
}

void make_read_only(const std::wstring& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

}  // namespace

TEST(JobFileHelpers, ParentFolder) {
    EXPECT_EQ(parentFolder(L"C:\\a\\b"), L"C:\\a");
    EXPECT_EQ(parentFolder(L"C:\\a\\b\\\\"), L"C:\\a");
    EXPECT_EQ(parentFolder(L"C:\\a\\\\\\b"), L"C:\\a");
    EXPECT_EQ(parentFolder(L"C:\\\\a\\\\b\\c"), L"C:\\a\\b");
    EXPECT_EQ(parentFolder(L"C:\\a"), L"C:");
    EXPECT_EQ(parentFolder(L"C:\\"), L"");
    EXPECT_EQ(parentFolder(L"C:"), L"");
    EXPECT_EQ(parentFolder(L"name"), L"");
    EXPECT_EQ(parentFolder(L"\\name"), L"");
    EXPECT_EQ(parentFolder(L"\\\\\\"), L"");
    EXPECT_EQ(parentFolder(L""), L"");
    EXPECT_EQ(parentFolder(L"\\\\server\\share\\x"), L"\\\\server\\share");
    EXPECT_EQ(parentFolder(L"a\\b"), L"a");
    EXPECT_EQ(parentFolder(L"C:\\Grüße\\日本\\😀"), L"C:\\Grüße\\日本");
}

TEST(JobFileHelpers, SplitAndCountComponents) {
    EXPECT_EQ(splitPath(L"\\\\a\\\\b\\"), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(splitPath(L"C:\\x/y\\z"), (std::vector<std::wstring>{L"C:", L"x/y", L"z"}));
    EXPECT_TRUE(splitPath(L"\\\\").empty());
    EXPECT_TRUE(splitPath(L"").empty());
    std::vector<std::wstring> a = {L"C:", L"a", L"b"}, b = {L"C:", L"a", L"c", L"d"};
    EXPECT_EQ(countCommonComponents(a, b, 10), 2u);
    EXPECT_EQ(countCommonComponents(a, b, 1), 1u);
    EXPECT_EQ(countCommonComponents(a, a, 10), 3u);
    EXPECT_EQ(countCommonComponents(a, {L"c:"}, 10), 0u);  // exact, case included
    EXPECT_EQ(countCommonComponents(a, {}, 10), 0u);
}

TEST(JobFileHelpers, CommonBasePath) {
    EXPECT_EQ(commonBasePath({}), L"");
    // A file two levels below the root: its name dropped, then one more.
    EXPECT_EQ(commonBasePath({L"C:\\a\\f.txt"}), L"C:");
    // A folder ending in a back-slash and a file inside it: the folder's parent.
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\", L"C:\\a\\b\\f.txt"}), L"C:\\a");
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\x.txt", L"C:\\a\\c\\y.txt"}), L"C:\\a");
    // Files of one folder: the base keeps that folder below it, as for one file.
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\x.txt", L"C:\\a\\b\\y.txt"}), L"C:\\a");
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\c\\", L"C:\\a\\b\\c\\d\\e"}), L"C:\\a\\b");
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\c/", L"C:\\a\\b\\c/\\d"}), L"C:\\a\\b");
    EXPECT_EQ(commonBasePath({L"C:\\a", L"D:\\b"}), L"");
    EXPECT_EQ(commonBasePath({L"C:\\A\\x\\1", L"C:\\a\\x\\2"}), L"C:");
    EXPECT_EQ(commonBasePath({L"C:\\x"}), L"C:");
    EXPECT_EQ(commonBasePath({L"C:\\"}), L"C:");
    EXPECT_EQ(commonBasePath({L"file.txt"}), L"file.txt");
    EXPECT_EQ(commonBasePath({L""}), L"");
    // The first path, counted after its file name is dropped, is the shortest.
    EXPECT_EQ(commonBasePath({L"C:\\\\a\\\\\\b\\c.txt", L"C:\\a\\b\\d\\e.txt"}), L"C:\\a");
    // A shorter later path keeps the base one component above it.
    EXPECT_EQ(commonBasePath({L"C:\\a\\b\\c\\d.txt", L"C:\\a\\b"}), L"C:\\a");
}

TEST(JobFileHelpers, SnapshotPath) {
    const std::wstring shadow = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3";
    EXPECT_EQ(snapshotPath(L"C:\\a\\b.txt", L"C:\\", shadow), shadow + L"\\a\\b.txt");
    EXPECT_EQ(snapshotPath(L"C:\\a\\b.txt", L"C:", shadow), shadow + L"\\a\\b.txt");
    EXPECT_EQ(snapshotPath(L"C:\\a\\dir\\", L"C:\\", shadow), shadow + L"\\a\\dir");
    EXPECT_EQ(snapshotPath(L"C:\\a", L"C:\\", shadow + L"\\"), shadow + L"\\a");
    EXPECT_EQ(snapshotPath(L"C:\\", L"C:\\", shadow), shadow);
    EXPECT_EQ(snapshotPath(L"C:\\a", L"", shadow), L"C:\\a");
    EXPECT_EQ(snapshotPath(L"C:\\a", L"C:\\", L""), L"C:\\a");
}

TEST(JobFileHelpers, ExistenceOfFilesAndFolders) {
    make_folder(L"C:\\d");
    make_file(L"C:\\d\\f");
    make_link(L"C:\\d", L"C:\\dirlink");
    make_link(L"C:\\d\\f", L"C:\\filelink");
    EXPECT_TRUE(fileExists(L"C:\\d\\f"));
    EXPECT_FALSE(dirExists(L"C:\\d\\f"));
    EXPECT_TRUE(dirExists(L"C:\\d"));
    EXPECT_FALSE(fileExists(L"C:\\d"));
    EXPECT_TRUE(dirExists(L"C:\\dirlink"));
    EXPECT_TRUE(fileExists(std::wstring(L"C:\\filelink")));
    EXPECT_FALSE(fileExists(L"C:\\none"));
    EXPECT_FALSE(dirExists(L"C:\\none"));
    EXPECT_FALSE(dirExists(L""));  // not the current folder
    EXPECT_FALSE(fileExists(nullptr));
    EXPECT_FALSE(dirExists(nullptr));
}

TEST(JobFileHelpers, MkdirCreatesEveryMissingFolder) {
    EXPECT_EQ(checked(mkdir_p(L"C:\\a\\b\\c")), 0u);
    EXPECT_TRUE(dirExists(L"C:\\a\\b\\c"));
    EXPECT_EQ(checked(mkdir_p(L"C:\\a\\b\\c")), 0u);  // all there already
    EXPECT_EQ(checked(mkdir_p(L"C:\\a\\\\x\\\\\\y\\")), 0u);
    EXPECT_TRUE(dirExists(L"C:\\a\\x\\y"));
    EXPECT_EQ(checked(mkdir_p(L"C:\\Grüße\\日本")), 0u);
    EXPECT_TRUE(walk_checks::host_exists(L"C:\\Grüße\\日本"));
    EXPECT_EQ(checked(mkdir_p(nullptr)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(checked(mkdir_p(L"")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(JobFileHelpers, MkdirStopsAtFilesAndFollowsFolderLinks) {
    make_file(L"C:\\file");
    EXPECT_EQ(checked(mkdir_p(L"C:\\file\\sub")), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(checked(mkdir_p(L"C:\\file")), static_cast<DWORD>(ERROR_FILE_EXISTS));
    make_folder(L"C:\\real");
    make_link(L"C:\\real", L"C:\\via");
    EXPECT_EQ(checked(mkdir_p(L"C:\\via\\new")), 0u);
    EXPECT_TRUE(dirExists(L"C:\\real\\new"));
    EXPECT_EQ(checked(mkdir_p(L"Q:\\a")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(JobFileHelpers, MkdirNeverCreatesTheFirstComponentAfterLeadingBackSlashes) {
    // "\ProgramData" exists on drive C; the folders below it are made.
    EXPECT_EQ(checked(mkdir_p(L"\\ProgramData\\new\\deep")), 0u);
    EXPECT_TRUE(dirExists(L"C:\\ProgramData\\new\\deep"));
    // A first component that does not exist is not made: the next one fails.
    EXPECT_EQ(checked(mkdir_p(L"\\nothere\\x")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(host_exists(L"C:\\nothere"));
    // A server name is passed over; its share must exist (no share here).
    EXPECT_EQ(checked(mkdir_p(L"\\\\server\\share\\dir")), static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(checked(mkdir_p(L"\\\\server")), 0u);
    EXPECT_FALSE(host_exists(L"C:\\server"));
}

TEST(JobRemoval, RmfileDeletesReadOnlyFiles) {
    make_file(L"C:\\ro.txt");
    make_read_only(L"C:\\ro.txt");
    EXPECT_EQ(checked(rmfile_f(L"C:\\ro.txt")), 0u);
    EXPECT_FALSE(host_exists(L"C:\\ro.txt"));
    EXPECT_EQ(checked(rmfile_f(L"C:\\ro.txt")), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(checked(rmfile_f(L"C:\\no\\ro.txt")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(checked(rmfile_f(L"")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(checked(rmfile_f(nullptr)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(JobRemoval, RmfileOfAFolderFailsAndKeepsIt) {
    make_folder(L"C:\\dir");
    ASSERT_EQ(::chmod(walk_checks::host_of(L"C:\\dir").c_str(), 0750), 0);
    EXPECT_EQ(checked(rmfile_f(L"C:\\dir")), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(dirExists(L"C:\\dir"));
    EXPECT_EQ(host_mode(L"C:\\dir"), 0750u);
}

TEST(JobRemoval, RmfileOfALinkRemovesTheLinkOnly) {
    lay_out_outside();
    make_link(L"C:\\outside\\keep.txt", L"C:\\link");
    ASSERT_EQ(::chmod(walk_checks::host_of(L"C:\\outside\\keep.txt").c_str(), 0444), 0);
    EXPECT_EQ(checked(rmfile_f(L"C:\\link")), 0u);
    EXPECT_FALSE(host_exists(L"C:\\link"));
    EXPECT_EQ(host_mode(L"C:\\outside\\keep.txt"), 0444u);  // the target's permissions too
    expect_outside_intact();
}

TEST(JobRemoval, RmrfRemovesAReadOnlyTreeWithoutFollowingLinks) {
    lay_out_outside();
    make_folder(L"C:\\t");
    make_file(L"C:\\t\\a.txt");
    make_folder(L"C:\\t\\sub");
    make_file(L"C:\\t\\sub\\Grüße 😀.txt");
    make_folder(L"C:\\t\\sub\\empty");
    make_read_only(L"C:\\t\\a.txt");
    make_read_only(L"C:\\t\\sub\\Grüße 😀.txt");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\t\\sub", FILE_ATTRIBUTE_READONLY));
    make_link(L"C:\\outside", L"C:\\t\\sub\\to_outside");
    make_link(L"C:\\outside\\keep.txt", L"C:\\t\\file_link");
    ASSERT_EQ(::symlink("/nonexistent", walk_checks::host_of(L"C:\\t\\dangling").c_str()), 0);
    EXPECT_EQ(checked(rm_rf(L"C:\\t", FALSE)), 0u);
    EXPECT_FALSE(host_exists(L"C:\\t"));
    expect_outside_intact();
}

TEST(JobRemoval, RmrfOfALinkToAFolderRemovesTheLink) {
    lay_out_outside();
    make_link(L"C:\\outside", L"C:\\link");
    EXPECT_EQ(checked(rm_rf(L"C:\\link", TRUE)), 0u);
    EXPECT_FALSE(host_exists(L"C:\\link"));
    expect_outside_intact();
    make_link(L"C:\\outside", L"C:\\link2");
    EXPECT_EQ(checked(rmdir_rf(L"C:\\link2", 0xFFFFFFFFu, FALSE)), 0u);
    EXPECT_FALSE(host_exists(L"C:\\link2"));
    expect_outside_intact();
}

TEST(JobRemoval, RmrfOfFilesAndMissingPaths) {
    make_file(L"C:\\f.txt");
    EXPECT_EQ(checked(rm_rf(L"C:\\f.txt", FALSE)), 0u);
    EXPECT_FALSE(host_exists(L"C:\\f.txt"));
    EXPECT_EQ(checked(rm_rf(L"C:\\f.txt", FALSE)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(checked(rm_rf(L"C:\\x\\y", TRUE)), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(checked(rm_rf(L"", TRUE)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(checked(rm_rf(nullptr, TRUE)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(JobRemoval, RmdirArguments) {
    EXPECT_EQ(checked(rmdir_rf(nullptr, 0xFFFFFFFFu, FALSE)),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(checked(rmdir_rf(L"", 0xFFFFFFFFu, FALSE)), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(checked(rmdir_rf(L"C:\\missing", 0xFFFFFFFFu, FALSE)),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    make_folder(L"C:\\e");
    EXPECT_EQ(checked(rmdir_rf(L"C:\\e\\", 0xFFFFFFFFu, FALSE)), 0u);
    EXPECT_FALSE(host_exists(L"C:\\e"));
}

TEST(JobRemoval, RmdirMaskSelectsTheEntries) {
    make_folder(L"C:\\m");
    make_file(L"C:\\m\\file");
    make_folder(L"C:\\m\\sub");
    make_file(L"C:\\m\\sub\\inner");
    // Only folders: the files stay, so the folders cannot go.
    EXPECT_EQ(checked(rmdir_rf(L"C:\\m", FILE_ATTRIBUTE_DIRECTORY, TRUE)),
              static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_TRUE(host_exists(L"C:\\m\\file"));
    EXPECT_TRUE(host_exists(L"C:\\m\\sub\\inner"));
    // Only files (archive): the sub-folder is passed over, its file kept.
    EXPECT_EQ(checked(rmdir_rf(L"C:\\m", FILE_ATTRIBUTE_ARCHIVE, TRUE)),
              static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(host_exists(L"C:\\m\\file"));
    EXPECT_TRUE(host_exists(L"C:\\m\\sub\\inner"));
}

TEST(JobRemoval, RmdirStopsAtTheFirstFailureWithoutContinue) {
    make_folder(L"C:\\s");
    make_file(L"C:\\s\\a.txt");  // listed before the undeletable "lock\ed"
    make_undeletable(L"C:\\s");
    make_file(L"C:\\s\\z.txt");  // listed after it
    ASSERT_EQ(::chmod(walk_checks::host_of(L"C:\\s").c_str(), 0750), 0);
    EXPECT_EQ(checked(rmdir_rf(L"C:\\s", 0xFFFFFFFFu, FALSE)), 1u);
    EXPECT_FALSE(host_exists(L"C:\\s\\a.txt"));
    EXPECT_TRUE(undeletable_exists(L"C:\\s"));
    EXPECT_TRUE(host_exists(L"C:\\s\\z.txt"));
    EXPECT_EQ(host_mode(L"C:\\s"), 0750u);  // the folder that stays keeps its attributes
}

TEST(JobRemoval, RmdirPassesTheSubFoldersCodeUp) {
    make_folder(L"C:\\p");
    make_folder(L"C:\\p\\child");
    make_undeletable(L"C:\\p\\child");
    make_file(L"C:\\p\\later.txt");
    EXPECT_EQ(checked(rmdir_rf(L"C:\\p", 0xFFFFFFFFu, FALSE)), 1u);
    EXPECT_TRUE(host_exists(L"C:\\p\\later.txt"));
    EXPECT_EQ(checked(rm_rf(L"C:\\p", FALSE)), 1u);
}

TEST(JobRemoval, RmdirGoesOnWithContinue) {
    make_folder(L"C:\\c");
    make_folder(L"C:\\c\\child");
    make_undeletable(L"C:\\c\\child");
    make_file(L"C:\\c\\child\\other.txt");
    make_file(L"C:\\c\\later.txt");
    EXPECT_EQ(checked(rmdir_rf(L"C:\\c", 0xFFFFFFFFu, TRUE)),
              static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(host_exists(L"C:\\c\\child\\other.txt"));
    EXPECT_FALSE(host_exists(L"C:\\c\\later.txt"));
    EXPECT_TRUE(undeletable_exists(L"C:\\c\\child"));
}

TEST(JobRemoval, RmdirEmptiesAVolumeRootButKeepsIt) {
    walk_checks::host_of(L"C:\\");  // lays out the machine
    ASSERT_EQ(::mkdir((tovel::testing::machine_root() + "/drives/d").c_str(), 0755), 0);
    make_file(L"D:\\f.txt");
    EXPECT_EQ(checked(rmdir_rf(L"D:\\", 0xFFFFFFFFu, FALSE)),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(host_exists(L"D:\\f.txt"));
    EXPECT_TRUE(dirExists(L"D:\\"));
}
