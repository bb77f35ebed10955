// The factory and the definition files: which JSON makes which definition,
// listing the jobs folder, and saving a definition.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "plandeck/backup_job_definition.h"
#include "plandeck/job_definition_factory.h"
#include "plandeck/restore_job_definition.h"
#include "plandeck/tests/plandeck_checks.h"

using json_spirit::Value;
using plandeck_tests::kJobsFolder;
using plandeck_tests::parse;
using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

std::string good_text(const std::string& id, const char* type = "backup") {
    return std::string(R"({"type":")") + type + R"(","id":")" + id + R"(","name":"job )" + id +
           R"(","source":["C:/data/"]})";
}

// Job ids of the tests: UUID text in lower case.
const char* const kR1 = "0000000a-0000-4000-8000-000000000001";
const char* const kR2 = "0000000a-0000-4000-8000-000000000002";

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::wstring def_path(const std::wstring& job) {
    return std::wstring(kJobsFolder) + L"\\" + job + L"\\def";
}

// Makes the job's folder, and its "def" unless content is null.
void make_job(const std::wstring& job, const char* content) {
    std::filesystem::create_directories(host_of(std::wstring(kJobsFolder) + L"\\" + job));
    if (content) write_host_file(host_of(def_path(job)), content);
}

std::vector<std::string> folder_names(const std::string& host_folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host_folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string written(const JobDefinition& definition) {
    Value value;
    EXPECT_TRUE(definition.toJSON(value));
    return json_spirit::write(value);
}

uint64_t seconds(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) / 10000000;
}

class Store : public plandeck_tests::Logged {};

}  // namespace

TEST_F(Store, ValueWithoutAKnownTypeGivesNullSilently) {
    for (const char* text : {"null", "[]", R"("backup")", "{}", R"({"type":5})",
                             R"({"type":"Backup","name":"n","source":["C:/a"]})",
                             R"({"type":"job","name":"n","source":["C:/a"]})"}) {
        EXPECT_EQ(JobDefinitionFactory::create(parse(text)), nullptr) << text;
    }
    EXPECT_EQ(logged(), "");
    // A known type that is not a valid definition is refused by the definition, which says why.
    EXPECT_EQ(JobDefinitionFactory::create(parse(R"({"type":"restore","name":"n"})")), nullptr);
    EXPECT_EQ(logged(), "Invalid or lack of source of job definition.\n");
}

TEST_F(Store, CreateFromPathAndJobId) {
    make_job(wide(kR1), good_text(kR1, "restore").c_str());
    std::unique_ptr<JobDefinition> by_path(
        JobDefinitionFactory::create(def_path(wide(kR1)).c_str()));
    ASSERT_NE(by_path, nullptr);
    ASSERT_NE(dynamic_cast<RestoreJobDefinition*>(by_path.get()), nullptr);
    EXPECT_STREQ(by_path->id(), kR1);
    std::unique_ptr<JobDefinition> by_id(JobDefinitionFactory::create(kR1));
    ASSERT_NE(by_id, nullptr);
    EXPECT_EQ(written(*by_id), written(*by_path));
    // An id of another case names the same job, in its one folder.
    std::unique_ptr<JobDefinition> by_upper(JobDefinitionFactory::create(upper(kR1).c_str()));
    ASSERT_NE(by_upper, nullptr);
    EXPECT_EQ(written(*by_upper), written(*by_path));
    EXPECT_EQ(logged(), "");

    EXPECT_EQ(JobDefinitionFactory::create(kR2), nullptr);
    EXPECT_NE(logged().find("Failed to open C:\\ProgramData\\morvask\\Tovel\\job\\" +
                            std::string(kR2) + "\\def"),
              std::string::npos);
    EXPECT_EQ(JobDefinitionFactory::create(static_cast<const wchar_t*>(nullptr)), nullptr);
    EXPECT_EQ(JobDefinitionFactory::create(L""), nullptr);
    EXPECT_EQ(JobDefinitionFactory::create(static_cast<const char*>(nullptr)), nullptr);
    logged();

    // An id names one folder of the jobs folder, never a path out of it nor
    // a folder the engine would not make.
    write_host_file(host_of(std::wstring(kJobsFolder) + L"\\def"), good_text(kR2));
    std::filesystem::create_directories(host_of(L"C:\\ProgramData\\morvask\\Tovel\\other"));
    write_host_file(host_of(L"C:\\ProgramData\\morvask\\Tovel\\other\\def"), good_text(kR2));
    make_job(L"r1", good_text(kR2).c_str());
    for (const char* id : {"", "..\\other", "../other", "r1\\..\\..\\other", "r1"})
        EXPECT_EQ(JobDefinitionFactory::create(id), nullptr) << id;
    EXPECT_EQ(JobDefinitionFactory::create(static_cast<const char*>(nullptr)), nullptr);
}

// The job engine keeps a job whose definition cannot be read now and moves
// aside one that holds none: the factory tells the two apart.
TEST_F(Store, ReadFailuresAreToldFromFilesThatHoldNoDefinition) {
    using Failure = JobDefinitionFactory::Failure;
    struct Case {
        const wchar_t* path;
        Failure failure;
        DWORD error;
    };
    make_job(wide(kR1), good_text(kR1).c_str());
    std::filesystem::create_directories(host_of(def_path(L"folder")));  // "def" is a folder
    make_job(L"missing", nullptr);
    make_job(L"cut", "{\"type\": \"backup\", \"name\"");
    make_job(L"other", R"({"type":"job","name":"n","source":["C:/a"]})");
    make_job(L"bad-id", good_text("not-a-uuid").c_str());
    const std::wstring paths[] = {def_path(wide(kR1)), def_path(L"folder"), def_path(L"missing"),
                                  def_path(L"cut"),    def_path(L"other"),  def_path(L"bad-id")};
    const Case cases[] = {
        {paths[0].c_str(), Failure::None, 0},
        {paths[1].c_str(), Failure::Unreadable, ERROR_ACCESS_DENIED},
        {paths[2].c_str(), Failure::Unreadable, ERROR_FILE_NOT_FOUND},
        {paths[3].c_str(), Failure::NotADefinition, ERROR_INVALID_DATA},
        {paths[4].c_str(), Failure::NotADefinition, ERROR_INVALID_DATA},
        {paths[5].c_str(), Failure::NotADefinition, ERROR_INVALID_DATA},
        // Opened, then failing to read (EIO): the host's view of the
        // process's own memory at address 0.
        {L"Z:\\proc\\self\\mem", Failure::Unreadable, ERROR_IO_DEVICE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
        Failure failure = Failure::NotADefinition;
        SetLastError(0);
        std::unique_ptr<JobDefinition> made(JobDefinitionFactory::create(c.path, failure));
        EXPECT_EQ(made != nullptr, c.failure == Failure::None);
        EXPECT_EQ(static_cast<int>(failure), static_cast<int>(c.failure));
        if (c.failure != Failure::None) {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    logged();
}

TEST_F(Store, BadFileIsLoggedWithLineAndColumn) {
    make_job(L"cut", "{\n\"type\": \"backup\",\n\"name\": \"n");
    JobDefinition* definition = nullptr;
    EXPECT_NO_THROW(definition = JobDefinitionFactory::create(def_path(L"cut").c_str()));
    EXPECT_EQ(definition, nullptr);
    std::string line = logged();
    EXPECT_EQ(
        line.rfind("Failed to read job definition C:\\ProgramData\\morvask\\Tovel\\job\\cut\\def: "
                   "line 3, column 11, ",
                   0),
        0u)
        << line;
}

TEST_F(Store, ListingAppendsTheGoodDefinitionsInNameOrder) {
    const std::string a = "0000000a-0000-4000-8000-00000000000a";
    const std::string c = "0000000c-0000-4000-8000-00000000000c";
    const std::string e = "0000000e-0000-4000-8000-00000000000e";
    const std::string f = "0000000f-0000-4000-8000-00000000000f";
    make_job(wide(f), good_text(f).c_str());
    make_job(wide(a), good_text(a, "restore").c_str());
    make_job(wide(upper(e)), good_text(upper(e)).c_str());  // an older spelling of the id
    make_job(L".cache", good_text(c).c_str());              // not named by a job id
    make_job(wide(c), good_text(a).c_str());                // the definition of another job
    make_job(L"0000000b-0000-4000-8000-00000000000b", nullptr);
    make_job(L"0000000d-0000-4000-8000-00000000000d", "");
    make_job(L"00000010-0000-4000-8000-000000000010", good_text(f).substr(0, 30).c_str());
    make_job(L"00000011-0000-4000-8000-000000000011", "type = backup\n");
    write_host_file(host_of(std::wstring(kJobsFolder) + L"\\00000012-0000-4000-8000-000000000012"),
                    good_text(f));

    auto* earlier = new BackupJobDefinition();
    std::vector<JobDefinition*> out{earlier};
    EXPECT_NO_THROW(JobDefinitionFactory::create(out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], earlier);
    EXPECT_EQ(out[1]->id(), a);
    EXPECT_NE(dynamic_cast<RestoreJobDefinition*>(out[1]), nullptr);
    EXPECT_EQ(out[2]->id(), e);  // listed as "0000000E-...", without regard to case
    EXPECT_EQ(out[3]->id(), f);
    for (JobDefinition* definition : out) delete definition;

    std::string log = logged();
    static const std::regex kRead(
        "Failed to read job definition [^\n]*\\\\def: line [0-9]+, column [0-9]+, [^\n]+\n");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(log.begin(), log.end(), kRead), std::sregex_iterator()),
        3)
        << log;
    EXPECT_NE(log.find("Failed to open C:\\ProgramData\\morvask\\Tovel\\job\\"
                       "0000000b-0000-4000-8000-00000000000b\\def"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("000000000012"), std::string::npos) << log;
    EXPECT_EQ(log.find(".cache"), std::string::npos) << log;

    // No jobs folder at all: nothing appended.
    std::filesystem::remove_all(host_of(kJobsFolder));
    std::vector<JobDefinition*> none;
    JobDefinitionFactory::create(none);
    EXPECT_TRUE(none.empty());
}

TEST_F(Store, SavedDefinitionReadsBackTheSame) {
    BackupJobDefinition backup;
    ASSERT_TRUE(backup.fromJSON(parse(
        R"({"type":"backup","user":"u@example","name":"Caf\u00e9","offline":"C:/backups/",)"
        R"("source":["C:/data/","D:/x y/z.txt"],"exclusion":["tmp","bak"],"compression":true,)"
        R"("retention":30,"schedule":{"type":"weekly","startTime":"21:45","day":2}})")));
    make_job(L"saved", "old text");
    std::wstring path = def_path(L"saved");
    ASSERT_TRUE(backup.save(path.c_str()));
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(folder_names(host_of(std::wstring(kJobsFolder) + L"\\saved")),
              std::vector<std::string>{"def"});

    std::unique_ptr<JobDefinition> read(JobDefinitionFactory::create(path.c_str()));
    ASSERT_NE(read, nullptr);
    auto* again = dynamic_cast<BackupJobDefinition*>(read.get());
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again->id(), backup.id());
    EXPECT_STREQ(again->user(), "u@example");
    EXPECT_EQ(seconds(again->creationTime()), seconds(backup.creationTime()));
    EXPECT_EQ(again->source(), backup.source());
    EXPECT_EQ(again->offlineLocation(), std::wstring(L"C:\\backups\\"));
    EXPECT_EQ(again->include(), BackupJobDefinition::ExcludeExtensions);
    EXPECT_EQ(again->extensions(), backup.extensions());
    EXPECT_TRUE(again->compression());
    EXPECT_EQ(again->retention(), 30);
    EXPECT_EQ(again->schedule().type(), Schedule::Weekly);
    EXPECT_EQ(again->schedule().startTime(), 2145);
    EXPECT_EQ(again->schedule().value(), 2);
    EXPECT_EQ(written(*again), written(backup));

    // An independent reader agrees with what the definition says of itself.
    std::string host = host_of(path);
    std::string python = plandeck_tests::python("import json\nd = json.load(open(r'" + host +
                                                "', encoding='utf-8'))\nprint(json.dumps(d))");
    EXPECT_EQ(parse(python), parse(written(backup)));

    // Saving again replaces the file: a restore definition with counts above the signed range.
    RestoreJobDefinition restore;
    ASSERT_TRUE(restore.fromJSON(
        parse(R"({"type":"restore","name":"r","source":["C:/a"],"location":"E:\\back\\",)"
              R"("totalsize":18446744073709551615,"existing":"overwrite"})")));
    ASSERT_TRUE(restore.save(path.c_str()));
    EXPECT_EQ(plandeck_tests::python("import json\nd = json.load(open(r'" + host +
                                     "'))\nprint(d['totalsize'], d['location'], d['existing'])"),
              "18446744073709551615 E:\\back\\ overwrite");
    std::unique_ptr<JobDefinition> restored(JobDefinitionFactory::create(path.c_str()));
    ASSERT_NE(dynamic_cast<RestoreJobDefinition*>(restored.get()), nullptr);
    EXPECT_EQ(written(*restored), written(restore));
    EXPECT_EQ(folder_names(host_of(std::wstring(kJobsFolder) + L"\\saved")),
              std::vector<std::string>{"def"});
}

// A definition file's items are read as texts and made into paths on first
// use, by any thread: the same paths as a definition made from the value,
// whoever asks first and however many ask at once. The file is written by
// python3 with every non-ASCII character escaped.
TEST_F(Store, ItemsOfAFileAreTheValuesItemsWhenFirstAskedFor) {
    std::wstring path = def_path(wide(kR1));
    std::filesystem::create_directories(host_of(std::wstring(kJobsFolder) + L"\\" + wide(kR1)));
    std::string expected = plandeck_tests::python(R"(import json
items = []
for i in range(3000):
    items.append('C:/data/%d/caf\u00e9 \U0001F600\\x.txt' % i if i % 7 else 'D:/%d/' % i)
    if i % 1000 == 0: items += [i, None, ['Z:/nested'], {'k': 'Z:/object'}]
d = {'type': 'restore', 'id': ')" + std::string(kR1) +
                                                  R"(', 'name': 'r',
     'creationTime': '2026-01-02 03:04:05', 'location': 'E:/to', 'source': items}
json.dump(d, open(r')" + host_of(path) + R"(', 'w'), indent=4)
print(json.dumps([s.replace('/', '\\') for s in items if isinstance(s, str)])))");
    std::vector<std::wstring> paths;
    Value listed = parse(expected);
    for (const Value& item : listed.get_array()) paths.push_back(item.get_wstr());
    ASSERT_EQ(paths.size(), 3000u);
    ASSERT_NE(paths[1].find(L"caf\u00e9 \U0001F600\\x.txt"), std::wstring::npos);
    std::unique_ptr<JobDefinition> eager(
        JobDefinitionFactory::create(parse(read_host_file(host_of(path)))));
    ASSERT_NE(eager, nullptr);
    EXPECT_TRUE(eager->source() == paths);

    for (int readers : {1, 4}) {
        SCOPED_TRACE(readers);
        std::unique_ptr<JobDefinition> read(JobDefinitionFactory::create(path.c_str()));
        ASSERT_NE(dynamic_cast<RestoreJobDefinition*>(read.get()), nullptr);
        RestoreJobDefinition copy(static_cast<const RestoreJobDefinition&>(*read));
        std::vector<const std::vector<std::wstring>*> seen(readers);
        std::vector<std::thread> threads;
        for (int i = 0; i < readers; ++i)
            threads.emplace_back([&, i] { seen[i] = &read->source(); });
        for (std::thread& thread : threads) thread.join();
        for (const auto* items : seen) EXPECT_EQ(items, &read->source());
        EXPECT_TRUE(read->source() == paths);
        EXPECT_TRUE(copy.source() == paths);
        EXPECT_TRUE(written(*read) == written(*eager));
    }
    EXPECT_EQ(logged(), "");

    // A file whose items hold no path, or that is cut within them, holds no definition.
    using Failure = JobDefinitionFactory::Failure;
    std::string text = read_host_file(host_of(path));
    for (const std::string& bad : {R"({"type":"restore","id":")" + std::string(kR1) +
                                       R"(","name":"r","source":[1,null,["C:/a"],{"k":"C:/b"}]})",
                                   text.substr(0, text.size() / 2)}) {
        write_host_file(host_of(path), bad);
        Failure failure = Failure::None;
        EXPECT_EQ(JobDefinitionFactory::create(path.c_str(), failure), nullptr);
        EXPECT_EQ(static_cast<int>(failure), static_cast<int>(Failure::NotADefinition));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    logged();
}

TEST_F(Store, SaveIntoMissingFolderFailsAndCreatesNothing) {
    BackupJobDefinition backup;
    ASSERT_TRUE(backup.fromJSON(parse(good_text(kR1))));
    EXPECT_FALSE(backup.save(L"C:\\nowhere\\job\\def"));
    EXPECT_EQ(logged(), "Failed to open job definition C:\\nowhere\\job\\def for writing\n");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\nowhere")));

    EXPECT_FALSE(backup.save(nullptr));
    EXPECT_FALSE(JobDefinition().save(L"C:\\bare"));  // no JSON form, nothing to write
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\bare")));
}

namespace {

// Drive D: is a 64 KiB file system of its own, to be filled up.
class FullDisk : public Store {
protected:
    void SetUp() override {
        Store::SetUp();
        mount_point_ = tovel::testing::machine_root() + "/drives/d";
        std::filesystem::create_directories(mount_point_);
        mounted_ = tovel::testing::run_command(
                       "mount -t tmpfs -o size=64k tmpfs " + shell_quote(mount_point_) + " 2>&1",
                       &why_) == 0;
    }
    void TearDown() override {
        if (mounted_) tovel::testing::run_command("umount " + shell_quote(mount_point_));
        Store::TearDown();
    }

    std::string mount_point_;
    std::string why_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(FullDisk, SaveToAFullDiskKeepsThePreviousFile) {
    if (!mounted_)
        GTEST_SKIP() << "no small file system can be mounted here (needs root): " << why_;
    std::filesystem::create_directories(mount_point_ + "/job");
    const wchar_t* path = L"D:\\job\\def";
    BackupJobDefinition small;
    ASSERT_TRUE(small.fromJSON(parse(good_text(kR1))));
    ASSERT_TRUE(small.save(path));
    std::string before = read_host_file(host_of(path));
    ASSERT_NE(before, "");

    // Leave one page free.
    struct statvfs space = {};
    ASSERT_EQ(statvfs(mount_point_.c_str(), &space), 0);
    uint64_t free_bytes = uint64_t{space.f_bavail} * space.f_frsize;
    ASSERT_GT(free_bytes, 4096u);
    write_host_file(mount_point_ + "/filler", std::string(free_bytes - 4096, 'x'));

    std::string sources;
    for (int i = 0; i < 600; ++i)
        sources += std::string(i ? "," : "") + "\"C:/a/rather/long/folder/name/number/" +
                   std::to_string(i) + "\"";
    BackupJobDefinition large;
    ASSERT_TRUE(large.fromJSON(parse(R"({"type":"backup","id":")" + std::string(kR1) +
                                     R"(","name":"n","source":[)" + sources + "]}")));
    EXPECT_FALSE(large.save(path));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_NE(logged().find("Failed to write job definition D:\\job\\def, "), std::string::npos);
    EXPECT_EQ(read_host_file(host_of(path)), before);
    EXPECT_EQ(folder_names(mount_point_ + "/job"), std::vector<std::string>{"def"});

    // With room again, the same save goes through.
    std::filesystem::remove(mount_point_ + "/filler");
    EXPECT_TRUE(large.save(path));
    std::unique_ptr<JobDefinition> read(JobDefinitionFactory::create(path));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->source().size(), 600u);
}
