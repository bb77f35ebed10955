// The volume state files of a backup run: format, round trip and failures.
#include "job/core/job_volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/appdata_path.h"
#include "common/json.h"
#include "job/tests/walk_checks.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const wchar_t kVolumes[] = L"C:\\ProgramData\\morvask\\Tovel\\job\\job-1\\act\\vol";
const char kSetId[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
const char kSnapId[] = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

GUID guid(const char* text) {
    GUID out{};
    EXPECT_EQ(UuidFromStringA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(text)), &out), RPC_S_OK);
    return out;
}

bool same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

JobVolume sample(int index) {
    JobVolume volume;
    volume.index = index;
    volume.state = -3;
    volume.snapshotSetId = guid(kSetId);
    volume.snapshotId = guid(kSnapId);
    volume.path = L"C:\\";
    volume.shadowPath = L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7";
    volume.creationTimestamp = -9223372036854775807LL - 1;
    volume.sources = {L"C:\\Users\\Grüße\\", L"C:\\data\\日本 😀.txt"};
    return volume;
}

std::string volume_host_file(int index) {
    return host_of(std::wstring(kVolumes) + L"\\" + std::to_wstring(index));
}

// Writes a file for volume index, the object's members given as JSON text.
void write_volume(int index, const std::string& text) {
    std::wstring folder;
    ASSERT_TRUE(job_volume_path(folder, "job-1"));
    write_host_file(volume_host_file(index), text);
}

std::string valid_members(const std::string& leave_out = "") {
    std::string out;
    auto add = [&](const std::string& key, const std::string& value) {
        if (key == leave_out) return;
        if (!out.empty()) out += ",";
        out += "\"" + key + "\":" + value;
    };
    add("creationTimestamp", "42");
    add("path", "\"D:/\"");
    add("shadowPath", "\"\\\\\\\\?\\\\X\"");
    add("snapshotId", std::string("\"") + kSnapId + "\"");
    add("snapshotSetId", std::string("\"") + kSetId + "\"");
    add("state", "1");
    return out;
}

class JobVolumes : public walk_checks::Logged {};

}  // namespace

TEST_F(JobVolumes, RoundTripKeepsEveryField) {
    JobVolume saved = sample(12);
    ASSERT_TRUE(saved.save("job-1"));
    std::wstring path;
    ASSERT_TRUE(job_volume_file_path(path, "job-1", 12));
    EXPECT_EQ(path, std::wstring(kVolumes) + L"\\12");
    EXPECT_FALSE(read_host_file(volume_host_file(12)).empty());

    JobVolume loaded;
    loaded.index = 12;
    loaded.sources = {L"stale"};
    ASSERT_TRUE(loaded.load("job-1"));
    EXPECT_EQ(loaded.state, -3);
    EXPECT_TRUE(same(loaded.snapshotSetId, saved.snapshotSetId));
    EXPECT_TRUE(same(loaded.snapshotId, saved.snapshotId));
    EXPECT_EQ(loaded.path, L"C:\\");
    EXPECT_EQ(loaded.shadowPath, saved.shadowPath);
    EXPECT_EQ(loaded.creationTimestamp, saved.creationTimestamp);
    EXPECT_EQ(loaded.sources, saved.sources);
    EXPECT_EQ(logged(), "");
}

TEST_F(JobVolumes, FileIsFormattedJsonReadByAnIndependentReader) {
    JobVolume volume = sample(3);
    volume.creationTimestamp = 133497840001234567LL;
    ASSERT_TRUE(volume.save("job-1"));
    std::string text = read_host_file(volume_host_file(3));
    EXPECT_NE(text.find('\n'), std::string::npos);  // formatted, one member a line
    std::string out;
    std::string program =
        "import json,sys; d=json.load(open(sys.argv[1], encoding='utf-8')); "
        "print(list(d)); print(d['path'], d['source'] == ['C:/Users/Grüße/', "
        "'C:/data/日本 😀.txt'], d['shadowPath'], d['snapshotId'], d['snapshotSetId'], "
        "d['state'], d['creationTimestamp'])";
    ASSERT_EQ(
        run_command("python3 -c " + shell_quote(program) + " " + shell_quote(volume_host_file(3)),
                    &out),
        0);
    EXPECT_EQ(out,
              "['creationTimestamp', 'path', 'shadowPath', 'snapshotId', 'snapshotSetId', "
              "'source', 'state']\n"
              "C:/ True \\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7 " +
                  std::string(kSnapId) + " " + kSetId + " -3 133497840001234567\n");
}

TEST_F(JobVolumes, SaveRefusesAnEmptyJobIdAndWritesNothing) {
    JobVolume volume = sample(1);
    EXPECT_FALSE(volume.save(""));
    EXPECT_FALSE(volume.save(nullptr));
    EXPECT_FALSE(walk_checks::host_exists(L"C:\\ProgramData\\morvask"));
    EXPECT_EQ(logged(), "");
    EXPECT_FALSE(volume.load(""));
    EXPECT_FALSE(volume.remove(nullptr));
    EXPECT_FALSE(walk_checks::host_exists(L"C:\\ProgramData\\morvask"));
    EXPECT_EQ(logged(), "Failed to open job {} volume file 1 for reading.\n");
}

TEST_F(JobVolumes, SaveThatCannotOpenTheFileLogs) {
    std::wstring folder;
    ASSERT_TRUE(job_volume_path(folder, "job-1"));
    walk_checks::make_folder(folder + L"\\5");  // a folder where the file should be
    JobVolume volume = sample(5);
    EXPECT_FALSE(volume.save("job-1"));
    EXPECT_EQ(logged(), "Failed to open job {job-1} volume file 5 for writing.\n");
}

TEST_F(JobVolumes, SaveReplacesAnOlderFile) {
    JobVolume volume = sample(2);
    volume.sources.assign(50, L"C:\\a\\long\\source\\path\\to\\make\\the\\file\\long");
    ASSERT_TRUE(volume.save("job-1"));
    volume.sources = {L"C:\\b"};
    ASSERT_TRUE(volume.save("job-1"));
    JobVolume loaded;
    loaded.index = 2;
    ASSERT_TRUE(loaded.load("job-1"));
    EXPECT_EQ(loaded.sources, std::vector<std::wstring>{L"C:\\b"});
}

TEST_F(JobVolumes, SourcesThatAreNotStringsAreSkipped) {
    write_volume(4, "{" + valid_members() + R"(,"source":[7,"E:/x/y",null,"E:/z"]})");
    JobVolume volume;
    volume.index = 4;
    ASSERT_TRUE(volume.load("job-1"));
    EXPECT_EQ(volume.sources, (std::vector<std::wstring>{L"E:\\x\\y", L"E:\\z"}));
    EXPECT_EQ(volume.path, L"D:\\");
    EXPECT_EQ(volume.shadowPath, L"\\\\?\\X");  // kept as written
    EXPECT_EQ(volume.state, 1);
    EXPECT_EQ(volume.creationTimestamp, 42);
}

TEST_F(JobVolumes, NoStringSourceFailsTheLoad) {
    for (const std::string& source : std::vector<std::string>{
             R"(,"source":[1,2])", R"(,"source":[])", R"(,"source":"C:/a")", ""}) {
        write_volume(6, "{" + valid_members() + source + "}");
        JobVolume volume;
        volume.index = 6;
        EXPECT_FALSE(volume.load("job-1")) << source;
    }
    EXPECT_EQ(logged(), "");
}

TEST_F(JobVolumes, SnapshotIdThatIsNoUuidFailsWithoutAMessage) {
    std::string members = valid_members("snapshotId");
    write_volume(7, "{" + members + R"(,"snapshotId":"not-a-uuid","source":["C:/a"]})");
    JobVolume volume;
    volume.index = 7;
    EXPECT_FALSE(volume.load("job-1"));
    EXPECT_EQ(logged(), "");
}

TEST_F(JobVolumes, MissingOrMistypedMembersFailWithTheLibrarysMessage) {
    write_volume(8, "{" + valid_members("creationTimestamp") + R"(,"source":["C:/a"]})");
    JobVolume volume;
    volume.index = 8;
    EXPECT_FALSE(volume.load("job-1"));
    EXPECT_EQ(logged(), "value for name 'creationTimestamp' not found.\n");

    write_volume(8, "{" + valid_members("state") + R"(,"state":"1","source":["C:/a"]})");
    EXPECT_FALSE(volume.load("job-1"));
    EXPECT_NE(logged().find("state"), std::string::npos);
}

TEST_F(JobVolumes, SyntaxErrorsAndOtherValuesAreLogged) {
    write_volume(9, "{\n  \"state\": 1,\n  oops\n}");
    JobVolume volume;
    volume.index = 9;
    EXPECT_FALSE(volume.load("job-1"));
    std::string line = logged();
    EXPECT_EQ(line.rfind("Failed to parse job {job-1} volume file 9, Line 3, column 3,", 0), 0u)
        << line;

    write_volume(9, "[1,2]");
    EXPECT_FALSE(volume.load("job-1"));
    EXPECT_EQ(logged(), "Job {job-1} volume file 9 is not JSON object.\n");
}

TEST_F(JobVolumes, MissingFileAndRemoval) {
    JobVolume volume = sample(10);
    EXPECT_FALSE(volume.load("job-1"));
    EXPECT_EQ(logged(), "Failed to open job {job-1} volume file 10 for reading.\n");
    EXPECT_FALSE(volume.remove("job-1"));
    ASSERT_TRUE(volume.save("job-1"));
    EXPECT_TRUE(volume.remove("job-1"));
    EXPECT_TRUE(read_host_file(volume_host_file(10)).empty());
    EXPECT_FALSE(volume.remove("job-1"));
}
