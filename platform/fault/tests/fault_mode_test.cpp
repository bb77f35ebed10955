// The fault mode: a script of file-system calls run in a child process that
// counts its steps, is killed before each of them in turn, and loses its
// power at the last one; what the disk then shows is checked from here.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tests/helpers.h"
#include "tools/testkit/child_process.h"

using platform_tests::Handle;
using platform_tests::open_file;
using tovel::testing::ChildProcess;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;

namespace {

bool write_text(HANDLE file, const std::string& text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

void run_script() {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\p", nullptr));  // 1
    {
        Handle kept(open_file(L"C:\\p\\kept", GENERIC_WRITE, CREATE_NEW));  // 2
        ASSERT_TRUE(kept.valid());
        ASSERT_TRUE(write_text(kept.get(), "durable"));  // 3
        ASSERT_TRUE(FlushFileBuffers(kept.get()));       // 4
        ASSERT_TRUE(write_text(kept.get(), " lost"));    // 5
    }
    {
        Handle fresh(open_file(L"C:\\p\\fresh", GENERIC_WRITE, CREATE_ALWAYS));  // 6
        ASSERT_TRUE(write_text(fresh.get(), "never flushed"));                   // 7
    }
    {
        Handle old(open_file(L"C:\\p\\target", GENERIC_WRITE, CREATE_NEW));  // 8
        ASSERT_TRUE(write_text(old.get(), "old"));                           // 9
        ASSERT_TRUE(FlushFileBuffers(old.get()));                            // 10
        Handle next(open_file(L"C:\\p\\next", GENERIC_WRITE, CREATE_NEW));   // 11
        ASSERT_TRUE(write_text(next.get(), "new"));                          // 12
        ASSERT_TRUE(FlushFileBuffers(next.get()));                           // 13
    }
    ASSERT_TRUE(MoveFileExW(L"C:\\p\\next", L"C:\\p\\target", MOVEFILE_REPLACE_EXISTING));  // 14
    {
        Handle file(open_file(L"C:\\p\\through.new", GENERIC_WRITE, CREATE_NEW));  // 15
        ASSERT_TRUE(write_text(file.get(), "two"));                                // 16
        ASSERT_TRUE(FlushFileBuffers(file.get()));                                 // 17
    }
    // Another folder: the write-through flushes the folder of its new name.
    ASSERT_TRUE(MoveFileExW(L"C:\\p\\through.new", L"C:\\through",
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));           // 18
    Handle record(open_file(L"C:\\p\\record", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));  // 19
    HANDLE mapping =
        CreateFileMappingW(record.get(), nullptr, PAGE_READWRITE, 0, 4096, nullptr);  // 20
    ASSERT_NE(mapping, nullptr);
    auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4096));
    ASSERT_NE(view, nullptr);
    view[0] = 'A';
    ASSERT_TRUE(FlushViewOfFile(view, 0));  // 21
    view[0] = 'B';
    view[1] = 'B';
    ASSERT_TRUE(CreateDirectoryW(L"C:\\p\\last", nullptr));  // 22
    UnmapViewOfFile(view);
    CloseHandle(mapping);
}

// The steps of the script, numbered where they are taken.
constexpr int kAllSteps = 22;

// Files written and renamed without a flush of their own, then a flush of
// the whole volume: what came before it stays, what came after it does not.
void run_volume_script() {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\p", nullptr));  // 1
    {
        Handle old(open_file(L"C:\\p\\target", GENERIC_WRITE, CREATE_NEW));  // 2
        ASSERT_TRUE(write_text(old.get(), "old"));                           // 3
        Handle next(open_file(L"C:\\p\\next", GENERIC_WRITE, CREATE_NEW));   // 4
        ASSERT_TRUE(write_text(next.get(), "new"));                          // 5
    }
    ASSERT_TRUE(MoveFileExW(L"C:\\p\\next", L"C:\\p\\target", MOVEFILE_REPLACE_EXISTING));  // 6
    Handle volume(CreateFileW(L"\\\\.\\c:", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    ASSERT_TRUE(volume.valid()) << GetLastError();
    ASSERT_TRUE(FlushFileBuffers(volume.get()));  // 7
    {
        Handle late(open_file(L"C:\\p\\late", GENERIC_WRITE, CREATE_NEW));  // 8
        ASSERT_TRUE(write_text(late.get(), "late"));                        // 9
    }
    ASSERT_TRUE(CreateDirectoryW(L"C:\\p\\last", nullptr));  // 10
}

// A script, in a child process on the parent's machine; prints "done".
TEST(PlatformFaultScript, DISABLED_Run) {
    const char* root = std::getenv("TOVEL_FAULT_TEST_ROOT");
    if (!root) GTEST_SKIP() << "run by PlatformFaultMode only";
    std::error_code ignored;
    std::filesystem::remove_all(machine_root(), ignored);
    setenv("TOVEL_ROOT", root, 1);
    const char* script = std::getenv("TOVEL_FAULT_TEST_SCRIPT");
    if (script && std::string(script) == "volume")
        run_volume_script();
    else
        run_script();
    std::cout << "\ndone" << std::endl;
}

struct Outcome {
    bool killed = false;
    bool done = false;
    int steps = -1;
};

Outcome run_child(const std::string& fault, const std::string& script = "") {
    std::string report = machine_root() + "/steps";
    std::filesystem::remove(report);
    ChildProcess child("PlatformFaultScript.DISABLED_Run",
                       {"TOVEL_FAULT_TEST_ROOT=" + machine_root(), "TOVEL_FAULT=" + fault,
                        "TOVEL_FAULT_REPORT=" + report, "TOVEL_FAULT_TEST_SCRIPT=" + script,
                        "TOVEL_FAULT_TRACE=" + machine_root() + "/trace"});
    Outcome out;
    out.done = child.next([](const std::string& line) { return line == "done"; }, 60000) == "done";
    child.next([](const std::string&) { return false; }, 60000);  // its end
    int status = child.kill_and_reap();
    out.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL && !out.done;
    std::string text = read_host_file(report);
    if (!text.empty()) out.steps = std::atoi(text.c_str());
    return out;
}

void clear_machine() {
    std::error_code ignored;
    std::filesystem::remove_all(host_of(L"C:\\p"), ignored);
    std::filesystem::remove(host_of(L"C:\\through"), ignored);
    std::filesystem::remove_all(machine_root() + "/fault-stash", ignored);
}

TEST(PlatformFaultMode, CountsEveryMutatingCallAndKillsJustBeforeTheChosenOne) {
    Outcome counted = run_child("count");
    ASSERT_TRUE(counted.done);
    EXPECT_EQ(counted.steps, kAllSteps);
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\kept")), "durable lost");
    // The trace names each step's kind and file, in the order taken.
    std::vector<std::string> trace;
    std::istringstream lines(read_host_file(machine_root() + "/trace"));
    for (std::string line; std::getline(lines, line);) trace.push_back(line);
    ASSERT_EQ(trace.size(), static_cast<size_t>(kAllSteps));
    std::string kept = host_of(L"C:\\p\\kept");
    EXPECT_EQ(trace[0], "other ");
    EXPECT_EQ(trace[1], "create " + kept);
    EXPECT_EQ(trace[2], "change " + kept);
    EXPECT_EQ(trace[3], "flush " + kept);
    EXPECT_EQ(trace[13], "rename " + host_of(L"C:\\p\\target"));
    EXPECT_EQ(trace[19], "change " + host_of(L"C:\\p\\record"));  // the mapping grows it
    EXPECT_EQ(trace[20], "view ");
    for (int n : {1, 2, 3, 14, 18, kAllSteps}) {
        SCOPED_TRACE("kill:" + std::to_string(n));
        clear_machine();
        Outcome killed = run_child("kill:" + std::to_string(n));
        EXPECT_TRUE(killed.killed);
        EXPECT_EQ(killed.steps, n - 1);
        // Nothing of step n happened; everything before it did.
        EXPECT_EQ(std::filesystem::exists(host_of(L"C:\\p")), n > 1);
        EXPECT_EQ(std::filesystem::exists(host_of(L"C:\\p\\kept")), n > 2);
        if (n > 2) {
            EXPECT_EQ(read_host_file(host_of(L"C:\\p\\kept")), n > 3 ? "durable lost" : "");
        }
        if (n == 14) {
            EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "old");
        }
        if (n == 18) {
            EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\p\\through.new")));
        }
        EXPECT_EQ(std::filesystem::exists(host_of(L"C:\\p\\last")), false);
    }
}

TEST(PlatformFaultMode, APowerCutLeavesWhatWasFlushed) {
    Outcome cut = run_child("power:" + std::to_string(kAllSteps));
    EXPECT_TRUE(cut.killed);
    EXPECT_EQ(cut.steps, kAllSteps - 1);
    // A write after the flush is lost; a file never flushed is empty.
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\kept")), "durable");
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\p\\fresh")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\fresh")), "");
    // A rename without a flush of its folder is undone, the replaced file back.
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "old");
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\next")), "new");
    // A rename written through stays.
    EXPECT_EQ(read_host_file(host_of(L"C:\\through")), "two");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\through.new")));
    // The mapped file holds the view as it was flushed.
    std::string record = read_host_file(host_of(L"C:\\p\\record"));
    ASSERT_EQ(record.size(), 4096u);
    EXPECT_EQ(record.substr(0, 2), std::string("A\0", 2));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\last")));

    // A cut at the first flush of the mapped file: it is as it was mapped
    // (all zeros, as the mapping grew it; its creation was never flushed).
    clear_machine();
    Outcome early = run_child("power:21");
    EXPECT_TRUE(early.killed);
    record = read_host_file(host_of(L"C:\\p\\record"));
    EXPECT_EQ(record, std::string()) << "a file created and never flushed comes back empty";
    EXPECT_EQ(read_host_file(host_of(L"C:\\through")), "two");
}

// A flush of the volume's handle makes the data and the renames before it
// durable at once; a file made after it comes back empty.
TEST(PlatformFaultMode, AVolumeFlushKeepsEverythingBeforeIt) {
    Outcome cut = run_child("power:10", "volume");
    EXPECT_TRUE(cut.killed);
    EXPECT_EQ(cut.steps, 9);
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "new");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\next")));
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\p\\late")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\late")), "");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\last")));

    // Cut at the flush itself: the rename is undone, the written files are empty.
    clear_machine();
    Outcome early = run_child("power:7", "volume");
    EXPECT_TRUE(early.killed);
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "");
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\next")), "");

    // Only a volume's device path opens a volume, and only an existing drive's.
    Handle none(CreateFileW(L"\\\\.\\q:", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(none.valid());
}

// The second model keeps every rename and puts back only data: a file
// renamed onto its final name before its data were flushed is there, empty.
TEST(PlatformFaultMode, APowerCutThatKeepsRenamesPutsBackOnlyData) {
    Outcome cut = run_child("power-keep:7", "volume");
    EXPECT_TRUE(cut.killed);
    EXPECT_EQ(cut.steps, 6);
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\p\\target")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\next")));

    // After the volume's flush the renamed file keeps its data; a later one is empty.
    clear_machine();
    cut = run_child("power-keep:10", "volume");
    EXPECT_TRUE(cut.killed);
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "new");
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\p\\late")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\late")), "");

    // The longer script: no rename is undone, a replaced file stays gone, and
    // data and the mapped file go back as in the first model.
    clear_machine();
    cut = run_child("power-keep:" + std::to_string(kAllSteps));
    EXPECT_TRUE(cut.killed);
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\kept")), "durable");
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\fresh")), "");
    EXPECT_EQ(read_host_file(host_of(L"C:\\p\\target")), "new");
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\p\\next")));
    EXPECT_EQ(read_host_file(host_of(L"C:\\through")), "two");
    std::string record = read_host_file(host_of(L"C:\\p\\record"));
    ASSERT_EQ(record.size(), 4096u);
    EXPECT_EQ(record.substr(0, 2), std::string("A\0", 2));
}

}  // namespace
