// The cache of a run's source tree on files of a fresh simulated machine: its rows read back by
// the sqlite3 command line, its queries, and what a failed, interrupted or damaged build leaves.
#include "portvane/jobs/local_job_history_src.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <streambuf>

#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

namespace portvane::testing {
namespace {

using tovel::testing::host_of;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

std::string cli(const LocalJobHistorySrc& src, const std::string& sql) {
    std::string out;
    run_command("sqlite3 -readonly " + shell_quote(host_of(src.dbPath())) + " " + shell_quote(sql) +
                    " 2>&1",
                &out);
    return out;
}

json_spirit::Value parsed(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(LocalJobHistorySrc, PathRules) {
    struct Case {
        const char* path;
        const char* parent;  // null: none
        const char* name;    // null: none
    } cases[] = {
        {"C:/a/b.txt", "C:/a/", "b.txt"}, {"C:/a/", "C:/", "a"},    {"C:/", "", "C:"},
        {"", nullptr, nullptr},           {"C:", nullptr, nullptr}, {"/", "", ""},
    };
    for (const Case& c : cases) {
        std::string parent, name;
        EXPECT_EQ(parent_src_path(c.path, parent), c.parent != nullptr) << c.path;
        if (c.parent) EXPECT_EQ(parent, c.parent) << c.path;
        EXPECT_EQ(src_node_name(c.path, name), c.name != nullptr) << c.path;
        if (c.name) EXPECT_EQ(name, c.name) << c.path;
    }
}

const char kTree[] = R"([
  {"file": "C:/a/b.txt", "size": 5, "bUp": 1, "mtime": "2024-01-02 03:04:05"},
  {"dir": "C:/a/", "mtime": "m", "atime": "a", "ctime": "c", "size": 99, "bUp": 1},
  {"file": 7}, {"nothing": "C:/x"}, {"file": "nofolder"}, 5,
  {"file": "C:/a_b/x", "size": 1, "bUp": 0},
  {"file": "C:/aXb/y", "size": 2},
  {"file": "C:/A_B/z", "size": 3, "bUp": 1},
  {"file": "C:/a/b.txt.old/inner", "size": 4, "bUp": 1},
  {"dir": "C:/a/sub/", "bUp": 0},
  {"file": "C:/a/b.txt", "size": 6, "bUp": 0},
  {"vol": "D:/"}
])";

TEST(LocalJobHistorySrc, BuildsTheTreeAndAnswersItsQueries) {
    LocalJobHistorySrc src("run-1");
    EXPECT_FALSE(exists(src.folder()));  // nothing is made until a build
    ASSERT_TRUE(src.BuildJobHistorySrcDB(kTree));
    EXPECT_FALSE(exists(src.dbPath() + L".build"));
    EXPECT_EQ(cli(src, "pragma integrity_check"), "ok\n");
    // Listed nodes keep their first row and the server's values; added parents have empty times,
    // srcpath 0 and a NULL increment; a folder's size is 0.
    EXPECT_EQ(cli(src,
                  "select fullpath,parentpath,type,mtime,atime,ctime,size,srcpath,"
                  "quote(increment) from src order by fullpath"),
              "||||||0|0|0\n"
              "C:/||vol||||0|0|NULL\n"
              "C:/A_B/|C:/|dir||||0|0|NULL\n"
              "C:/A_B/z|C:/A_B/|file||||3|1|1\n"
              "C:/a/|C:/|dir|m|a|c|0|1|1\n"
              "C:/a/b.txt|C:/a/|file|2024-01-02 03:04:05|||5|1|1\n"
              "C:/a/b.txt.old/|C:/a/|dir||||0|0|NULL\n"
              "C:/a/b.txt.old/inner|C:/a/b.txt.old/|file||||4|1|1\n"
              "C:/a/sub/|C:/a/|dir||||0|1|0\n"
              "C:/aXb/|C:/|dir||||0|0|NULL\n"
              "C:/aXb/y|C:/aXb/|file||||2|1|0\n"
              "C:/a_b/|C:/|dir||||0|0|NULL\n"
              "C:/a_b/x|C:/a_b/|file||||1|1|0\n"
              "D:/||vol||||0|1|0\n");

    std::string out;
    ASSERT_TRUE(src.QueryJobHistorySrcNode("", out));
    EXPECT_EQ(parsed(out), parsed(R"([
      {"vol":"C:","mtime":"","atime":"","ctime":"","increment":0,"has_sub_dir":"true"},
      {"vol":"D:","mtime":"","atime":"","ctime":"","increment":0,"has_sub_dir":"false"}])"));
    ASSERT_TRUE(src.QueryJobHistorySrcNode("C:", out));
    json_spirit::Array level = parsed(out).get_array();
    ASSERT_EQ(level.size(), 4u);
    EXPECT_EQ(level[0].get_obj().at("dir").get_str(), "A_B");
    // A folder has a sub-folder only when a child of it is a folder.
    ASSERT_TRUE(src.QueryJobHistorySrcNode("C:/a/", out));
    EXPECT_EQ(parsed(out), parsed(R"([
      {"dir":"b.txt.old","mtime":"","atime":"","ctime":"","increment":0,"has_sub_dir":"false"},
      {"dir":"sub","mtime":"","atime":"","ctime":"","increment":0,"has_sub_dir":"false"},
      {"file":"b.txt","mtime":"2024-01-02 03:04:05","atime":"","ctime":"","increment":1,
       "has_sub_dir":"false","size":5}])"));

    ASSERT_TRUE(src.QueryAll(out, true));
    json_spirit::Array increment = parsed(out).get_array();
    std::vector<std::string> paths;
    for (const auto& file : increment) paths.push_back(file.get_obj().at("path").get_str());
    EXPECT_EQ(paths, (std::vector<std::string>{"C:/a/b.txt", "C:/A_B/z", "C:/a/b.txt.old/inner"}));
    ASSERT_TRUE(src.QueryAll(out, false));
    EXPECT_EQ(parsed(out).get_array().size(), 5u);

    // The selection of a folder is its exact, case-sensitive prefix: "C:/a_b/" is not a pattern.
    json_spirit::Array leaves;
    json_spirit::Object summary;
    ASSERT_TRUE(src.get_leafnode(
        json_spirit::Array{"C:/a_b/", "C:/a/", "C:/aXb/y", "C:/a/", 3, "C:/missing"}, leaves,
        summary));
    EXPECT_EQ(json_spirit::write(leaves),
              R"(["C:/a_b/x","C:/a/b.txt","C:/a/b.txt.old/inner","C:/a/sub/","C:/aXb/y",)"
              R"("C:/a/b.txt","C:/a/b.txt.old/inner","C:/a/sub/"])");
    EXPECT_EQ(json_spirit::write(summary), R"({"dirs":2,"files":6,"size":21})");

    // A second build replaces the first whole.
    ASSERT_TRUE(src.BuildJobHistorySrcDB(R"([{"file":"E:/only"}])"));
    EXPECT_EQ(cli(src, "select count(*) from src"), "3\n");
    EXPECT_TRUE(src.Free_DB());
    EXPECT_FALSE(exists(src.folder()));
    EXPECT_TRUE(src.Free_DB());
}

TEST(LocalJobHistorySrc, ReadsNeverCreateAndBadAnswersLeaveNoCache) {
    LocalJobHistorySrc src("run-2");
    std::string out = "x";
    ASSERT_TRUE(src.QueryJobHistorySrcNode("C:/", out));
    EXPECT_EQ(out, "[]");
    ASSERT_TRUE(src.QueryAll(out, false));
    EXPECT_EQ(out, "[]");
    json_spirit::Array leaves;
    json_spirit::Object summary;
    EXPECT_FALSE(src.get_leafnode(json_spirit::Array{"C:/"}, leaves, summary));
    EXPECT_FALSE(exists(src.folder()));
    for (const char* answer : {"", "{}", "[]", "[ ]", "not json", "[{\"file\":7}"}) {
        EXPECT_FALSE(src.BuildJobHistorySrcDB(answer)) << answer;
        EXPECT_FALSE(exists(src.folder())) << answer;
    }
}

// Fails the third row insert with an I/O error, or throws there.
class FailingSrc : public LocalJobHistorySrc {
public:
    FailingSrc(const std::string& run, bool throws) : LocalJobHistorySrc(run), throws_(throws) {}

protected:
    int insertRow(sqlite3_stmt* insert) override {
        if (++rows_ == 3) {
            if (throws_) throw std::runtime_error("interrupted");
            return SQLITE_IOERR;
        }
        return LocalJobHistorySrc::insertRow(insert);
    }

private:
    bool throws_;
    int rows_ = 0;
};

const char kFour[] = R"([{"file":"C:/1"},{"file":"C:/2"},{"file":"C:/3"},{"file":"C:/4"}])";

TEST(LocalJobHistorySrc, AFailedRowFailsTheBuildAndKeepsNothing) {
    {  // An I/O error at the third row: no cache, and the build says so.
        FailingSrc src("run-3", false);
        EXPECT_FALSE(src.BuildJobHistorySrcDB(kFour));
        EXPECT_FALSE(exists(src.dbPath()));
        EXPECT_FALSE(exists(src.folder()));
    }
    {  // An exception at the third row rolls the rows so far back.
        FailingSrc src("run-3", true);
        json_spirit::Value nodes = parsed(kFour);
        EXPECT_THROW(src.InsertResult(nodes.get_array()), std::runtime_error);
        EXPECT_EQ(cli(src, "select count(*) from src"), "1\n");  // the root row alone
    }
}

// Reads, at each row insert, the settings of the connection that writes the rows.
class WatchedSrc : public LocalJobHistorySrc {
public:
    using LocalJobHistorySrc::LocalJobHistorySrc;
    std::string seen;

protected:
    int insertRow(sqlite3_stmt* insert) override {
        if (seen.empty()) {
            sqlite3* db = sqlite3_db_handle(insert);
            for (const char* pragma : {"PRAGMA journal_mode;", "PRAGMA synchronous;"}) {
                sqlite3_stmt* query = nullptr;
                if (sqlite3_prepare_v2(db, pragma, -1, &query, nullptr) == SQLITE_OK &&
                    sqlite3_step(query) == SQLITE_ROW)
                    seen +=
                        std::string(reinterpret_cast<const char*>(sqlite3_column_text(query, 0))) +
                        " ";
                sqlite3_finalize(query);
            }
        }
        return LocalJobHistorySrc::insertRow(insert);
    }
};

TEST(LocalJobHistorySrc, TheRowsAreWrittenWithTheJournalInMemoryForTheirOwnerOnly) {
    WatchedSrc src("run-5");
    ASSERT_TRUE(src.BuildJobHistorySrcDB(kFour, "alice"));
    // journal_mode MEMORY and synchronous OFF (0) on the inserting connection itself.
    EXPECT_EQ(src.seen, "memory 0 ");
    EXPECT_EQ(cli(src, "select user from owner"), "alice\n");
    EXPECT_TRUE(src.ownedBy("alice"));
    EXPECT_FALSE(src.ownedBy("bob"));
    EXPECT_FALSE(src.ownedBy(""));
    // A cache of no owner (as one made before owners were kept) is nobody's.
    LocalJobHistorySrc anonymous("run-6");
    ASSERT_TRUE(anonymous.BuildJobHistorySrcDB(kFour));
    EXPECT_FALSE(anonymous.ownedBy("alice"));
    EXPECT_FALSE(anonymous.ownedBy(""));
    run_command("sqlite3 " + shell_quote(host_of(anonymous.dbPath())) + " 'drop table owner'");
    EXPECT_FALSE(anonymous.ownedBy("alice"));
    EXPECT_FALSE(LocalJobHistorySrc("run-7").ownedBy("alice"));
}

TEST(LocalJobHistorySrc, ADamagedCacheFailsItsQueriesInsteadOfGivingAShortList) {
    LocalJobHistorySrc src("run-4");
    std::string tree = "[";
    for (int i = 0; i < 3000; ++i) {
        tree += (i ? "," : "") + std::string(R"({"file":"C:/d/f)") + std::to_string(i) +
                R"(.dat","size":)" + std::to_string(i) + "}";
    }
    ASSERT_TRUE(src.BuildJobHistorySrcDB(tree + "]"));
    std::string out;
    ASSERT_TRUE(src.QueryAll(out, false));
    EXPECT_EQ(parsed(out).get_array().size(), 3000u);
    // Spoil pages in the middle of the file, past the first rows.
    std::string host = host_of(src.dbPath());
    std::string bytes = tovel::testing::read_host_file(host);
    ASSERT_GT(bytes.size(), 64u * 1024);
    for (size_t at = bytes.size() / 2; at < bytes.size() / 2 + 16384; ++at) bytes[at] = '\x5a';
    tovel::testing::write_host_file(host, bytes);
    EXPECT_FALSE(src.QueryAll(out, false));
    EXPECT_FALSE(src.QueryJobHistorySrcNode("C:/d/", out));
}

// Gives its text a few bytes at a time and tells how much of it has been handed out.
class TrickleBuffer : public std::streambuf {
public:
    explicit TrickleBuffer(std::string text) : text_(std::move(text)) {}
    size_t handed() const { return at_; }

protected:
    int_type underflow() override {
        if (at_ >= text_.size()) return traits_type::eof();
        size_t n = std::min<size_t>(7, text_.size() - at_);
        setg(&text_[at_], &text_[at_], &text_[at_] + n);
        at_ += n;
        return traits_type::to_int_type(text_[at_ - n]);
    }

private:
    std::string text_;
    size_t at_ = 0;
};

// Notes how much of the answer had been read when the first row went in.
class TricklingSrc : public LocalJobHistorySrc {
public:
    TricklingSrc(const std::string& run, const TrickleBuffer& buffer)
        : LocalJobHistorySrc(run), buffer_(buffer) {}
    size_t readAtFirstRow = 0;

protected:
    int insertRow(sqlite3_stmt* insert) override {
        if (!readAtFirstRow) readAtFirstRow = buffer_.handed();
        return LocalJobHistorySrc::insertRow(insert);
    }

private:
    const TrickleBuffer& buffer_;
};

TEST(LocalJobHistorySrc, AStreamedAnswerIsBuiltAsItIsReadAndAllIsWrittenAsItIsQueried) {
    // Names that need escaping, and more files than one piece of the written text holds.
    std::string tree = R"([{"file":"C:/q/say \"hi\"\\now\t\u0001.txt","size":1,"bUp":1,)"
                       R"("mtime":"m\"","atime":"a","ctime":"c"},)"
                       R"({"file":"C:/q/n\u00e9st/\u65e5\u672c","size":2,"bUp":0})";
    for (int i = 0; i < 2000; ++i)
        tree += R"(,{"file":"C:/w/d)" + std::to_string(i % 7) + "/f" + std::to_string(i) +
                R"(","size":)" + std::to_string(i) + R"(,"bUp":1,"mtime":"2024-01-02 03:04:05"})";
    tree += "]";
    TrickleBuffer buffer(tree);
    std::istream in(&buffer);
    TricklingSrc src("run-5", buffer);
    ASSERT_EQ(src.BuildJobHistorySrcDB(in), LocalJobHistorySrc::BuildResult::built);
    EXPECT_GT(src.readAtFirstRow, 0u);
    EXPECT_LT(src.readAtFirstRow, 300u) << "the first node waited for the rest of the answer";
    EXPECT_EQ(cli(src, "select count(*) from src where srcpath = 1"), "2002\n");

    // The text written piece by piece is json_spirit's text of the rows, its length told first.
    json_spirit::Array expected;
    json_spirit::Value nodes = parsed(tree);
    for (const json_spirit::Value& node : nodes.get_array()) {
        const json_spirit::Object& n = node.get_obj();
        auto text = [&](const char* key) {
            return n.count(key) ? n.at(key).get_str() : std::string();
        };
        expected.push_back(json_spirit::Object{{"path", n.at("file")},
                                               {"type", "file"},
                                               {"mtime", text("mtime")},
                                               {"atime", text("atime")},
                                               {"ctime", text("ctime")},
                                               {"size", n.at("size")},
                                               {"increment", n.at("bUp")}});
    }
    uint64_t told = 0;
    std::string written;
    size_t pieces = 0;
    ASSERT_TRUE(src.WriteAll(
        false,
        [&](uint64_t length) {
            told = length;
            return written.empty();
        },
        [&](const std::string& piece) {
            EXPECT_LE(piece.size(), 80u * 1024);
            written += piece;
            ++pieces;
            return true;
        }));
    EXPECT_EQ(written, json_spirit::write(expected));
    EXPECT_EQ(told, written.size());
    EXPECT_GT(pieces, 1u);
    std::string all;
    ASSERT_TRUE(src.QueryAll(all, false));
    EXPECT_EQ(all, written);

    // An answer without nodes builds nothing; a broken one fails and keeps nothing.
    for (const char* answer : {"[]", "[1, \"x\"]"}) {
        std::istringstream empty(answer);
        EXPECT_EQ(src.BuildJobHistorySrcDB(empty), LocalJobHistorySrc::BuildResult::empty);
        EXPECT_FALSE(exists(src.folder()));
    }
    std::istringstream cut(tree.substr(0, tree.size() / 2));
    EXPECT_EQ(src.BuildJobHistorySrcDB(cut), LocalJobHistorySrc::BuildResult::failed);
    EXPECT_FALSE(exists(src.folder()));
}

}  // namespace
}  // namespace portvane::testing
