// Backup and restore definitions: their JSON form both ways, and what a read
// refuses.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "plandeck/backup_job_definition.h"
#include "plandeck/job_definition_factory.h"
#include "plandeck/restore_job_definition.h"
#include "plandeck/tests/plandeck_checks.h"

using json_spirit::Value;
using plandeck_tests::parse;

namespace {

std::string computer_name() {
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    EXPECT_TRUE(GetComputerNameW(buffer, &size));
    return std::string(buffer, buffer + size);  // the host name is ASCII
}

std::string written(const JobDefinition& definition) {
    Value value;
    EXPECT_TRUE(definition.toJSON(value));
    return json_spirit::write(value);
}

Value member(const JobDefinition& definition, const std::string& key) {
    Value value;
    EXPECT_TRUE(definition.toJSON(value));
    auto it = value.get_obj().find(key);
    return it == value.get_obj().end() ? Value("<absent>") : it->second;
}

SYSTEMTIME created(const JobDefinition& definition) {
    SYSTEMTIME time = {};
    EXPECT_TRUE(FileTimeToSystemTime(&definition.creationTime(), &time));
    return time;
}

// A minimal definition of that type with extra members (a text of members, comma first).
std::string definition_text(const char* type, const std::string& extra = "") {
    return std::string(R"({"type":")") + type + R"(","name":"n","source":["C:/a"])" + extra + "}";
}

const std::regex kUuidText("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

class Definition : public plandeck_tests::Logged {};

}  // namespace

TEST_F(Definition, BackupRoundTripsForEverySchedule) {
    const struct {
        const char* in;
        const char* out;
    } schedules[] = {
        {R"({"type":"once"})", R"({"type":"once"})"},
        {R"({"type":"daily","startTime":"6:0"})", R"({"startTime":"06:00","type":"daily"})"},
        {R"({"type":"weekly","startTime":"22:15","day":0})",
         R"({"day":0,"startTime":"22:15","type":"weekly"})"},
        {R"({"type":"monthly","startTime":"1:02","day":31})",
         R"({"day":31,"startTime":"01:02","type":"monthly"})"},
        {R"({"type":"manual"})", R"({"type":"manual"})"},
    };
    for (const auto& schedule : schedules) {
        SCOPED_TRACE(schedule.in);
        BackupJobDefinition first;
        ASSERT_TRUE(first.fromJSON(parse(
            R"({"type":"backup","id":"0A1B2C3D-AAAA-4BBB-8CCC-DDDDEEEEFFFF","user":"alice","creationTime":"2010-3-7 9:05:00",)"
            R"("machine":"ELSEWHERE","offline":"C:/backups/","name":"N\u00e4chtlich",)"
            R"("source":["C:/data/","D:/photos/a b.jpg"],"inclusion":["doc","xls"],)"
            R"("compression":true,"retention":7,"offline_backup":true,"schedule":)" +
            std::string(schedule.in) + "}")));
        EXPECT_EQ(first.type(), JobDefinition::Backup);
        EXPECT_EQ(first.name(), std::wstring(L"N\u00e4chtlich"));
        EXPECT_TRUE(first.compression());
        EXPECT_EQ(first.retention(), 7);
        EXPECT_TRUE(first.is_offline());

        std::string out = written(first);
        EXPECT_EQ(
            parse(out),
            parse(R"({"compression":true,"creationTime":"2010-3-7 9:5:0",)"
                  R"("id":"0a1b2c3d-aaaa-4bbb-8ccc-ddddeeeeffff",)"
                  R"("inclusion":["doc","xls"],"machine":")" +
                  computer_name() +
                  R"(","name":"N\u00e4chtlich","offline":"C:/backups/","offline_backup":true,)"
                  R"("retention":7,"schedule":)" +
                  schedule.out +
                  R"(,"source":["C:/data/","D:/photos/a b.jpg"],"type":"backup","user":"alice"})"));

        BackupJobDefinition second;
        ASSERT_TRUE(second.fromJSON(parse(out)));
        EXPECT_EQ(written(second), out);
        EXPECT_EQ(second.schedule().type(), first.schedule().type());
    }
    EXPECT_EQ(logged(), "");
}

TEST_F(Definition, RestoreRoundTripsAndDefaultsToSkip) {
    const struct {
        const char* in;  // null: no "existing"
        int code;
        const char* out;
    } modes[] = {{"overwrite", 2, "overwrite"}, {"rename", 3, "rename"}, {"skip", 1, "skip"},
                 {"Skip", 1, "skip"},           {"", 1, "skip"},         {nullptr, 1, "skip"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.in ? mode.in : "(absent)");
        std::string existing = mode.in ? std::string(R"(,"existing":")") + mode.in + "\"" : "";
        RestoreJobDefinition first;
        EXPECT_EQ(first.overwrite(), 0);
        ASSERT_TRUE(first.fromJSON(parse(
            R"({"type":"restore","id":"1a2b3c4d-0000-4111-8222-333344445555","user":"bob","creationTime":"2012-12-31 23:59:59",)"
            R"("source":["C:/data/a.txt"],"name":"back","instanceId":"run-9","offline":"E:/store",)"
            R"("location":"D:\\to\\here","offline_restore":true,"totalsize":18446744073709551615,)"
            R"("totaldirectories":3,"totalfiles":9223372036854775807)" +
            existing + "}")));
        EXPECT_EQ(first.overwrite(), mode.code);
        EXPECT_STREQ(first.instanceId(), "run-9");
        EXPECT_TRUE(first.is_offline());
        EXPECT_EQ(first.totalsize(), UINT64_MAX);
        EXPECT_EQ(first.totaldirectories(), 3u);
        EXPECT_EQ(first.totalfiles(), uint64_t{INT64_MAX});

        std::string out = written(first);
        EXPECT_EQ(
            parse(out),
            parse(
                R"({"creationTime":"2012-12-31 23:59:59","existing":")" + std::string(mode.out) +
                R"(","id":"1a2b3c4d-0000-4111-8222-333344445555","instanceId":"run-9","location":"D:\\to\\here",)"
                R"("machine":")" +
                computer_name() +
                R"(","name":"back","offline":"E:/store","offline_restore":true,)"
                R"("source":["C:/data/a.txt"],"totaldirectories":3,)"
                R"("totalfiles":9223372036854775807,"totalsize":18446744073709551615,)"
                R"("type":"restore","user":"bob"})"));
        RestoreJobDefinition second;
        ASSERT_TRUE(second.fromJSON(parse(out)));
        EXPECT_EQ(written(second), out);
    }
}

TEST_F(Definition, RestoreCountsThatAreNotIntegersKeepZero) {
    RestoreJobDefinition restore;
    ASSERT_TRUE(restore.fromJSON(parse(definition_text(
        "restore", R"(,"totalsize":"12","totaldirectories":1.5,"totalfiles":null)"))));
    EXPECT_EQ(restore.totalsize(), 0u);
    EXPECT_EQ(restore.totaldirectories(), 0u);
    EXPECT_EQ(restore.totalfiles(), 0u);
    EXPECT_EQ(member(restore, "totalsize"), Value(0));
    EXPECT_EQ(member(restore, "totalfiles"), Value(0));
    EXPECT_EQ(member(restore, "instanceId"), Value(""));
    EXPECT_EQ(member(restore, "location"), Value("<absent>"));
    EXPECT_EQ(member(restore, "offline_restore"), Value("<absent>"));
}

TEST_F(Definition, PathsUseSlashesInJsonButLocationIsKeptAsGiven) {
    RestoreJobDefinition restore;
    ASSERT_TRUE(restore.fromJSON(parse(
        R"({"type":"restore","name":"n","offline":"C:/backups/","source":["C:/backups/x","D:\\y"],)"
        R"("location":"D:/restore/"})")));
    EXPECT_EQ(restore.offlineLocation(), std::wstring(L"C:\\backups\\"));
    ASSERT_EQ(restore.source().size(), 2u);
    EXPECT_EQ(restore.source()[0], L"C:\\backups\\x");
    EXPECT_EQ(restore.source()[1], L"D:\\y");
    EXPECT_EQ(restore.location(), std::wstring(L"D:/restore/"));
    EXPECT_EQ(member(restore, "offline"), Value("C:/backups/"));
    EXPECT_EQ(member(restore, "source"), Value(json_spirit::Array{"C:/backups/x", "D:/y"}));
    EXPECT_EQ(member(restore, "location"), Value("D:/restore/"));

    ASSERT_TRUE(restore.fromJSON(parse(definition_text("restore", R"(,"location":"D:\\r\\")"))));
    EXPECT_EQ(restore.location(), std::wstring(L"D:\\r\\"));
    EXPECT_EQ(member(restore, "location"), Value("D:\\r\\"));
    EXPECT_EQ(restore.offlineLocation(), std::wstring());  // absent now: cleared
    EXPECT_EQ(member(restore, "offline"), Value("<absent>"));
}

TEST_F(Definition, ExtensionFilters) {
    BackupJobDefinition backup;
    ASSERT_TRUE(backup.fromJSON(parse(definition_text(
        "backup", R"(,"exclusion":["tmp"],"inclusion":["doc",7,"\u00e9t\u00e9"])"))));
    EXPECT_EQ(backup.include(), BackupJobDefinition::IncludeExtensions);
    EXPECT_EQ(backup.extensions(), (std::vector<std::wstring>{L"doc", L"\u00e9t\u00e9"}));
    EXPECT_EQ(member(backup, "exclusion"), Value("<absent>"));
    EXPECT_EQ(member(backup, "inclusion"), Value(json_spirit::Array{"doc", "\xC3\xA9t\xC3\xA9"}));

    ASSERT_TRUE(backup.fromJSON(parse(definition_text("backup", R"(,"exclusion":["tmp","bak"])"))));
    EXPECT_EQ(backup.include(), BackupJobDefinition::ExcludeExtensions);
    EXPECT_EQ(member(backup, "exclusion"), Value(json_spirit::Array{"tmp", "bak"}));
    EXPECT_EQ(member(backup, "inclusion"), Value("<absent>"));

    ASSERT_TRUE(backup.fromJSON(parse(definition_text("backup"))));
    EXPECT_EQ(backup.include(), BackupJobDefinition::NoFilter);
    EXPECT_TRUE(backup.extensions().empty());
    EXPECT_EQ(member(backup, "exclusion"), Value("<absent>"));
    EXPECT_EQ(member(backup, "inclusion"), Value("<absent>"));
    EXPECT_EQ(logged(), "");

    EXPECT_FALSE(backup.fromJSON(parse(definition_text("backup", R"(,"inclusion":"doc,xls")"))));
    EXPECT_NE(logged().find("Invalid extension of job definition."), std::string::npos);
}

TEST_F(Definition, BackupWithoutScheduleIsOnce) {
    BackupJobDefinition backup;
    ASSERT_TRUE(backup.fromJSON(parse(definition_text("backup"))));
    EXPECT_EQ(member(backup, "schedule"), parse(R"({"type":"once"})"));
    EXPECT_EQ(member(backup, "compression"), Value(false));
    EXPECT_EQ(member(backup, "retention"), Value(0));
    EXPECT_EQ(member(backup, "offline_backup"), Value("<absent>"));
    EXPECT_EQ(member(backup, "user"), Value("<absent>"));
}

TEST_F(Definition, CreationTimeIsReadValidatedAndWrittenUnpadded) {
    BackupJobDefinition fresh;
    EXPECT_EQ(member(fresh, "creationTime"), Value("1601-1-1 0:0:0"));
    ASSERT_TRUE(
        fresh.fromJSON(parse(definition_text("backup", R"(,"creationTime":"2010-2-30 9:00:00")"))));
    EXPECT_EQ(member(fresh, "creationTime"), Value("1601-1-1 0:0:0"));

    BackupJobDefinition backup;
    ASSERT_TRUE(
        backup.fromJSON(parse(definition_text("backup", R"(,"creationTime":"2010-3-7 9:05:00")"))));
    SYSTEMTIME time = created(backup);
    EXPECT_EQ(time.wYear, 2010);
    EXPECT_EQ(time.wMonth, 3);
    EXPECT_EQ(time.wDay, 7);
    EXPECT_EQ(time.wHour, 9);
    EXPECT_EQ(time.wMinute, 5);
    EXPECT_EQ(time.wSecond, 0);
    EXPECT_EQ(member(backup, "creationTime"), Value("2010-3-7 9:5:0"));

    // A date that does not exist, or a text that is no date, keeps the value before the read.
    for (const char* bad : {"2010-2-30 9:00:00", "2011-1-1 24:00:00", "yesterday"}) {
        ASSERT_TRUE(backup.fromJSON(
            parse(definition_text("backup", std::string(R"(,"creationTime":")") + bad + "\""))));
        EXPECT_EQ(member(backup, "creationTime"), Value("2010-3-7 9:5:0")) << bad;
    }

    // Without one, the definition is made now (local time).
    SYSTEMTIME before;
    GetLocalTime(&before);
    ASSERT_TRUE(backup.fromJSON(parse(definition_text("backup"))));
    FILETIME start;
    ASSERT_TRUE(SystemTimeToFileTime(&before, &start));
    auto ticks = [](const FILETIME& t) {
        return (uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 10000000;
    };
    EXPECT_LE(ticks(start) - 1, ticks(backup.creationTime()));
    EXPECT_LE(ticks(backup.creationTime()), ticks(start) + 60);
}

TEST_F(Definition, IdComesFromJsonOrTheConstructor) {
    BackupJobDefinition first, second;
    ASSERT_TRUE(first.fromJSON(parse(definition_text("backup"))));
    ASSERT_TRUE(second.fromJSON(parse(definition_text("backup"))));
    EXPECT_TRUE(std::regex_match(first.id(), kUuidText)) << first.id();
    EXPECT_TRUE(std::regex_match(second.id(), kUuidText)) << second.id();
    EXPECT_STRNE(first.id(), second.id());
    EXPECT_EQ(member(first, "id"), Value(first.id()));

    // The id names a folder, a record and timers: only UUID text is taken,
    // spelt in lower case whatever case it came in.
    for (const char* bad :
         {"", "..", "a..b", "a\\\\b", "a/b", "C:x", "a\\tb", "a\\u0001", "a.b-c_d {x}",
          "0a1b2c3d-aaaa-4bbb-8ccc-ddddeeeeffff0", "0a1b2c3d_aaaa-4bbb-8ccc-ddddeeeeffff",
          "0a1b2c3g-aaaa-4bbb-8ccc-ddddeeeeffff"}) {
        SCOPED_TRACE(bad);
        std::string text = definition_text("backup", std::string(R"(,"id":")") + bad + "\"");
        BackupJobDefinition backup;
        EXPECT_FALSE(backup.fromJSON(parse(text)));
        EXPECT_NE(logged().find("Invalid job id"), std::string::npos);
        EXPECT_EQ(JobDefinitionFactory::create(parse(text)), nullptr);
    }
    BackupJobDefinition mixed;
    EXPECT_TRUE(mixed.fromJSON(
        parse(definition_text("backup", R"(,"id":"0A1b2C3d-AaAa-4BbB-8cCc-DdDdEeEeFfFf")"))));
    EXPECT_STREQ(mixed.id(), "0a1b2c3d-aaaa-4bbb-8ccc-ddddeeeeffff");
    EXPECT_EQ(member(mixed, "id"), Value("0a1b2c3d-aaaa-4bbb-8ccc-ddddeeeeffff"));
}

TEST_F(Definition, MachineIsAlwaysThisComputer) {
    BackupJobDefinition backup;
    ASSERT_TRUE(backup.fromJSON(parse(definition_text("backup", R"(,"machine":"ELSEWHERE")"))));
    std::string name = computer_name();
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(backup.machine(), std::wstring(name.begin(), name.end()));
    EXPECT_EQ(member(backup, "machine"), Value(name));
}

TEST_F(Definition, RefusedDefinitionsSayWhy) {
    BackupJobDefinition backup;
    EXPECT_FALSE(backup.fromJSON(parse(R"({"name":"n","source":["C:/a"]})")));
    EXPECT_EQ(logged().rfind("Invalid job definition: ", 0), 0u);
    EXPECT_FALSE(backup.fromJSON(parse(R"({"type":1,"name":"n","source":["C:/a"]})")));
    EXPECT_EQ(logged().rfind("Invalid job definition: ", 0), 0u);

    EXPECT_FALSE(backup.fromJSON(parse(definition_text("Backup"))));
    EXPECT_EQ(logged(), "The type of job definition is neither backup nor restore.\n");

    for (const char* sources : {"[]", "[1,2.5,null]", "\"C:/a\"", "{}"}) {
        EXPECT_FALSE(backup.fromJSON(
            parse(std::string(R"({"type":"backup","name":"n","source":)") + sources + "}")))
            << sources;
        EXPECT_EQ(logged(), "Invalid or lack of source of job definition.\n") << sources;
    }
    EXPECT_FALSE(backup.fromJSON(parse(R"({"type":"backup","name":"n"})")));
    EXPECT_EQ(logged(), "Invalid or lack of source of job definition.\n");

    EXPECT_FALSE(backup.fromJSON(parse(R"({"type":"backup","source":["C:/a"]})")));
    EXPECT_EQ(logged().rfind("Invalid job definition: ", 0), 0u);
    EXPECT_FALSE(backup.fromJSON(parse("[]")));
    EXPECT_EQ(logged(), "The job definition is not a JSON object.\n");

    // Texts among numbers are kept, in order.
    ASSERT_TRUE(backup.fromJSON(
        parse(R"({"type":"backup","name":"n","source":[1,"C:/a",{},"D:/b/",false]})")));
    EXPECT_EQ(backup.source(), (std::vector<std::wstring>{L"C:\\a", L"D:\\b\\"}));
    EXPECT_EQ(logged(), "");
}

TEST_F(Definition, CopiesAreTheSameJobAndFactoryResultsCast) {
    std::unique_ptr<JobDefinition> made(JobDefinitionFactory::create(parse(definition_text(
        "backup", R"(,"schedule":{"type":"daily","startTime":"3:00"},"exclusion":["iso"])"))));
    ASSERT_NE(made, nullptr);
    auto* backup = dynamic_cast<BackupJobDefinition*>(made.get());
    ASSERT_NE(backup, nullptr);
    EXPECT_EQ(dynamic_cast<RestoreJobDefinition*>(made.get()), nullptr);

    BackupJobDefinition copy(*backup);
    EXPECT_STREQ(copy.id(), backup->id());
    EXPECT_EQ(written(copy), written(*backup));
    BackupJobDefinition assigned;
    EXPECT_STRNE(assigned.id(), backup->id());
    assigned = *backup;
    EXPECT_STREQ(assigned.id(), backup->id());
    EXPECT_EQ(written(assigned), written(*backup));

    std::unique_ptr<JobDefinition> restore(
        JobDefinitionFactory::create(parse(definition_text("restore", R"(,"existing":"rename")"))));
    ASSERT_NE(restore, nullptr);
    auto* as_restore = dynamic_cast<RestoreJobDefinition*>(restore.get());
    ASSERT_NE(as_restore, nullptr);
    EXPECT_EQ(dynamic_cast<BackupJobDefinition*>(restore.get()), nullptr);
    RestoreJobDefinition restore_copy(*as_restore);
    EXPECT_STREQ(restore_copy.id(), as_restore->id());
    EXPECT_EQ(written(restore_copy), written(*as_restore));

    // A bare definition has no type and no JSON form.
    JobDefinition bare;
    EXPECT_EQ(bare.type(), JobDefinition::None);
    Value untouched("untouched");
    EXPECT_FALSE(bare.toJSON(untouched));
    EXPECT_EQ(untouched, Value("untouched"));
}

TEST(DefinitionKinds, ClassMustAgreeWithType) {
    json_spirit::Value restore;
    json_spirit::read_or_throw(R"({"type":"restore","name":"r","source":["C:/a"]})", restore);
    json_spirit::Value backup;
    json_spirit::read_or_throw(R"({"type":"backup","name":"b","source":["C:/a"]})", backup);
    BackupJobDefinition wrongBackup;
    EXPECT_FALSE(wrongBackup.fromJSON(restore));
    RestoreJobDefinition wrongRestore;
    EXPECT_FALSE(wrongRestore.fromJSON(backup));
}

TEST(DefinitionKinds, NegativeCountKeepsField) {
    json_spirit::Value value;
    json_spirit::read_or_throw(
        R"({"type":"restore","name":"r","source":["C:/a"],"totalsize":-1,"totalfiles":7})", value);
    RestoreJobDefinition definition;
    ASSERT_TRUE(definition.fromJSON(value));
    EXPECT_EQ(definition.totalsize(), 0u);
    EXPECT_EQ(definition.totalfiles(), 7u);
}
