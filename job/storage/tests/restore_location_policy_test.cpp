// Where restored items go and what becomes of files already there.
#include "job/storage/restore_location_policy.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "job/core/file_helpers.h"
#include "plandeck/backup_job_definition.h"
#include "plandeck/restore_job_definition.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

std::unique_ptr<RestoreLocationPolicy> policy_of(const std::string& members) {
    RestoreJobDefinition definition;
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(
        R"({"type":"restore","id":"5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4","name":"r",)" + members +
            "}",
        value));
    EXPECT_TRUE(definition.fromJSON(value));
    return createRestoreLocationPolicy(&definition);
}

std::wstring target_of(RestoreLocationPolicy& policy, const wchar_t* source, bool folder = false) {
    std::wstring target;
    SetLastError(1234);
    if (!policy.targetPath(source, folder, target))
        return L"<refused " + std::to_wstring(GetLastError()) + L">";
    return target;
}

}  // namespace

TEST(RestorePolicyOther, JoinsTheFolderAndThePartBelowTheBase) {
    // The base keeps the selection's own folder: it is one above the common
    // folder ("C:" here). Without a trailing separator on the location one is
    // put between.
    auto policy = policy_of(R"("location":"D:/r","source":["C:\\data\\a.txt","C:\\data\\sub\\"])");
    ASSERT_TRUE(policy);
    EXPECT_EQ(target_of(*policy, L"C:\\data\\a.txt"), L"D:\\r\\data\\a.txt");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\sub\\", true), L"D:\\r\\data\\sub\\");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\sub\\x\\y.bin"), L"D:\\r\\data\\sub\\x\\y.bin");
    // Parts that would leave the folder, or lie outside the base, are
    // refused; ".." parts that stay below it are taken as they would be.
    EXPECT_EQ(target_of(*policy, L"C:\\data\\..\\Windows\\x.dll"), L"D:\\r\\Windows\\x.dll");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\sub\\..\\..\\x"), L"D:\\r\\x");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\..\\..\\x"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\a.txt:stream"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"E:\\data\\a.txt"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L""), L"<refused 87>");
    // The part below the base is read with both separators, its "." and
    // ".." parts taken as they would be: only what stays below is placed.
    EXPECT_EQ(target_of(*policy, L"C:\\data\\sub/../../../x.txt"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:\\data/../../x.txt"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\.. \\x.txt"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\...\\x.txt"), L"<refused 161>");
    EXPECT_EQ(target_of(*policy, L"C:\\data\\sub/../a.txt"), L"D:\\r\\data\\a.txt");
    EXPECT_EQ(target_of(*policy, L"C:\\data/./sub//x/"), L"D:\\r\\data\\sub\\x\\");
    EXPECT_EQ(policy->confinement(), L"D:\\r");

    // Without a common base the whole path goes below, its drive's colon dropped.
    auto drives = policy_of(R"("location":"D:\\r\\","source":["C:\\a\\b.txt","E:\\c.txt"])");
    ASSERT_TRUE(drives);
    EXPECT_EQ(target_of(*drives, L"C:\\a\\b.txt"), L"D:\\r\\C\\a\\b.txt");
    EXPECT_EQ(target_of(*drives, L"E:\\c.txt"), L"D:\\r\\E\\c.txt");
    std::wstring deep = L"C:\\" + std::wstring(300, L'n') + L"\\" + std::wstring(300, L'm');
    EXPECT_EQ(target_of(*drives, deep.c_str()), L"D:\\r\\C" + deep.substr(2));
}

TEST(RestorePolicyExisting, SkipOverwriteAndRenameLookAtFilesOnly) {
    std::filesystem::create_directories(host_of(L"C:\\data\\folder"));
    write_host_file(host_of(L"C:\\data\\x"), "x");
    write_host_file(host_of(L"C:\\data\\x.0"), "x0");

    auto skip = policy_of(R"("existing":"skip","source":["C:\\data\\x"])");
    ASSERT_TRUE(skip);
    EXPECT_EQ(target_of(*skip, L"C:\\data\\x"), L"<refused 0>");
    EXPECT_EQ(target_of(*skip, L"C:\\data\\new"), L"C:\\data\\new");
    EXPECT_EQ(target_of(*skip, L"C:\\data\\folder", true), L"C:\\data\\folder");

    auto overwrite = policy_of(R"("existing":"overwrite","source":["C:\\data\\x"])");
    EXPECT_EQ(target_of(*overwrite, L"C:\\data\\x"), L"C:\\data\\x");

    // The suffixes add up: X, X.0 taken gives X.0.1, then X.0.1.2.
    auto rename = policy_of(R"("existing":"rename","source":["C:\\data\\x"])");
    EXPECT_EQ(target_of(*rename, L"C:\\data\\x"), L"C:\\data\\x.0.1");
    write_host_file(host_of(L"C:\\data\\x.0.1"), "x01");
    EXPECT_EQ(target_of(*rename, L"C:\\data\\x"), L"C:\\data\\x.0.1.2");
    EXPECT_EQ(target_of(*rename, L"C:\\data\\folder", true), L"C:\\data\\folder");
    EXPECT_EQ(target_of(*rename, L"C:\\data\\free"), L"C:\\data\\free");
}

TEST(RestorePolicyMaking, OnlyRestoreDefinitionsHaveOne) {
    BackupJobDefinition backup;
    EXPECT_EQ(createRestoreLocationPolicy(&backup), nullptr);
    EXPECT_EQ(createRestoreLocationPolicy(nullptr), nullptr);
    auto original = policy_of(R"("location":"","source":["C:\\a\\b"])");
    ASSERT_TRUE(original);
    EXPECT_EQ(target_of(*original, L"C:\\a\\b"), L"C:\\a\\b");
}
