// Removal of the consistent-check folder when the job engine closes.
#include "job/core/consistent_check.h"

#include <gtest/gtest.h>

#include <string>

#include "job/tests/walk_checks.h"
#include "platform/win32.h"

using walk_checks::host_exists;
using walk_checks::make_file;
using walk_checks::make_folder;
using walk_checks::make_link;
using walk_checks::make_undeletable;
using walk_checks::undeletable_exists;

namespace {

const std::wstring kData = L"C:\\ProgramData\\morvask\\Tovel";
const std::wstring kChecks = kData + L"\\consistentcheck";

void make_checks_folder() {
    make_folder(L"C:\\ProgramData\\morvask");
    make_folder(kData);
    make_folder(kChecks);
}

}  // namespace

TEST(JobConsistentCheck, PathOfTheFolder) {
    std::wstring path;
    ASSERT_TRUE(consistentcheck_path(path, L"\\*"));
    EXPECT_EQ(path, kChecks + L"\\*");
    ASSERT_TRUE(consistentcheck_path(path, L"x"));
    EXPECT_EQ(path, kChecks + L"\\x");
    ASSERT_TRUE(consistentcheck_path(path, nullptr));
    EXPECT_EQ(path, kChecks + L"\\");
    EXPECT_FALSE(host_exists(L"C:\\ProgramData\\morvask"));  // nothing was made
}

TEST(JobConsistentCheck, NoFolderGivesZeroAndChangesNothing) {
    EXPECT_EQ(consistentcheckfreeall(), 0);
    EXPECT_FALSE(host_exists(L"C:\\ProgramData\\morvask"));
    make_folder(L"C:\\ProgramData\\morvask");
    make_folder(kData);
    EXPECT_EQ(consistentcheckfreeall(), 0);
    EXPECT_TRUE(host_exists(kData));
}

TEST(JobConsistentCheck, TreeThreeLevelsDeepIsRemoved) {
    make_checks_folder();
    make_folder(kChecks + L"\\check1");
    make_file(kChecks + L"\\check1\\result.db", "db");
    make_folder(kChecks + L"\\check1\\level2");
    make_folder(kChecks + L"\\check1\\level2\\level3");
    make_file(kChecks + L"\\check1\\level2\\level3\\Grüße 😀.log", "log");
    make_folder(kChecks + L"\\check2");  // empty
    make_file(kChecks + L"\\top.txt");
    ASSERT_TRUE(SetFileAttributesW((kChecks + L"\\top.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(consistentcheckfreeall(), 1);
    EXPECT_FALSE(host_exists(kChecks));
    EXPECT_TRUE(host_exists(kData));
    EXPECT_EQ(consistentcheckfreeall(), 0);  // gone already
}

TEST(JobConsistentCheck, LinksAreRemovedNotFollowed) {
    make_folder(L"C:\\outside");
    make_file(L"C:\\outside\\keep.txt", "keep");
    make_folder(L"C:\\outside\\inner");
    make_file(L"C:\\outside\\inner\\deep.txt", "deep");
    make_checks_folder();
    make_folder(kChecks + L"\\check");
    make_link(L"C:\\outside", kChecks + L"\\check\\to_folder");
    make_link(L"C:\\outside\\keep.txt", kChecks + L"\\to_file");
    EXPECT_EQ(consistentcheckfreeall(), 1);
    EXPECT_FALSE(host_exists(kChecks));
    EXPECT_TRUE(host_exists(L"C:\\outside\\inner\\deep.txt"));
    EXPECT_EQ(tovel::testing::read_host_file(tovel::testing::host_of(L"C:\\outside\\keep.txt")),
              "keep");
}

TEST(JobConsistentCheck, FileThatCannotBeDeletedKeepsItsFoldersUp) {
    make_checks_folder();
    make_folder(kChecks + L"\\a");
    make_file(kChecks + L"\\a\\before.txt");
    make_folder(kChecks + L"\\b");
    make_file(kChecks + L"\\b\\a.txt");
    make_undeletable(kChecks + L"\\b");
    make_file(kChecks + L"\\b\\z.txt");
    make_folder(kChecks + L"\\c");
    make_file(kChecks + L"\\c\\after.txt");
    EXPECT_EQ(consistentcheckfreeall(), 0);
    EXPECT_TRUE(undeletable_exists(kChecks + L"\\b"));
    EXPECT_FALSE(host_exists(kChecks + L"\\b\\a.txt"));
    EXPECT_TRUE(host_exists(kChecks + L"\\b\\z.txt"));  // its folder's removal stopped there
    EXPECT_FALSE(host_exists(kChecks + L"\\a"));
    EXPECT_FALSE(host_exists(kChecks + L"\\c"));  // the top level went on
    EXPECT_TRUE(host_exists(kChecks));
}

TEST(JobConsistentCheck, FileAtTheTopStopsAtOnce) {
    make_checks_folder();
    make_undeletable(kChecks, "a\\b");
    make_file(kChecks + L"\\later.txt");
    EXPECT_EQ(remove_folder_tree((kChecks + L"\\*").c_str()), 0);
    EXPECT_TRUE(host_exists(kChecks + L"\\later.txt"));
    EXPECT_EQ(remove_folder_tree(L"C:\\missing\\*"), 0);
    EXPECT_EQ(remove_folder_tree(nullptr), 0);
}
