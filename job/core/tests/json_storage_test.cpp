// JSON record files: round trips, the formatted layout, bad files, failed writes.
#include "job/core/json_storage.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "common/json.h"
#include "common/text_conv.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const wchar_t kFile[] = L"C:\\records\\rec";

// Lets a test change the content.
template <int Kind, class Container>
class Open : public JSONStorage<Kind, Container> {
public:
    Container& content() { return this->container; }
};
typedef Open<0, json_spirit::Object> ObjectFile;
typedef Open<1, json_spirit::Array> ArrayFile;

std::string narrow(const wchar_t* path) { return to_utf8(path, -1); }

class JobJsonStorage : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        std::filesystem::create_directories(host_of(L"C:\\records"));
    }
    // Folder entries, so that no file is left beside a record.
    static std::vector<std::string> names(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            out.push_back(entry.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(JobJsonStorage, ObjectRoundTripIsFormattedAndSorted) {
    write_host_file(host_of(kFile),
                    R"({"zeta":[1,"two",null],"alpha":{"b":true,"a":-5},"mid":"Grüße"})");
    ObjectFile file;
    ASSERT_TRUE(file.load(narrow(kFile).c_str()));
    EXPECT_EQ(file.get().size(), 3u);
    EXPECT_EQ(file.get().at("mid").get_str(), "Grüße");
    file.content()["big"] = json_spirit::Value(18446744073709551615ull);
    ASSERT_TRUE(file.save());

    std::string text = read_host_file(host_of(kFile));
    EXPECT_EQ(text, json_spirit::write_formatted(json_spirit::Value(file.get())));
    EXPECT_NE(text.find('\n'), std::string::npos);
    EXPECT_LT(text.find("\"alpha\""), text.find("\"big\""));
    EXPECT_LT(text.find("\"mid\""), text.find("\"zeta\""));
    std::string keys;
    ASSERT_EQ(run_command(
                  "python3 -c 'import json,sys; d=json.load(open(sys.argv[1],encoding=\"utf-8\"));"
                  "print(\",\".join(d), d[\"big\"], d[\"mid\"], d[\"alpha\"][\"a\"])' " +
                      shell_quote(host_of(kFile)),
                  &keys),
              0);
    EXPECT_EQ(keys, "alpha,big,mid,zeta 18446744073709551615 Grüße -5\n");
    EXPECT_EQ(names(host_of(L"C:\\records")), std::vector<std::string>{"rec"});

    ObjectFile again;
    ASSERT_TRUE(again.load(narrow(kFile).c_str()));
    EXPECT_EQ(again.get(), file.get());
}

TEST_F(JobJsonStorage, ArrayRoundTripAndReloadFromTheStoredPath) {
    ArrayFile file;
    ASSERT_FALSE(file.load(narrow(kFile).c_str()));  // missing: the path is kept all the same
    EXPECT_FALSE(std::filesystem::exists(host_of(kFile)));
    file.content().push_back(json_spirit::Value(7));
    file.content().push_back(json_spirit::Value("C:\\a\\b"));
    ASSERT_TRUE(file.save());
    std::string out;
    ASSERT_EQ(run_command("python3 -c 'import json,sys; print(json.load(open(sys.argv[1])))' " +
                              shell_quote(host_of(kFile)),
                          &out),
              0);
    EXPECT_EQ(out, "[7, 'C:\\\\a\\\\b']\n");

    file.content().clear();
    ASSERT_TRUE(file.load(nullptr));
    ASSERT_EQ(file.get().size(), 2u);
    EXPECT_EQ(file.get()[1].get_str(), "C:\\a\\b");
}

TEST_F(JobJsonStorage, NoPathMeansNoFile) {
    ObjectFile file;
    EXPECT_FALSE(file.load(nullptr));
    file.content()["a"] = json_spirit::Value(1);
    EXPECT_FALSE(file.save());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(names(host_of(L"C:\\records")).empty());
    EXPECT_FALSE(file.load(""));
}

TEST_F(JobJsonStorage, WrongKindKeepsTheContent) {
    write_host_file(host_of(kFile), "[1,2]");
    ObjectFile object;
    object.content()["kept"] = json_spirit::Value(true);
    EXPECT_FALSE(object.load(narrow(kFile).c_str()));
    ASSERT_EQ(object.get().size(), 1u);
    EXPECT_TRUE(object.get().at("kept").get_bool());

    write_host_file(host_of(kFile), R"({"a":1})");
    ArrayFile array;
    array.content().push_back(json_spirit::Value("kept"));
    EXPECT_FALSE(array.load(narrow(kFile).c_str()));
    ASSERT_EQ(array.get().size(), 1u);
    EXPECT_EQ(array.get()[0].get_str(), "kept");

    write_host_file(host_of(kFile), "\"text\"");
    EXPECT_FALSE(array.load(nullptr));
    EXPECT_FALSE(object.load(nullptr));
    EXPECT_EQ(read_host_file(host_of(kFile)), "\"text\"");  // not touched
}

TEST_F(JobJsonStorage, MalformedFilesAreRefusedWithoutThrowing) {
    const std::string good = R"({"a":[1,{"b":"c"}],"d":2})";
    ObjectFile file;
    write_host_file(host_of(kFile), good);
    ASSERT_TRUE(file.load(narrow(kFile).c_str()));
    json_spirit::Object before = file.get();
    logged();

    for (size_t cut = 0; cut < good.size(); ++cut) {
        write_host_file(host_of(kFile), good.substr(0, cut));
        bool loaded = true;
        EXPECT_NO_THROW(loaded = file.load(nullptr)) << cut;
        EXPECT_FALSE(loaded) << cut;
        EXPECT_EQ(file.get(), before) << cut;
    }
    for (const std::string& bad : {std::string("{\"a\":1,}"), std::string("{\"a\":1} trailing"),
                                   std::string("\xff\xfe{}", 4), std::string("{\"a\":\"\x01\"}"),
                                   std::string("{\"a\":1e99999}"), std::string("\0\0\0", 3),
                                   std::string(100000, '['), std::string("{\"a\":\"\\ud800\"")}) {
        write_host_file(host_of(kFile), bad);
        bool loaded = true;
        EXPECT_NO_THROW(loaded = file.load(nullptr)) << bad.substr(0, 20);
        EXPECT_FALSE(loaded) << bad.substr(0, 20);
        EXPECT_EQ(file.get(), before);
    }
    EXPECT_NE(logged().find("Failed to parse JSON file C:\\records\\rec at line 1"),
              std::string::npos);
}

TEST_F(JobJsonStorage, AFolderInTheWayOrAMissingFolderFails) {
    ObjectFile file;
    std::filesystem::create_directories(host_of(kFile));
    EXPECT_FALSE(file.load(narrow(kFile).c_str()));
    file.content()["a"] = json_spirit::Value(1);
    EXPECT_FALSE(file.save());
    EXPECT_TRUE(std::filesystem::is_directory(host_of(kFile)));

    ObjectFile nowhere;
    EXPECT_FALSE(nowhere.load("C:\\no\\such\\folder\\rec"));
    nowhere.content()["a"] = json_spirit::Value(1);
    EXPECT_FALSE(nowhere.save());
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_NE(logged().find("Failed to write JSON file C:\\no\\such\\folder\\rec, "),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\no")));
}

// Drive D: is a 64 KiB file system of its own, to be filled up.
class JobJsonStorageFullDisk : public JobJsonStorage {
protected:
    void SetUp() override {
        JobJsonStorage::SetUp();
        mount_point_ = tovel::testing::machine_root() + "/drives/d";
        std::filesystem::create_directories(mount_point_);
        mounted_ =
            run_command("mount -t tmpfs -o size=64k tmpfs " + shell_quote(mount_point_) + " 2>&1",
                        &why_) == 0;
    }
    void TearDown() override {
        if (mounted_) run_command("umount " + shell_quote(mount_point_));
        JobJsonStorage::TearDown();
    }

    std::string mount_point_;
    std::string why_;
    bool mounted_ = false;
};

TEST_F(JobJsonStorageFullDisk, AFailedWriteKeepsTheOldFile) {
    if (!mounted_)
        GTEST_SKIP() << "no small file system can be mounted here (needs root): " << why_;
    ArrayFile file;
    EXPECT_FALSE(file.load("D:\\err"));
    file.content().push_back(json_spirit::Value("first"));
    ASSERT_TRUE(file.save());
    std::string before = read_host_file(mount_point_ + "/err");
    ASSERT_NE(before, "");

    struct statvfs space = {};
    ASSERT_EQ(statvfs(mount_point_.c_str(), &space), 0);
    uint64_t free_bytes = uint64_t{space.f_bavail} * space.f_frsize;
    ASSERT_GT(free_bytes, 4096u);
    write_host_file(mount_point_ + "/filler", std::string(free_bytes - 4096, 'x'));

    for (int i = 0; i < 1000; ++i)
        file.content().push_back(
            json_spirit::Value("C:\\a\\rather\\long\\path\\" + std::to_string(i)));
    logged();
    EXPECT_FALSE(file.save());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_NE(logged().find("Failed to write JSON file D:\\err, "), std::string::npos);
    EXPECT_EQ(read_host_file(mount_point_ + "/err"), before);
    EXPECT_EQ(names(mount_point_), (std::vector<std::string>{"err", "filler"}));

    ArrayFile reread;
    ASSERT_TRUE(reread.load("D:\\err"));
    EXPECT_EQ(reread.get().size(), 1u);

    std::filesystem::remove(mount_point_ + "/filler");
    EXPECT_TRUE(file.save());
    ASSERT_TRUE(reread.load(nullptr));
    EXPECT_EQ(reread.get().size(), 1001u);
}

}  // namespace
