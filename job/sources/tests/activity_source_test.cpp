// Activity source files: the record format, reading from saved offsets, the
// generator, damaged files and write failures.
#include "job/sources/activity_source.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/job_volume.h"
#include "job/tests/walk_checks.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;
using walk_checks::make_file;
using walk_checks::make_folder;

namespace {

const wchar_t kList[] = L"C:\\ProgramData\\src";

uint32_t u16_at(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8;
}
uint32_t u32_at(const std::string& bytes, size_t at) {
    return u16_at(bytes, at) | u16_at(bytes, at + 2) << 16;
}

WIN32_FILE_ATTRIBUTE_DATA attributes(DWORD bits, DWORD high = 0, DWORD low = 0) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = bits;
    data.ftCreationTime = {0x11111111u, 0x01d00001u};
    data.ftLastAccessTime = {0x22222222u, 0x01d00002u};
    data.ftLastWriteTime = {0x33333333u, 0x01d00003u};
    data.nFileSizeHigh = high;
    data.nFileSizeLow = low;
    return data;
}

class JobSourceFileTest : public tovel::testing::LoggedTest {};

TEST_F(JobSourceFileTest, EmptySetIsFourteenBytes) {
    {
        JobActivitySourceGenerator generator;
        ASSERT_TRUE(generator.save(kList));
    }
    std::string bytes = read_host_file(host_of(kList));
    EXPECT_EQ(bytes, std::string("SSET\x08\x00\x01\x00"
                                 "ESET\x06\x00",
                                 14));
}

// The reader reads ahead in blocks: offsets and seeks across many blocks,
// in any order, land on their records, and a list that grows after the
// reader met its end gives the records added.
TEST_F(JobSourceFileTest, SeeksAcrossBlocksAndReadsWhatIsAddedLater) {
    JobHistorySourceWriter writer;
    ASSERT_TRUE(writer.open(kList, false));
    ASSERT_TRUE(writer.startSet());
    const int count = 3000;  // about 300 KB of records
    for (int i = 1; i <= count; ++i) {
        std::wstring path = L"C:\\folder\\" + std::wstring(i % 40, L'n') + std::to_wstring(i);
        ASSERT_TRUE(writer.addFile(path.c_str(), attributes(0x20, 0, i), i, 0));
    }
    ASSERT_TRUE(writer.push());

    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    std::vector<int64_t> offsets;
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    for (int i = 1; i <= count; ++i) {
        offsets.push_back(reader.offset());
        ASSERT_EQ(reader.next(), kSourceTagFile) << i;
    }
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);

    for (int i : {2999, 0, 1500, 1501, 1499, 17, 2000, 2999, 3}) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(reader.seek(offsets[i]));
        EXPECT_EQ(reader.offset(), offsets[i]);
        ASSERT_EQ(reader.next(), kSourceTagFile);
        JobActivitySourceItem item;
        ASSERT_TRUE(reader.item(item));
        EXPECT_EQ(item.ordinal, static_cast<uint32_t>(i + 1));
        EXPECT_EQ(item.path.substr(item.path.size() - std::to_wstring(i + 1).size()),
                  std::to_wstring(i + 1));
    }
    while (reader.next() != 0) {
    }
    ASSERT_TRUE(writer.endSet());
    ASSERT_TRUE(writer.push());
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(reader.offset(), static_cast<int64_t>(read_host_file(host_of(kList)).size()));
}

TEST_F(JobSourceFileTest, RecordFieldsAtTheirOffsets) {
    {
        JobHistorySourceWriter writer;
        ASSERT_TRUE(writer.open(kList, false));
        ASSERT_TRUE(writer.addVolume(L"C:\\"));
        ASSERT_TRUE(writer.addFile(L"a.tx", attributes(0x20, 7, 0x89abcdefu), 3, 0xfeedf00du));
        ASSERT_TRUE(writer.addFile(L"dir", attributes(0x10 | 0x400), 1, 0));
        ASSERT_TRUE(writer.flush());
        // flush() leaves the file complete while the writer still holds it.
        std::string bytes = read_host_file(host_of(kList));
        ASSERT_EQ(bytes.size(), 18u + 64u + 62u);
        EXPECT_EQ(bytes.substr(0, 4), "VOLB");
        EXPECT_EQ(u16_at(bytes, 4), 18u);
        EXPECT_EQ(u16_at(bytes, 6), 8u);
        EXPECT_EQ(u16_at(bytes, 8), 10u);
        EXPECT_EQ(bytes.substr(10, 8), std::string("C\0:\0\\\0\0\0", 8));
        std::string file = bytes.substr(18, 64);
        EXPECT_EQ(file.substr(0, 4), "FILE");
        EXPECT_EQ(u16_at(file, 4), 64u);
        EXPECT_EQ(u32_at(file, 6), 0x20u);
        EXPECT_EQ(u32_at(file, 10), 0x11111111u);
        EXPECT_EQ(u32_at(file, 14), 0x01d00001u);
        EXPECT_EQ(u32_at(file, 18), 0x22222222u);
        EXPECT_EQ(u32_at(file, 26), 0x33333333u);
        EXPECT_EQ(u32_at(file, 30), 0x01d00003u);
        EXPECT_EQ(u32_at(file, 34), 7u);
        EXPECT_EQ(u32_at(file, 38), 0x89abcdefu);
        EXPECT_EQ(u32_at(file, 42), 3u);
        EXPECT_EQ(u32_at(file, 46), 0xfeedf00du);
        EXPECT_EQ(u16_at(file, 50), 10u);
        EXPECT_EQ(u16_at(file, 52), 54u);
        EXPECT_EQ(file.substr(54), std::string("a\0.\0t\0x\0\0\0", 10));
        EXPECT_EQ(bytes.substr(82, 4), "DIRB");  // a link to a folder is a folder
        EXPECT_EQ(u16_at(bytes, 82 + 4), 62u);
    }
}

// A pushed record is in the file at once, and stays there when the writing
// process is killed right after: the system holds it, not the process. What
// was only added, not pushed, dies with the process.
TEST_F(JobSourceFileTest, PushedRecordsSurviveAKillOfTheWriter) {
    pid_t child = ::fork();
    if (child == 0) {
        // Leaked on purpose: a kill runs no destructor.
        auto* writer = new JobHistorySourceWriter;
        bool ok = writer->open(kList, false) && writer->startSet() &&
                  writer->addFile(L"C:\\a", attributes(0x20), 1, 0) && writer->push() &&
                  read_host_file(host_of(kList)).size() == 8u + 64u &&
                  writer->addFile(L"C:\\b", attributes(0x20), 2, 0);
        if (!ok) ::_exit(1);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    ASSERT_EQ(reader.next(), kSourceTagFile);
    JobActivitySourceItem item;
    ASSERT_TRUE(reader.item(item));
    EXPECT_EQ(item.path, L"C:\\a");
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
}

// Writes two sets and reads the file back from every offset at which a
// record starts, as a resumed run would.
TEST_F(JobSourceFileTest, ReadsBackFromEverySavedOffset) {
    struct Expected {
        uint32_t tag;
        std::wstring name;
        uint32_t ordinal;
    };
    std::vector<Expected> expected = {
        {kSourceTagStartSet, L"", 0},       {kSourceTagVolume, L"C:\\", 0},
        {kSourceTagDirectory, L"C:\\d", 1}, {kSourceTagFile, L"C:\\d\\Grüße.txt", 1},
        {kSourceTagFile, L"C:\\d\\😀x", 2},  {kSourceTagEndSet, L"", 0},
        {kSourceTagStartSet, L"", 0},       {kSourceTagFile, L"D:\\日本", 1},
        {kSourceTagEndSet, L"", 0},
    };
    {
        JobHistorySourceWriter writer;
        ASSERT_TRUE(writer.open(kList, false));
        for (const Expected& record : expected) {
            if (record.tag == kSourceTagStartSet) {
                ASSERT_TRUE(writer.startSet());
            }
            if (record.tag == kSourceTagEndSet) {
                ASSERT_TRUE(writer.endSet());
            }
            if (record.tag == kSourceTagVolume) {
                ASSERT_TRUE(writer.addVolume(record.name.c_str()));
            }
            DWORD bits = record.tag == kSourceTagDirectory ? 0x10 : 0x20;
            if (record.tag == kSourceTagFile || record.tag == kSourceTagDirectory) {
                ASSERT_TRUE(writer.addFile(record.name.c_str(), attributes(bits, 0, record.ordinal),
                                           record.ordinal, 0));
            }
        }
        ASSERT_TRUE(writer.flush());
    }

    std::vector<int64_t> offsets;
    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    for (;;) {
        int64_t at = reader.offset();
        if (reader.next() == 0) break;
        offsets.push_back(at);
    }
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    ASSERT_EQ(offsets.size(), expected.size());
    EXPECT_EQ(offsets[0], 0);
    EXPECT_EQ(reader.offset(), static_cast<int64_t>(read_host_file(host_of(kList)).size()));

    for (size_t start = 0; start < offsets.size(); ++start) {
        SCOPED_TRACE(start);
        JobActivitySourceReader again;
        ASSERT_TRUE(again.open(kList, offsets[start]));
        for (size_t i = start; i < expected.size(); ++i) {
            EXPECT_EQ(again.offset(), offsets[i]);
            ASSERT_EQ(again.next(), expected[i].tag) << i;
            JobActivitySourceItem item;
            std::wstring volume;
            if (expected[i].tag == kSourceTagFile || expected[i].tag == kSourceTagDirectory) {
                ASSERT_TRUE(again.item(item));
                EXPECT_EQ(item.path, expected[i].name);
                EXPECT_EQ(item.ordinal, expected[i].ordinal);
                EXPECT_EQ(item.data.nFileSizeLow, expected[i].ordinal);
                EXPECT_EQ(item.data.ftLastWriteTime.dwHighDateTime, 0x01d00003u);
            } else {
                EXPECT_FALSE(again.item(item));
            }
            if (expected[i].tag == kSourceTagVolume) {
                ASSERT_TRUE(again.volume(volume));
                EXPECT_EQ(volume, expected[i].name);
            }
        }
        EXPECT_EQ(again.next(), 0u);
    }
    EXPECT_EQ(logged(), "");
}

// A reader that shares nothing with the code: python's struct, little-endian.
TEST_F(JobSourceFileTest, IndependentReaderParsesTheFile) {
    {
        JobHistorySourceWriter writer;
        ASSERT_TRUE(writer.open(kList, false));
        ASSERT_TRUE(writer.startSet());
        ASSERT_TRUE(writer.addVolume(L"C:\\"));
        ASSERT_TRUE(writer.addFile(L"C:\\Users", attributes(0x10), 1, 0));
        ASSERT_TRUE(writer.addFile(L"C:\\Users\\Grüße 😀.txt", attributes(0x20, 1, 2), 1, 5));
        ASSERT_TRUE(writer.endSet());
        ASSERT_TRUE(writer.flush());
    }
    const std::string script =
        "import struct,sys\n"
        "d=open(sys.argv[1],'rb').read();p=0\n"
        "while p<len(d):\n"
        "  t,n=struct.unpack_from('<4sH',d,p);t=t.decode('ascii');r=d[p:p+n];p+=n\n"
        "  if t=='SSET': print(t,struct.unpack_from('<H',r,6)[0])\n"
        "  elif t=='ESET': print(t,n)\n"
        "  elif t=='VOLB':\n"
        "    b,o=struct.unpack_from('<HH',r,6);assert o==10 and n==10+b\n"
        "    print(t,r[o:o+b-2].decode('utf-16-le'),b)\n"
        "  else:\n"
        "    a,hi,lo,od,fl,b,o=struct.unpack_from('<I24xIIIIHH',r,6);assert o==54 and n==54+b\n"
        "    assert r[o+b-2:o+b]==b'\\0\\0'\n"
        "    print(t,hex(a),hi,lo,od,fl,b,r[o:o+b-2].decode('utf-16-le'))\n"
        "assert p==len(d)\n";
    std::string script_file = machine_root() + "/reader.py";
    write_host_file(script_file, script);
    std::string output;
    ASSERT_EQ(run_command("PYTHONIOENCODING=utf-8 python3 " + shell_quote(script_file) + " " +
                              shell_quote(host_of(kList)),
                          &output),
              0);
    // "Grüße 😀.txt" is 11 code points and 12 UTF-16 units: with "C:\Users\"
    // and the NUL, 22 units.
    EXPECT_EQ(output,
              "SSET 1\n"
              "VOLB C:\\ 8\n"
              "DIRB 0x10 0 0 1 0 18 C:\\Users\n"
              "FILE 0x20 1 2 1 5 44 C:\\Users\\Grüße 😀.txt\n"
              "ESET 6\n");
}

TEST_F(JobSourceFileTest, BeyondTheBasicPlaneTakesSurrogatePairs) {
    const std::wstring name = L"\U0001F600é\U00010000";
    {
        JobHistorySourceWriter writer;
        ASSERT_TRUE(writer.open(kList, false));
        ASSERT_TRUE(writer.addFile(name.c_str(), attributes(0x20), 1, 0));
    }  // the destructor flushes
    std::string bytes = read_host_file(host_of(kList));
    ASSERT_EQ(bytes.size(), 54u + 12u);
    EXPECT_EQ(u16_at(bytes, 4), 66u);
    EXPECT_EQ(u16_at(bytes, 50), 12u);  // 5 units and the NUL
    EXPECT_EQ(bytes.substr(54),
              std::string("\x3d\xd8\x00\xde\xe9\x00\x00\xd8\x00\xdc\x00\x00", 12));
    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    ASSERT_EQ(reader.next(), kSourceTagFile);
    JobActivitySourceItem item;
    ASSERT_TRUE(reader.item(item));
    EXPECT_EQ(item.path, name);
}

// The limits count UTF-16 units, so that a record never exceeds the reader's
// buffer: 2020 units fill a record of exactly 4096 bytes.
TEST_F(JobSourceFileTest, LongestPathsAndOneUnitMore) {
    std::wstring longest(kSourceItemPathMax / 2, L'\U0001F600');
    std::wstring longer = longest + L"a";
    std::wstring volume(kSourceVolumePathMax, L'v');
    JobHistorySourceWriter writer;
    ASSERT_TRUE(writer.open(kList, false));
    ASSERT_TRUE(writer.addFile(longest.c_str(), attributes(0x20), 1, 0));
    EXPECT_FALSE(writer.addFile(longer.c_str(), attributes(0x20), 2, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_NE(logged().find("item of 2021 units is too long"), std::string::npos);
    ASSERT_TRUE(writer.addVolume(volume.c_str()));
    EXPECT_FALSE(writer.addVolume((volume + L"v").c_str()));
    ASSERT_TRUE(writer.endSet());  // a refused path leaves the writer usable
    ASSERT_TRUE(writer.flush());

    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    ASSERT_EQ(reader.next(), kSourceTagFile);
    EXPECT_EQ(reader.recordLength(), 4096u);
    JobActivitySourceItem item;
    ASSERT_TRUE(reader.item(item));
    EXPECT_EQ(item.path, longest);
    ASSERT_EQ(reader.next(), kSourceTagVolume);
    EXPECT_EQ(reader.recordLength(), 4096u);
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
}

TEST_F(JobSourceFileTest, SaveSkipsAPathTooLongAndKeepsTheRest) {
    make_folder(L"C:\\in");
    make_file(L"C:\\in\\a");
    JobActivitySourceGenerator another;
    std::wstring deep = L"C:\\in\\" + std::wstring(250, L'x');
    make_folder(deep);
    for (int i = 0; i < 8; ++i) {
        deep += L"\\" + std::wstring(250, L'y');
        make_folder(deep);
    }
    another.listSources({"C:\\in\\a", to_utf8(deep)});
    ASSERT_EQ(another.items().size(), 2u);
    ASSERT_TRUE(another.save(kList));
    EXPECT_NE(logged().find("is too long"), std::string::npos);
    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    EXPECT_EQ(reader.next(), kSourceTagFile);
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
}

TEST_F(JobSourceFileTest, ListSourcesSkipsMissingPathsAndCounts) {
    make_folder(L"C:\\in");
    make_folder(L"C:\\in\\sub");
    make_file(L"C:\\in\\one", "12345");
    make_file(L"C:\\in\\two", "123");
    JobActivitySourceGenerator generator;
    generator.listSources({"C:\\old"});
    generator.listSources(
        {"C:\\in\\one", "C:\\in\\missing", "C:\\in\\sub", "C:\\in\\two", "C:\\in"});
    const auto& items = generator.items();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].path, L"C:\\in\\one");
    EXPECT_EQ(items[0].ordinal, 1u);
    EXPECT_EQ(items[1].ordinal, 1u);  // the first folder
    EXPECT_EQ(items[2].ordinal, 2u);
    EXPECT_EQ(items[3].ordinal, 2u);
    EXPECT_EQ(generator.fileCount(), 2u);
    EXPECT_EQ(generator.directoryCount(), 2u);
    EXPECT_EQ(generator.fileSize(), 8u);
    generator.listSources({"C:\\in\\two"});
    EXPECT_EQ(generator.fileCount(), 1u);
    EXPECT_EQ(generator.directoryCount(), 0u);
    EXPECT_EQ(generator.fileSize(), 3u);
    EXPECT_EQ(generator.items()[0].ordinal, 1u);
}

// The walk runs in the snapshot and the items carry the volume's own paths;
// the VOLB records of the walk come before save() opens the file and are
// dropped by it.
TEST_F(JobSourceFileTest, WalkTranslatesSnapshotPathsBack) {
    make_folder(L"C:\\shadow");
    make_folder(L"C:\\shadow\\docs");
    make_file(L"C:\\shadow\\docs\\a.txt", "abc");
    make_file(L"C:\\shadow\\docs\\b.jpg", "d");
    JobVolume volume;
    volume.path = L"C:\\";
    volume.shadowPath = L"C:\\shadow";
    volume.sources = {L"C:\\docs\\"};
    JobActivitySourceGenerator generator;
    ExtensitonsFilterPolicy filter(false, {L"jpg"});
    ASSERT_TRUE(generator({{L"A:", nullptr}, {L"C:", &volume}}, &filter));
    const auto& items = generator.items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].path, L"C:\\docs");
    EXPECT_EQ(items[0].ordinal, 1u);
    EXPECT_EQ(items[1].path, L"C:\\docs\\a.txt");
    EXPECT_EQ(items[1].ordinal, 1u);
    EXPECT_EQ(generator.fileSize(), 3u);
    ASSERT_TRUE(generator.save(kList));
    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    EXPECT_EQ(reader.next(), kSourceTagDirectory);
    EXPECT_EQ(reader.next(), kSourceTagFile);
    JobActivitySourceItem item;
    ASSERT_TRUE(reader.item(item));
    EXPECT_EQ(item.path, L"C:\\docs\\a.txt");
    EXPECT_EQ(item.flag, 0u);
    EXPECT_EQ(item.data.nFileSizeLow, 3u);
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
    EXPECT_EQ(reader.next(), 0u);
}

TEST_F(JobSourceFileTest, OpenDropsWhatWasPendingAndAppendAddsAtTheEnd) {
    JobHistorySourceWriter writer;
    EXPECT_TRUE(writer.startSet());  // no file yet
    EXPECT_FALSE(writer.open(L"C:\\ProgramData\\missing", true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(logged().find("Failed to open job activity source 'C:\\ProgramData\\missing', "
                            "errorcode=2, "),
              std::string::npos);
    ASSERT_TRUE(writer.open(kList, false));
    ASSERT_TRUE(writer.endSet());
    ASSERT_TRUE(writer.open(kList, false));  // the ESET above is dropped
    ASSERT_TRUE(writer.startSet());
    ASSERT_TRUE(writer.flush());
    ASSERT_TRUE(writer.open(kList, true));
    ASSERT_TRUE(writer.endSet());
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(read_host_file(host_of(kList)), std::string("SSET\x08\x00\x01\x00"
                                                          "ESET\x06\x00",
                                                          14));
}

TEST_F(JobSourceFileTest, DamagedFilesEndTheList) {
    const std::string set("SSET\x08\x00\x01\x00", 8);
    JobActivitySourceReader reader;
    EXPECT_EQ(reader.next(), 0u);  // never opened
    EXPECT_NE(logged().find("Failed to read job activity source offset"), std::string::npos);

    // A file torn inside a record's head or body is damaged, not ended: a
    // list cut short by a kill is never taken for a whole one.
    const std::string torn = "Failed to read job activity source offset, hr=-2147024883, " +
                             std::string(win32_error_text(ERROR_INVALID_DATA).text()) + ".\n";
    write_host_file(host_of(kList), set + "ESE");
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(logged(), torn);
    EXPECT_FALSE(source_list_complete(kList));
    EXPECT_EQ(logged(), torn);

    write_host_file(host_of(kList), set + std::string("FILE\x40\x00\x20", 7));
    ASSERT_TRUE(reader.open(kList, 8));
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(logged(), torn);

    // Whole records without the end of the set: read to their end, but no
    // whole list.
    write_host_file(host_of(kList), set);
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    EXPECT_EQ(reader.next(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    EXPECT_FALSE(source_list_complete(kList));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_NE(logged().find("ends without its end of set"), std::string::npos);
    write_host_file(host_of(kList), set + std::string("ESET\x06\x00", 6));
    EXPECT_TRUE(source_list_complete(kList));

    for (const std::string& length : {std::string("\x05\x00", 2), std::string("\x01\x10", 2)}) {
        write_host_file(host_of(kList), "FILE" + length + std::string(5000, 'z'));
        ASSERT_TRUE(reader.open(kList, 0));
        EXPECT_EQ(reader.next(), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
        EXPECT_NE(logged().find("hr=-2147024883"), std::string::npos);
    }

    EXPECT_FALSE(reader.open(L"C:\\nothing", 0));
    EXPECT_NE(logged().find("Failed to open job activity source 'C:\\nothing', hr=-2147024894, "),
              std::string::npos);
}

TEST_F(JobSourceFileTest, OffsetPastTheEndReadsNothing) {
    write_host_file(host_of(kList), std::string("ESET\x06\x00", 6));
    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 6));
    EXPECT_EQ(reader.offset(), 6);
    EXPECT_EQ(reader.next(), 0u);
    ASSERT_TRUE(reader.open(kList, -5));  // not above 0: from the start
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
}

// Records that overflow the writer's buffer meet the full device: the
// failing record and everything after it fail with its error. (A save writes
// beside its file and renames it into place, so it is tried on a full file
// system of its own below, never beside a device.)
TEST_F(JobSourceFileTest, FullDeviceFailsTheWriter) {
    JobHistorySourceWriter writer;
    ASSERT_TRUE(writer.open(L"Z:\\dev\\full", false));
    std::wstring name(2000, L'n');
    bool failed = false;
    for (int i = 0; i < 5 && !failed; ++i) {
        failed = !writer.addFile(name.c_str(), attributes(0x20), i + 1, 0);
    }
    ASSERT_TRUE(failed);  // the third record overflows the 8192-byte buffer
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    SetLastError(0);
    EXPECT_FALSE(writer.endSet());  // and everything after it fails the same way
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_FALSE(writer.flush());
}

// A push that the file does not take fails, and so does everything after it.
TEST_F(JobSourceFileTest, FullDeviceFailsThePush) {
    JobHistorySourceWriter writer;
    ASSERT_TRUE(writer.open(L"Z:\\dev\\full", false));
    ASSERT_TRUE(writer.startSet());
    SetLastError(0);
    EXPECT_FALSE(writer.push());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    SetLastError(0);
    EXPECT_FALSE(writer.addFile(L"C:\\a", attributes(0x20), 1, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_FALSE(writer.flush());
}

// A real file system that runs out of room in the middle of the list.
class JobSourceFileFullDiskTest : public JobSourceFileTest {
protected:
    void SetUp() override {
        JobSourceFileTest::SetUp();
        mount_point_ = machine_root() + "/tiny";
        ASSERT_EQ(::mkdir(mount_point_.c_str(), 0755), 0);
        if (::mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        }
        mounted_ = true;
        host_of(L"C:\\");  // the machine's drives exist from here on
        ASSERT_EQ(::symlink(mount_point_.c_str(), (machine_root() + "/drives/d").c_str()), 0)
            << std::strerror(errno);
    }
    void TearDown() override {
        if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
        JobSourceFileTest::TearDown();
    }

    std::string mount_point_;
    bool mounted_ = false;
};

TEST_F(JobSourceFileFullDiskTest, SaveFailsWithTheWriteError) {
    make_folder(L"C:\\in");
    std::vector<std::string> paths;
    std::string stem(240, 's');
    for (int i = 0; i < 200; ++i) {  // about 110 KiB of records
        std::string path = "C:\\in\\" + stem + std::to_string(i);
        make_file(from_utf8(path));
        paths.push_back(path);
    }
    JobActivitySourceGenerator generator;
    generator.listSources(paths);
    ASSERT_EQ(generator.items().size(), 200u);
    SetLastError(0);
    EXPECT_FALSE(generator.save(L"D:\\src"));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    // The list is written beside its place, and nothing is left there.
    EXPECT_NE(logged().find("Failed to write job activity source 'D:\\src.new', errorcode=112"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(mount_point_ + "/src.new"));
    EXPECT_FALSE(std::filesystem::exists(mount_point_ + "/src"));

    generator.listSources({paths[0]});
    ASSERT_TRUE(generator.save(L"D:\\src"));  // room again: the failure went with the file
}

}  // namespace
