// The consistent check's engine on a tree of a fresh simulated machine: its rows read back by
// the sqlite3 command line, its folder queries and path lists, and what links, bad times and
// failing database steps leave.
#include "portvane/check/consistencheck.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>

#include "job/stores/exclusion_list.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

std::string cli(const ConsistencheckImpl& check, const std::string& sql) {
    std::string out;
    run_command("sqlite3 -readonly " + shell_quote(host_of(check.dbPath())) + " " +
                    shell_quote(sql) + " 2>&1",
                &out);
    return out;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void makeFile(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    tovel::testing::write_host_file(host_of(path), "data");
}

// The file's last-write time as the listing of the last backup gives it, shifted by delta.
std::string timeOf(const std::wstring& path, long long delta = 0) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    unsigned long long value =
        (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32 |
         data.ftLastWriteTime.dwLowDateTime) +
        delta;
    char text[32];
    std::snprintf(text, sizeof text, "%u-%u", static_cast<unsigned>(value >> 32),
                  static_cast<unsigned>(value & 0xffffffffu));
    return text;
}

std::string names(const json_spirit::Array& rows) {
    std::string out;
    for (const auto& row : rows)
        out += row.get_obj().at("path").get_str() + "=" + row.get_obj().at("state").get_str() + " ";
    return out;
}

// A tree of C:\t and a listing of its last backup: "same" unchanged, "newer" changed since,
// "older" older on disk, "added" not in the backup, "gone", "a_b/x" and "aXb/y" only in it.
std::string makeTree() {
    for (const wchar_t* name : {L"C:\\t\\same", L"C:\\t\\sub\\newer", L"C:\\t\\sub\\older",
                                L"C:\\t\\sub\\deep\\added", L"C:\\t\\\u00e9t\u00e9\\added"})
        makeFile(name);
    json_spirit::Object listing;
    listing["C:/t/same"] = timeOf(L"C:\\t\\same");
    listing["C:/t/sub/newer"] = timeOf(L"C:\\t\\sub\\newer", -10000000);
    listing["C:/t/sub/older"] = timeOf(L"C:\\t\\sub\\older", 10000000);
    listing["C:/t/gone"] = "1-2";
    listing["C:/t/a_b/x"] = "1-2";
    listing["C:/t/aXb/y"] = "1-2";
    return json_spirit::write(listing);
}

const char kSelection[] = R"({"source": {"C:/t": 1, "D:/nothing": 1, "C:/bad": "x"}})";

class ConsistencheckTest : public tovel::testing::LoggedTest {};

TEST_F(ConsistencheckTest, KeepsTheDifferencesAndAnswersQueriesByExactPrefix) {
    std::string listing = makeTree();
    ConsistencheckImpl check("check-1");
    ASSERT_TRUE(check.consistentcheck(kSelection, listing, "ann"));
    EXPECT_EQ(cli(check, "select fullpath,parentpath,status from res order by fullpath"),
              "||\n"
              "C:/||\n"
              "C:/t/|C:/|\n"
              "C:/t/aXb/|C:/t/|\n"
              "C:/t/aXb/y|C:/t/aXb/|deleted\n"
              "C:/t/a_b/|C:/t/|\n"
              "C:/t/a_b/x|C:/t/a_b/|deleted\n"
              "C:/t/gone|C:/t/|deleted\n"
              "C:/t/sub/|C:/t/|\n"
              "C:/t/sub/deep/|C:/t/sub/|\n"
              "C:/t/sub/deep/added|C:/t/sub/deep/|added\n"
              "C:/t/sub/newer|C:/t/sub/|modified\n"
              "C:/t/\u00e9t\u00e9/|C:/t/|\n"
              "C:/t/\u00e9t\u00e9/added|C:/t/\u00e9t\u00e9/|added\n");
    // A folder's listing uses the index, not a scan of the table.
    EXPECT_NE(cli(check, "explain query plan select * from res where parentpath='C:/'")
                  .find("res_parentpath"),
              std::string::npos);

    json_spirit::Array rows;
    ASSERT_TRUE(check.query_resultdb("", rows));
    EXPECT_EQ(names(rows), "C:/= ");
    rows.clear();
    ASSERT_TRUE(check.query_resultdb("C:/t", rows));
    EXPECT_EQ(names(rows), "aXb/= a_b/= sub/= \u00e9t\u00e9/= gone=deleted ");
    rows.clear();
    ASSERT_TRUE(check.query_resultdb("C:/t/sub/", rows));
    EXPECT_EQ(names(rows), "deep/= newer=modified ");

    // "_" and "%" are plain characters and case counts: only C:/t/a_b/x lies under C:/t/a_b/.
    json_spirit::Array paths;
    ASSERT_TRUE(check.get_leafnode(json_spirit::Array{"C:/t/a_b/", 5, "C:/T/a_b/", "C:/t/a%/"},
                                   "deleted", paths));
    EXPECT_EQ(json_spirit::write(paths), R"(["C:/t/a_b/x"])");
    paths.clear();
    ASSERT_TRUE(check.get_leafnode(json_spirit::Array{"C:/t/", "C:/t/gone", "C:/t/same"}, "deleted",
                                   paths));
    EXPECT_EQ(json_spirit::write(paths), R"(["C:/t/aXb/y","C:/t/a_b/x","C:/t/gone","C:/t/gone"])");

    // A path the user excluded exactly gets no row on the next run; a folder hides nothing.
    {
        ExclusionList list;
        list.addPath("ann", "C:/t/aXb/y");
        list.addPath("ann", "C:/t/sub/");
        ASSERT_TRUE(list.save());
    }
    ASSERT_TRUE(check.consistentcheck(kSelection, listing, "ann"));
    EXPECT_EQ(cli(check, "select fullpath from res where status!='' order by fullpath"),
              "C:/t/a_b/x\nC:/t/gone\nC:/t/sub/deep/added\nC:/t/sub/newer\n"
              "C:/t/\u00e9t\u00e9/added\n");

    EXPECT_TRUE(check.free_db());
    EXPECT_FALSE(exists(check.folder()));
}

TEST_F(ConsistencheckTest, ReadsOfAMissingResultFailAndCreateNothing) {
    ConsistencheckImpl check("never-run");
    json_spirit::Array out;
    EXPECT_FALSE(check.query_resultdb("C:/", out));
    EXPECT_FALSE(check.get_leafnode(json_spirit::Array{"C:/"}, "deleted", out));
    EXPECT_FALSE(check.free_db());
    std::wstring area = check.folder().substr(0, check.folder().rfind(L'\\'));
    EXPECT_FALSE(exists(area));
    // Bad texts fail the check before anything is made.
    for (auto [selection, listing] :
         {std::pair{"[1]", "{}"}, std::pair{"{}", "{}"}, std::pair{"{\"source\": 1}", "{}"},
          std::pair{"{\"source\": {}}", "[]"}, std::pair{"{\"source\": {}}", "{"}}) {
        SetLastError(0);
        EXPECT_FALSE(check.consistentcheck(selection, listing, "u")) << selection << listing;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(exists(area));
}

TEST_F(ConsistencheckTest, LinksAreNotFollowedAndALoopEnds) {
    makeFile(L"C:\\t\\in\\file");
    makeFile(L"C:\\outside\\secret");
    ASSERT_EQ(::symlink(host_of(L"C:\\t").c_str(), host_of(L"C:\\t\\in\\loop").c_str()), 0);
    ASSERT_EQ(::symlink(host_of(L"C:\\outside").c_str(), host_of(L"C:\\t\\out").c_str()), 0);
    ASSERT_EQ(::symlink(host_of(L"C:\\t").c_str(), host_of(L"C:\\linked").c_str()), 0);
    ConsistencheckImpl check("loop");
    ASSERT_TRUE(check.consistentcheck(R"({"source": {"C:/t": 1, "C:/linked": 1}})", "{}", "u"));
    EXPECT_EQ(cli(check, "select fullpath from res where status!=''"), "C:/t/in/file\n");
}

TEST_F(ConsistencheckTest, AMalformedTimeSkipsItsEntryOnly) {
    for (const wchar_t* name :
         {L"C:\\t\\one", L"C:\\t\\two", L"C:\\t\\three", L"C:\\t\\four", L"C:\\t\\five"})
        makeFile(name);
    ConsistencheckImpl check("times");
    ASSERT_TRUE(check.consistentcheck(
        R"({"source": {"C:/t": 1}})",
        R"({"C:/t/one": "12", "C:/t/two": "1-", "C:/t/three": "x-1", "C:/t/four": 7,
            "C:/t/five": "0-1"})",
        "u"));
    EXPECT_EQ(cli(check, "select fullpath,status from res where status!=''"),
              "C:/t/five|modified\n");
    std::string log = logged();
    EXPECT_NE(log.find("last-backup-time is invalid formatted within sqlite3 DataBase, path = "
                       "C:/t/one, last-backup-time format type:2"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("path = C:/t/four, last-backup-time format type:4"), std::string::npos);
}

// Fails the insert or the query step after a number of good ones, as a full disk or a damaged
// file would.
class FailingCheck : public ConsistencheckImpl {
public:
    using ConsistencheckImpl::ConsistencheckImpl;
    int insertsLeft = 1 << 30;
    int stepsLeft = 1 << 30;

protected:
    int insertRow(sqlite3_stmt* insert) override {
        if (insertsLeft-- > 0) return ConsistencheckImpl::insertRow(insert);
        sqlite3_reset(insert);
        return SQLITE_FULL;
    }
    int stepQuery(sqlite3_stmt* query) override {
        if (stepsLeft-- > 0) return ConsistencheckImpl::stepQuery(query);
        return SQLITE_IOERR;
    }
};

TEST_F(ConsistencheckTest, AFailedInsertFailsTheCheckAndAFailedStepFailsTheQuery) {
    std::string listing = makeTree();
    FailingCheck check("faults");
    check.insertsLeft = 4;
    EXPECT_FALSE(check.consistentcheck(kSelection, listing, "u"));
    EXPECT_EQ(cli(check, "select count(*) from res where fullpath!=''"), "0\n");

    check.insertsLeft = 1 << 30;
    ASSERT_TRUE(check.consistentcheck(kSelection, listing, "u"));
    check.stepsLeft = 1;
    json_spirit::Array out;
    EXPECT_FALSE(check.query_resultdb("C:/t/", out));
    check.stepsLeft = 1;
    out.clear();
    EXPECT_FALSE(check.get_leafnode(json_spirit::Array{"C:/t/"}, "deleted", out));
    check.stepsLeft = 1 << 30;
    out.clear();
    EXPECT_TRUE(check.get_leafnode(json_spirit::Array{"C:/t/"}, "deleted", out));
    EXPECT_EQ(out.size(), 3u);
}

}  // namespace
}  // namespace portvane::testing
