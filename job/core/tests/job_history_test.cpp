// The run's error list and restore history: entries, counters, dates, files.
#include "job/core/job_history.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/appdata_path.h"
#include "common/json.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char kRun[] = "5f0c2a8e-1b7d-4c3e-9a61-2d4b8e7f6c10";

FILETIME at(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME parts = {};
    parts.wYear = static_cast<WORD>(year);
    parts.wMonth = static_cast<WORD>(month);
    parts.wDay = static_cast<WORD>(day);
    parts.wHour = static_cast<WORD>(hour);
    parts.wMinute = static_cast<WORD>(minute);
    parts.wSecond = static_cast<WORD>(second);
    FILETIME out = {};
    EXPECT_TRUE(SystemTimeToFileTime(&parts, &out));
    return out;
}

// The run's history folder's file name, wide.
std::wstring history_file(const wchar_t* name) {
    std::wstring folder;
    EXPECT_TRUE(job_history_path(folder, "job-1", kRun));
    return folder + L"\\" + name;
}

// Runs a python3 expression on the JSON value d of a file; its printed text.
std::string python(const std::wstring& file, const std::string& expression) {
    std::string out;
    EXPECT_EQ(run_command(
                  "python3 -c 'import json,sys; d=json.load(open(sys.argv[1],encoding=\"utf-8\")); "
                  "print((" +
                      expression + "))' " + shell_quote(host_of(file)),
                  &out),
              0);
    return out;
}

class JobHistory : public tovel::testing::LoggedTest {};

// Two long texts, equal; else where they part, shortly.
::testing::AssertionResult same_text(const std::string& got, const std::string& expected) {
    if (got == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
    size_t from = at < 20 ? 0 : at - 20;
    return ::testing::AssertionFailure()
           << "sizes " << got.size() << " and " << expected.size() << ", first difference at " << at
           << ": \"" << got.substr(from, 60) << "\" against \"" << expected.substr(from, 60)
           << "\"";
}

TEST_F(JobHistory, HttpCodesGetTheirReasonPhrase) {
    JobHistoryError errors;
    EXPECT_TRUE(errors.empty());
    ASSERT_TRUE(errors.add(L"C:\\data\\a.txt", 0x20010194, nullptr));
    ASSERT_TRUE(errors.add(L"C:\\data\\b.txt", 0x20010258, nullptr));
    ASSERT_TRUE(errors.add(L"C:\\data\\c.txt", 0x200101F4, nullptr));
    EXPECT_FALSE(errors.empty());
    const json_spirit::Array& list = errors.get();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].get_obj().at("code").get_int64(), 536936852);
    EXPECT_EQ(list[0].get_obj().at("reason").get_str(), "Not Found");
    EXPECT_EQ(list[0].get_obj().at("path").get_str(), "C:\\data\\a.txt");
    EXPECT_EQ(list[1].get_obj().at("code").get_int64(), 536937048);
    EXPECT_EQ(list[1].get_obj().at("reason").get_str(), "Internal Server Error");
    EXPECT_EQ(list[2].get_obj().at("reason").get_str(), "Internal Server Error");
}

TEST_F(JobHistory, GivenReasonsAndWin32Texts) {
    JobHistoryError errors;
    ASSERT_TRUE(errors.add(L"C:\\Grüße\\日本.txt", 5, L"kein Zugriff – 拒否"));
    ASSERT_TRUE(errors.add(L"C:\\x", 0x20010191, L"own words"));
    ASSERT_TRUE(errors.add(L"C:\\y", 2, nullptr));
    ASSERT_TRUE(errors.add(L"C:\\z", 0xFFFFFFFF, nullptr));  // has the bits, yet no status
    ASSERT_TRUE(errors.add(L"C:\\w", 0x20010194, nullptr));
    const json_spirit::Array& list = errors.get();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].get_obj().at("path").get_str(), "C:\\Grüße\\日本.txt");
    EXPECT_EQ(list[0].get_obj().at("reason").get_str(), "kein Zugriff – 拒否");
    EXPECT_EQ(list[1].get_obj().at("reason").get_str(), "own words");
    EXPECT_EQ(list[1].get_obj().at("code").get_int64(), 0x20010191);
    EXPECT_EQ(list[2].get_obj().at("reason").get_str(), to_utf8(win32_error_wtext(2).text(), -1));
    EXPECT_NE(list[2].get_obj().at("reason").get_str(), "");
    EXPECT_EQ(list[3].get_obj().at("code").get_int64(), 4294967295);
    EXPECT_EQ(list[3].get_obj().at("reason").get_str(),
              to_utf8(win32_error_wtext(0xFFFFFFFF).text(), -1));
    EXPECT_EQ(list[4].get_obj().at("reason").get_str(), "Not Found");
}

TEST_F(JobHistory, NoPathNoEntry) {
    JobHistoryError errors;
    EXPECT_FALSE(errors.add(nullptr, 5, L"r"));
    EXPECT_FALSE(errors.add(L"", 5, L"r"));
    EXPECT_TRUE(errors.empty());
}

TEST_F(JobHistory, ErrorListIsSavedByItsDestructorAndResumed) {
    const std::wstring file = history_file(L"err");
    {
        JobHistoryError errors;
        EXPECT_FALSE(errors.load(to_utf8(file).c_str()));
        errors.add(L"C:\\a", 0x20010194, nullptr);
    }
    EXPECT_EQ(python(file, "[(e[\"code\"], e[\"path\"], e[\"reason\"]) for e in d]"),
              "[(536936852, 'C:\\\\a', 'Not Found')]\n");
    {
        JobHistoryError errors;
        ASSERT_TRUE(errors.load(to_utf8(file).c_str()));
        EXPECT_FALSE(errors.empty());
        EXPECT_FALSE(errors.add(L"C:\\a", 0x20010194, nullptr));  // listed already
        errors.add(L"C:\\b", 5, L"denied");
    }
    EXPECT_EQ(python(file, "[e[\"path\"] for e in d], sorted(d[1])"),
              "(['C:\\\\a', 'C:\\\\b'], ['code', 'path', 'reason'])\n");
    { JobHistoryError unused; }  // no path: nothing written, nothing logged
    EXPECT_EQ(logged(), "");
}

// Two files whose names are no valid UTF-8 and differ only in their undecodable bytes are two
// entries with two paths (a left-out file is never hidden behind another); valid names, and the
// list's stored form as python3 and the list itself read it, stay as they were.
TEST_F(JobHistory, NamesThatDifferOnlyInUndecodableBytesAreListedApart) {
    const std::wstring file = history_file(L"err");
    {
        JobHistoryError errors;
        errors.load(to_utf8(file).c_str());  // binds the list to its file, which is not there yet
        EXPECT_TRUE(errors.add(L"C:\\t\\bad\xDCFF.txt", 0, nullptr));
        EXPECT_TRUE(errors.add(L"C:\\t\\bad\xDCFE.txt", 0, nullptr));
        EXPECT_TRUE(errors.add(L"C:\\t\\n\u00e9e \U0001F600.txt", 0, nullptr));
        EXPECT_TRUE(errors.journalLast());
    }
    EXPECT_EQ(python(file, "[e[\"path\"].encode(\"unicode_escape\").decode() for e in d]"),
              "['C:\\\\\\\\t\\\\\\\\bad\\\\ufffd{dcff}.txt', "
              "'C:\\\\\\\\t\\\\\\\\bad\\\\ufffd{dcfe}.txt', "
              "'C:\\\\\\\\t\\\\\\\\n\\\\xe9e \\\\U0001f600.txt']\n");
    JobHistoryError again;
    ASSERT_TRUE(again.load(to_utf8(file).c_str()));
    EXPECT_FALSE(again.add(L"C:\\t\\bad\xDCFE.txt", 0, nullptr));  // listed already
    EXPECT_TRUE(again.add(L"C:\\t\\bad\xDC80.txt", 0, nullptr));
    again.unbind();
}

// Each error is appended to the list's journal as it comes, so that a kill
// of the process keeps it without the list being rewritten per error; the
// next load takes the journal's entries that the list does not hold, and a
// save writes the list whole and drops the journal.
TEST_F(JobHistory, AnErrorJournaledBeforeAKillIsLoadedBackOnce) {
    const std::wstring file = history_file(L"err"), journal = file + L".journal";
    const std::string path = to_utf8(file);
    {
        JobHistoryError errors;
        errors.load(path.c_str());
        errors.add(L"C:\\a", 5, L"first");
        ASSERT_TRUE(errors.save());
    }
    pid_t child = ::fork();
    if (child == 0) {
        // Killed before any destructor or save: only the journal holds these.
        JobHistoryError errors;
        errors.load(path.c_str());
        for (const wchar_t* name : {L"C:\\b", L"C:\\c"}) {
            errors.add(name, 2, nullptr);
            errors.journalLast();
        }
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(python(file, "len(d)"), "1\n");
    // A line torn by a kill, and one repeating a place the list holds (a save
    // cut off before it dropped the journal): both passed over.
    std::string lines = read_host_file(host_of(journal));
    write_host_file(host_of(journal), R"([0,{"code":7,"path":"C:\\a","reason":"again"}])"
                                      "\n" +
                                          lines + "[3,{\"co");
    JobHistoryError errors;
    ASSERT_TRUE(errors.load(path.c_str()));
    errors.add(L"C:\\d", 3, L"after");
    errors.journalLast();
    std::vector<std::string> paths;
    for (const json_spirit::Value& entry : errors.get())
        paths.push_back(entry.get_obj().at("path").get_str());
    EXPECT_EQ(paths, (std::vector<std::string>{"C:\\a", "C:\\b", "C:\\c", "C:\\d"}));
    {
        JobHistoryError reread;
        ASSERT_TRUE(reread.load(path.c_str()));
        EXPECT_EQ(reread.get().size(), 4u);  // the torn line was ended first
        reread.unbind();
    }
    ASSERT_TRUE(errors.save());
    EXPECT_FALSE(std::filesystem::exists(host_of(journal)));
    EXPECT_EQ(python(file, "[e[\"path\"] for e in d]"),
              "['C:\\\\a', 'C:\\\\b', 'C:\\\\c', 'C:\\\\d']\n");
}

TEST_F(JobHistory, DatesHaveNoLeadingZerosInMonthAndDay) {
    EXPECT_EQ(job_history_time_text(at(2014, 3, 5, 7, 4, 9)), "2014-3-5 07:04:09");
    EXPECT_EQ(job_history_time_text(at(1999, 12, 31, 23, 59, 59)), "1999-12-31 23:59:59");
    EXPECT_EQ(job_history_time_text(at(1601, 1, 1, 0, 0, 0)), "1601-1-1 00:00:00");
    FILETIME beyond = {0xFFFFFFFFu, 0xFFFFFFFFu};
    EXPECT_EQ(job_history_time_text(beyond), "0-0-0 00:00:00");

    JobHistoryInfo info;
    ASSERT_TRUE(info.setStartTime(at(2014, 3, 5, 7, 4, 9)));
    ASSERT_TRUE(info.setEndTime(at(2014, 11, 25, 17, 0, 0)));
    EXPECT_EQ(info.value().at("starttime").get_str(), "2014-3-5 07:04:09");
    EXPECT_EQ(info.value().at("endtime").get_str(), "2014-11-25 17:00:00");
}

TEST_F(JobHistory, SettersAndInstanceId) {
    JobHistoryInfo info;
    EXPECT_FALSE(info.setInstanceId(nullptr));
    EXPECT_FALSE(info.setInstanceId(""));
    EXPECT_TRUE(info.value().empty());
    EXPECT_TRUE(info.setInstanceId(kRun));
    EXPECT_FALSE(info.setInstanceId(""));
    EXPECT_EQ(info.value().at("instanceId").get_str(), kRun);
    EXPECT_TRUE(info.setType("restore"));
    EXPECT_TRUE(info.setState("run"));
    EXPECT_TRUE(info.setTotalSize(18446744073709551615ull));
    EXPECT_TRUE(info.setFilesCount(3));
    EXPECT_TRUE(info.setSpeed(-1));
    EXPECT_EQ(info.value().at("totalsize").get_uint64(), 18446744073709551615ull);
    EXPECT_EQ(info.value().at("filescount").get_int64(), 3);
    EXPECT_EQ(info.value().at("speed").get_int(), -1);
    EXPECT_EQ(info.value().at("type").get_str(), "restore");
    EXPECT_EQ(info.value().at("state").get_str(), "run");
}

TEST_F(JobHistory, AddSourceFileCountsEachItem) {
    JobHistoryInfo info;
    ASSERT_TRUE(info.addSourceFile(L"C:\\data\\ä.txt", at(2013, 1, 2, 3, 4, 5),
                                   at(2014, 10, 9, 8, 7, 6), 1234));
    const json_spirit::Object whole = info.value();
    const json_spirit::Array& source = whole.at("source").get_array();
    ASSERT_EQ(source.size(), 1u);
    const json_spirit::Object& item = source[0].get_obj();
    EXPECT_EQ(item.at("creationtime").get_str(), "2013-1-2 03:04:05");
    EXPECT_EQ(item.at("modifiedtime").get_str(), "2014-10-9 08:07:06");
    EXPECT_EQ(item.at("path").get_str(), "C:\\data\\ä.txt");
    EXPECT_EQ(item.at("size").get_int64(), 1234);
    EXPECT_EQ(info.value().at("files_restored").get_int64(), 1);
    EXPECT_EQ(info.value().at("restored_size").get_int64(), 1234);

    ASSERT_TRUE(info.addSourceFile(L"C:\\data\\b", at(2013, 1, 2, 3, 4, 5), at(2013, 1, 2, 3, 4, 5),
                                   18446744073709550000ull));
    EXPECT_EQ(info.value().at("source").get_array().size(), 2u);
    EXPECT_EQ(info.value().at("files_restored").get_int64(), 2);
    EXPECT_EQ(info.value().at("restored_size").get_uint64(), 18446744073709551234ull);
}

TEST_F(JobHistory, MembersOfTheWrongTypeAreReplacedOrLeftAlone) {
    const std::wstring file = history_file(L"info");
    write_host_file(host_of(file),
                    R"({"source":{"not":"an array"},"files_restored":"many","restored_size":1.5})");
    JobHistoryInfo info;
    ASSERT_TRUE(info.load(to_utf8(file).c_str()));
    ASSERT_TRUE(info.addSourceFile(L"C:\\a", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 10));
    EXPECT_EQ(info.value().at("source"),
              json_spirit::Value(json_spirit::Object{{"not", "an array"}}));
    EXPECT_EQ(info.value().at("files_restored").get_int64(), 1);
    EXPECT_EQ(info.value().at("restored_size").get_int64(), 10);
    ASSERT_TRUE(info.addSourceFile(L"C:\\b", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 5));
    EXPECT_EQ(info.value().at("files_restored").get_int64(), 2);
    EXPECT_EQ(info.value().at("restored_size").get_int64(), 15);

    write_host_file(host_of(file), R"({"files_restored":-1,"restored_size":-3})");
    ASSERT_TRUE(info.load(nullptr));
    info.addSourceFile(L"C:\\c", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 4);
    EXPECT_EQ(info.value().at("files_restored").get_int64(), 0);
    EXPECT_EQ(info.value().at("restored_size").get_int64(), 1);
    EXPECT_EQ(info.value().at("source").get_array().size(), 1u);
}

TEST_F(JobHistory, ResetZeroesAndKeepsTheType) {
    JobHistoryInfo bare;
    bare.setType("restore");
    bare.reset();
    EXPECT_EQ(bare.value().count("source"), 0u);
    EXPECT_EQ(bare.value().size(), 11u);
    EXPECT_EQ(bare.value().at("type").get_str(), "restore");
    for (const char* key : {"instanceId", "starttime", "endtime", "state"})
        EXPECT_EQ(bare.value().at(key).get_str(), "") << key;
    for (const char* key :
         {"usedtime", "totalsize", "filescount", "speed", "files_restored", "restored_size"})
        EXPECT_EQ(bare.value().at(key).get_int64(), 0) << key;

    JobHistoryInfo full;
    full.setInstanceId(kRun);
    full.addSourceFile(L"C:\\a", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 10);
    full.reset();
    EXPECT_TRUE(full.value().at("source").get_array().empty());
    EXPECT_EQ(full.value().at("files_restored").get_int64(), 0);
    EXPECT_EQ(full.value().count("type"), 0u);
}

TEST_F(JobHistory, InfoIsSavedByItsDestructorAndReadBack) {
    const std::wstring file = history_file(L"info");
    {
        JobHistoryInfo info;
        EXPECT_FALSE(info.load(to_utf8(file).c_str()));
        info.setType("restore");
        info.setInstanceId(kRun);
        info.setStartTime(at(2014, 3, 5, 7, 4, 9));
        info.setFilesCount(2);
        info.setTotalSize(30);
        info.setState("run");
        info.addSourceFile(L"C:\\a\\b", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 10);
    }
    EXPECT_EQ(
        python(file, "list(d), d[\"starttime\"], d[\"source\"][0][\"path\"]"),
        "(['files_restored', 'filescount', 'instanceId', 'restored_size', 'source', 'starttime', "
        "'state', 'totalsize', 'type'], '2014-3-5 07:04:09', 'C:\\\\a\\\\b')\n");
    {
        JobHistoryInfo info;
        ASSERT_TRUE(info.load(to_utf8(file).c_str()));
        info.addSourceFile(L"C:\\a\\c", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 20);
        info.setEndTime(at(2014, 3, 5, 8, 0, 0));
        info.setSpeed(512);
        info.setState("completed");
    }
    EXPECT_EQ(
        python(file,
               "d[\"files_restored\"], d[\"restored_size\"], len(d[\"source\"]), d[\"state\"], "
               "d[\"endtime\"], d[\"speed\"]"),
        "(2, 30, 2, 'completed', '2014-3-5 08:00:00', 512)\n");

    // A damaged file is not read, and the record's next save replaces it whole.
    std::string text = read_host_file(host_of(file));
    write_host_file(host_of(file), text.substr(0, text.size() / 2));
    {
        JobHistoryInfo info;
        EXPECT_FALSE(info.load(to_utf8(file).c_str()));
        EXPECT_TRUE(info.value().empty());
        info.setType("restore");
    }
    EXPECT_EQ(python(file, "d"), "{'type': 'restore'}\n");
}

// The record of many items holds each entry as text: what it sends and the
// file it writes are the bytes that the whole value of the same content
// gives, and what an independent reader writes back from them.
TEST_F(JobHistory, ARecordOfManyItemsIsTheTextOfItsWholeValue) {
    const std::wstring file = history_file(L"info");
    // Names to escape: quotes, separators, control characters, other scripts,
    // a lone surrogate (written as U+FFFD).
    const std::vector<std::wstring> names = {L"plain.txt",
                                             L"q\"uo\"te",
                                             L"back\\\\slash/and/slash",
                                             L"tab\tnew\nline\x01\x1f\x7f",
                                             L"\u00e4\u4e2d\U0001F600",
                                             L"lone\xd800",
                                             L"{[braces]}: \"a\":1,"};
    json_spirit::Object whole;
    json_spirit::Array entries;
    JobHistoryInfo info;
    EXPECT_FALSE(info.load(to_utf8(file).c_str()));  // binds the file, none yet
    info.setType("restore");
    info.setInstanceId(kRun);
    info.setState("run");
    info.setStartTime(at(2014, 3, 5, 7, 4, 9));
    uint64_t bytes = 0;
    const size_t kItems = 9000;  // entries of more than one piece
    for (size_t i = 0; i < kItems; ++i) {
        std::wstring path = L"C:\\data\\f" + std::to_wstring(i) + L"\\" + names[i % names.size()];
        FILETIME made = at(2000 + static_cast<int>(i % 30), 1 + static_cast<int>(i % 12),
                           1 + static_cast<int>(i % 28), static_cast<int>(i % 24),
                           static_cast<int>(i % 60), static_cast<int>(i % 59));
        FILETIME written = at(2013, 12, 31, 23, 59, static_cast<int>(i % 60));
        uint64_t size = i == 7 ? 18446744073709551615ull : i * 977;
        ASSERT_TRUE(info.addSourceFile(path.c_str(), made, written, size));
        json_spirit::Object entry;
        entry["creationtime"] = job_history_time_text(made);
        entry["modifiedtime"] = job_history_time_text(written);
        entry["path"] = to_utf8(path);
        entry["size"] = json_spirit::Value(static_cast<unsigned long long>(size));
        entries.emplace_back(std::move(entry));
        bytes += size;
    }
    EXPECT_EQ(info.sourceCount(), kItems);
    whole["type"] = "restore";
    whole["instanceId"] = kRun;
    whole["state"] = "run";
    whole["starttime"] = job_history_time_text(at(2014, 3, 5, 7, 4, 9));
    whole["files_restored"] = json_spirit::Value(static_cast<unsigned long long>(kItems));
    whole["restored_size"] = json_spirit::Value(static_cast<unsigned long long>(bytes));
    whole["source"] = entries;
    const std::string compact = info.text();
    EXPECT_TRUE(same_text(compact, json_spirit::write(json_spirit::Value(whole))));
    EXPECT_TRUE(info.value() == whole);
    std::string head, tail;
    info.textFrame(head, tail);
    ASSERT_GE(info.sourcePieces().size(), 2u);
    std::string parts = head;
    for (const std::string& piece : info.sourcePieces()) parts += piece;
    EXPECT_TRUE(same_text(parts + tail, compact));
    ASSERT_TRUE(info.save());
    EXPECT_TRUE(same_text(read_host_file(host_of(file)),
                          json_spirit::write_formatted(json_spirit::Value(whole))));

    // python3 reads both and writes them back byte for byte.
    const std::string sent = host_of(file) + ".sent";
    write_host_file(sent, compact);
    std::string out;
    EXPECT_EQ(run_command("python3 -c " + shell_quote(R"(
import json, sys
d = json.load(open(sys.argv[1], encoding="utf-8"))
formatted = open(sys.argv[1], encoding="utf-8").read()
compact = open(sys.argv[2], encoding="utf-8").read()
assert json.loads(compact) == d
assert json.dumps(d, indent=4, ensure_ascii=False, sort_keys=True) == formatted, "formatted"
assert json.dumps(d, separators=(",", ":"), ensure_ascii=False, sort_keys=True) == compact, "compact"
s = d["source"]
print(len(s), s[1]["path"], s[5]["path"], s[7]["size"], d["files_restored"])
)") + " " + shell_quote(host_of(file)) +
                              " " + shell_quote(sent),
                          &out),
              0);
    EXPECT_EQ(out,
              "9000 C:\\data\\f1\\q\"uo\"te C:\\data\\f5\\lone\xef\xbf\xbd "
              "18446744073709551615 9000\n");

    // A resumed run reads the entries back and adds to them.
    JobHistoryInfo resumed;
    ASSERT_TRUE(resumed.load(to_utf8(file).c_str()));
    EXPECT_EQ(resumed.sourceCount(), kItems);
    EXPECT_TRUE(same_text(resumed.text(), compact));
    resumed.addSourceFile(L"C:\\last", at(2014, 3, 5, 7, 4, 9), at(2014, 3, 5, 7, 4, 9), 1);
    json_spirit::Object more = whole;
    json_spirit::Object entry;
    entry["creationtime"] = "2014-3-5 07:04:09";
    entry["modifiedtime"] = "2014-3-5 07:04:09";
    entry["path"] = "C:\\last";
    entry["size"] = 1;
    more["source"].get_array().emplace_back(std::move(entry));
    more["files_restored"] = json_spirit::Value(static_cast<unsigned long long>(kItems + 1));
    more["restored_size"] = json_spirit::Value(static_cast<unsigned long long>(bytes + 1));
    EXPECT_TRUE(same_text(resumed.text(), json_spirit::write(json_spirit::Value(more))));
    // Emptied, its file holds an empty "source" and empty texts.
    resumed.reset();
    EXPECT_EQ(resumed.sourceCount(), 0u);
    ASSERT_TRUE(resumed.save());
    const std::string emptied = read_host_file(host_of(file));
    EXPECT_NE(emptied.find("\"source\": [],"), std::string::npos) << emptied;
    EXPECT_TRUE(
        same_text(emptied, json_spirit::write_formatted(json_spirit::Value(resumed.value()))));
    resumed.unbind();
}

}  // namespace
