#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>

#include "job/core/job_activity.h"
#include "job/core/job_state.h"
#include "tools/testkit/machine_fixture.h"

namespace {

const char* kId = "0f8fad5b-d9cb-469f-a165-70867728950e";

std::string info_host_path() {
    return tovel::testing::host_of(std::wstring(L"C:\\ProgramData\\morvask\\Tovel\\job\\") +
                                   L"0f8fad5b-d9cb-469f-a165-70867728950e\\act\\info");
}

void clear(JobActivity& record) { std::memset(static_cast<void*>(&record), 0, sizeof record); }

}  // namespace

TEST(JobActivityFormulas, ProgressSpeedAndRemainingTime) {
    JobActivity r;
    clear(r);
    EXPECT_EQ(r.progress(), 0);  // total 0
    EXPECT_EQ(r.remainTime(), 0);
    r.totalBytes = 1000;
    r.bytesDone = 400;
    r.currentFileDone = 100;
    EXPECT_EQ(r.progress(), 50);
    r.bytesDone = 5000;  // done above the total
    EXPECT_EQ(r.progress(), 100);
    EXPECT_EQ(r.remainTime(), 0);  // done = total

    clear(r);
    r.bytesTransferred = 12345;
    r.elapsedTime = 5000000;  // half a second counts as one
    EXPECT_EQ(r.speed(), 12345);
    r.elapsedTime = 30000000;  // 3 s
    EXPECT_EQ(r.speed(), 4115);
    r.totalBytes = 400;
    r.bytesDone = 100;
    EXPECT_EQ(r.remainTime(), 9);  // (300 / 100) * 3
    EXPECT_EQ(r.AverageSpeed(), 33);

    r.currentFileSize = 200;
    r.currentFileDone = 50;
    EXPECT_EQ(r.fileProgress(), 25);
}

TEST(JobActivityFormulas, LargeRunsClampInsteadOfOverflowing) {
    JobActivity r;
    clear(r);
    r.totalBytes = UINT64_MAX;
    r.bytesDone = 1;
    r.elapsedTime = 36000000000ull;  // an hour
    EXPECT_EQ(r.remainTime(), INT_MAX);
    r.bytesDone = UINT64_MAX / 2;
    r.currentFileDone = UINT64_MAX;  // the sum saturates
    EXPECT_EQ(r.progress(), 100);
    r.bytesTransferred = UINT64_MAX;
    r.elapsedTime = 0;
    EXPECT_EQ(r.speed(), INT_MAX);
}

TEST(JobActivityRecord, CurrentFileNameFitsAndIsCut) {
    JobActivity r;
    clear(r);
    std::wstring exact(1955, L'x');
    r.currentFilePath(exact.c_str());
    EXPECT_EQ(r.currentFilePath(), exact);
    r.currentFilePath((exact + L"yz").c_str());
    EXPECT_EQ(r.currentFilePath(), exact);  // cut to what the record holds
    r.currentFilePath(L"C:\\Fotos\\Grüße 😀.jpg");
    EXPECT_EQ(r.currentFilePath(), L"C:\\Fotos\\Grüße 😀.jpg");
    r.currentFilePath(nullptr);
    EXPECT_EQ(r.currentFilePath(), L"C:\\Fotos\\Grüße 😀.jpg");
    // A record full of non-zero bytes is read only within its bounds.
    std::memset(r.name, 'a', sizeof r.name);
    EXPECT_EQ(r.currentFilePath().size(), JobActivity::kNameUnits);
}

TEST(JobActivityRecord, WriterAndIndependentReader) {
    JobActivityHandle reader;
    EXPECT_FALSE(reader.open(kId, false));  // nobody holds the mapping yet
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    JobActivityHandle writer;
    ASSERT_TRUE(writer.open(kId, true));
    EXPECT_EQ(writer->state, JS_IDLE);
    writer->state = JS_RUNNING;
    writer->lastRunState = JS_COMPLETED;
    writer->totalBytes = 0x123456789ull;
    writer->bytesTransferred = 42;
    writer->currentFilePath(L"C:\\a\\Grüße.txt");
    ASSERT_TRUE(writer.sync());

    ASSERT_TRUE(reader.open(kId, false));
    EXPECT_EQ(reader->state, JS_RUNNING);
    writer->state = JS_PAUSED;
    EXPECT_EQ(reader->state, JS_PAUSED);  // the same pages, live

    // The file follows the mapping: a reader of its own at the given offsets.
    writer.sync();
    std::string out;
    std::string script =
        "import struct,sys\n"
        "b=open(sys.argv[1],'rb').read()\n"
        "mi,ma,base,last=struct.unpack_from('<HHIi',b,0)\n"
        "state,=struct.unpack_from('<i',b,32)\n"
        "total,=struct.unpack_from('<Q',b,96)\n"
        "sent,=struct.unpack_from('<Q',b,128)\n"
        "name=b[base:].decode('utf-16-le').split('\\0')[0]\n"
        "print(len(b),ma,mi,base,last,state,hex(total),sent,name)\n";
    tovel::testing::write_host_file(tovel::testing::machine_root() + "/reader.py", script);
    ASSERT_EQ(tovel::testing::run_command(
                  "python3 " +
                      tovel::testing::shell_quote(tovel::testing::machine_root() + "/reader.py") +
                      " " + tovel::testing::shell_quote(info_host_path()),
                  &out),
              0);
    EXPECT_EQ(out, "4096 1 0 184 7 6 0x123456789 42 C:\\a\\Grüße.txt\n");

    reader.close();
    writer.close();
    EXPECT_FALSE(reader.open(kId, false));  // the last holder is gone
}

TEST(JobActivityRecord, ExistingRecordsAreKeptOrRefused) {
    {
        JobActivityHandle writer;
        ASSERT_TRUE(writer.open(kId, true));
        writer->lastRunState = JS_ERROR;
        writer->lastRunTime = 77;
        writer.reset(JS_STARTING, false);  // a run's start keeps the last-run fields
        EXPECT_EQ(writer->lastRunState, JS_ERROR);
        EXPECT_EQ(writer->lastRunTime, 77u);
        EXPECT_EQ(writer->state, JS_STARTING);
        writer->baseSize = 200;  // version 1.0 with another base size is still accepted
        writer.sync();
    }
    {
        JobActivityHandle writer;
        ASSERT_TRUE(writer.open(kId, true));
        EXPECT_EQ(writer->state, JS_STARTING);
        writer->majorVersion = 2;  // 2.0 with base size 200: foreign
        writer.sync();
    }
    JobActivityHandle refused;
    EXPECT_FALSE(refused.open(kId, true));
    EXPECT_EQ(refused.get(), nullptr);  // nothing of a foreign record stays in use
    std::string bytes = tovel::testing::read_host_file(info_host_path());
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes[2], 2);  // left as it was
}

TEST(JobActivityRecord, TruncatedOrZeroFileStartsAsNew) {
    JobActivityHandle first;
    ASSERT_TRUE(first.open(kId, true));
    first.close();
    tovel::testing::write_host_file(info_host_path(), std::string(10, '\0'));  // cut short
    JobActivityHandle writer;
    ASSERT_TRUE(writer.open(kId, true));
    EXPECT_EQ(writer->majorVersion, 1);
    EXPECT_EQ(writer->state, JS_IDLE);
    writer.close();
    tovel::testing::write_host_file(info_host_path(), std::string(4096, '\0'));  // never written
    ASSERT_TRUE(writer.open(kId, true));
    EXPECT_EQ(writer->baseSize, JobActivity::kBaseSize);
}

TEST(JobActivityRecord, CopiesHoldTheBasePartOnly) {
    JobActivity r;
    clear(r);
    r.state = JS_RUNNING;
    r.sourceListOffset = 99;
    r.currentFilePath(L"C:\\x");
    JobActivity copy(r);
    EXPECT_EQ(copy.state, JS_RUNNING);
    EXPECT_EQ(copy.sourceListOffset, 99u);
    EXPECT_EQ(copy.currentFilePath(), L"");
    JobActivity assigned;
    clear(assigned);
    assigned.currentFilePath(L"C:\\kept");
    assigned = r;
    EXPECT_EQ(assigned.state, JS_RUNNING);
    EXPECT_EQ(assigned.currentFilePath(), L"C:\\kept");
}

// The worker names files and counts while other threads of the process read
// the record: a reader sees one whole name, never part of two, and counters
// that only grow. (The ThreadSanitizer run checks the accesses themselves.)
TEST(JobActivityRecord, ReadersOfThisProcessSeeWholeNamesAndValues) {
    JobActivityHandle handle;
    ASSERT_TRUE(handle.open(kId, true));
    JobActivity& record = *handle.get();
    const std::wstring names[2] = {std::wstring(1500, L'a'), std::wstring(900, L'b')};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (uint32_t i = 0; i < 2000; ++i) {
            record.currentFilePath(names[i % 2].c_str());
            ++record.filesDone;
            record.bytesDone += 4096;
            record.currentFileSize = uint64_t{i} << 33;
        }
        done = true;
    });
    int torn = 0, reads = 0;
    uint64_t lastBytes = 0;
    while (!done) {
        std::wstring name = record.currentFilePath();
        if (!name.empty() && name != names[0] && name != names[1]) ++torn;
        uint64_t bytes = record.bytesDone;
        EXPECT_GE(bytes, lastBytes);
        lastBytes = bytes;
        EXPECT_EQ(record.currentFileSize.load() & 0x1FFFFFFFFull, 0u);
        ++reads;
    }
    worker.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(record.filesDone, 2000u);
    EXPECT_EQ(record.bytesDone, 2000u * 4096);
}
