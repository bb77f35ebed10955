// The offline storage: the layout a run leaves (read back by a python reader
// of the catalogue's records), runs of several jobs in one folder, runs
// killed and resumed, full disks and paths too long for a record. The data
// goes through a copying transformation of the test's own.
#include "job/storage/local_backup_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/holders.h"
#include "common/text_conv.h"
#include "job/tests/walk_checks.h"
#include "tools/testkit/checkers.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;
using walk_checks::host_exists;
using walk_checks::make_file;
using walk_checks::make_folder;

namespace {

// Copies the source and counts its calls.
class CopyTransformation : public Transformation {
public:
    CopyTransformation(bool compress, int* calls) : Transformation(compress), calls_(calls) {}
    bool transform(const wchar_t* source, const wchar_t* target, const WIN32_FILE_ATTRIBUTE_DATA*,
                   interrupter*) override {
        ++*calls_;
        scoped_handle in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!in.valid()) return false;
        scoped_handle out(CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.valid()) return false;
        char buffer[8192];
        DWORD got = 0, put = 0;
        for (;;) {
            if (!ReadFile(in.get(), buffer, sizeof buffer, &got, nullptr)) return false;
            if (got == 0) return true;
            if (!WriteFile(out.get(), buffer, got, &put, nullptr)) return false;
        }
    }

private:
    int* calls_;
};

class StopHandler : public WebClientEventHandler {
public:
    bool stopRequested(int) override { return stop; }
    bool stop = false;
};

// An activity record in memory shared with forked children, as the job's
// mapping is shared with whoever reads it after a kill.
class Record {
public:
    explicit Record(uint8_t seed) {
        view_ =
            static_cast<JobActivity*>(::mmap(nullptr, sizeof(JobActivity), PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        for (int i = 0; i < 16; ++i) view_->instanceId[i] = static_cast<uint8_t>(seed + i);
    }
    ~Record() { ::munmap(view_, sizeof(JobActivity)); }
    JobActivity* operator->() const { return view_; }
    JobActivity* get() const { return view_; }
    // The id as text, by the GUID field layout.
    std::wstring instance() const {
        const uint8_t* b = view_->instanceId;
        char text[40];
        std::snprintf(text, sizeof text,
                      "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3],
                      b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12],
                      b[13], b[14], b[15]);
        return from_utf8(text);
    }

private:
    JobActivity* view_;
};

WIN32_FILE_ATTRIBUTE_DATA attributes(DWORD bits, DWORD size = 0) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    std::memset(&data, 0, sizeof data);
    data.dwFileAttributes = bits;
    data.ftLastWriteTime = {0x33333333u, 0x01d00003u};
    data.nFileSizeLow = size;
    return data;
}
const WIN32_FILE_ATTRIBUTE_DATA kFolder = attributes(0x10);

// Every record of a catalogue, one a line, by python's struct; fails on a
// record cut short or trailing bytes.
const char kCatalogueReader[] =
    "import struct,sys\n"
    "d=open(sys.argv[1],'rb').read();p=0\n"
    "while p<len(d):\n"
    "  t,n=struct.unpack_from('<4sH',d,p);t=t.decode('ascii');r=d[p:p+n];p+=n\n"
    "  assert n>=6 and len(r)==n\n"
    "  if t in('SSET','ESET'): print(t)\n"
    "  else:\n"
    "    a,lw,hi,lo,od,fl,b,o=struct.unpack_from('<I16xQIIIIHH',r,6)\n"
    "    assert o==54 and n==54+b and r[n-2:n]==b'\\0\\0'\n"
    "    print(t,hex(a),hex(lw),hi<<32|lo,od,fl,r[o:n-2].decode('utf-16-le'))\n";

class LocalBackupStorageTest : public walk_checks::Logged {
protected:
    std::unique_ptr<BackupJobDefinition> definition(const std::string& id,
                                                    const std::string& offline = "C:/off") {
        json_spirit::Value value;
        json_spirit::read_or_throw(R"({"type":"backup","name":"n","source":["C:/src"],"id":")" +
                                       id + R"(","user":"u)" + id.substr(0, 1) +
                                       R"(","compression":true,"offline":")" + offline + "\"}",
                                   value);
        auto made = std::make_unique<BackupJobDefinition>();
        EXPECT_TRUE(made->fromJSON(value));
        return made;
    }
    std::unique_ptr<LocalBackupStorage> storage(const BackupJobDefinition& job,
                                                const Record& record,
                                                WebClientEventHandler* handler = nullptr) {
        auto made = std::make_unique<LocalBackupStorage>(&job, handler);
        made->init(record.get(), new CopyTransformation(true, &calls_));
        return made;
    }
    std::string catalogue(const std::wstring& path) {
        write_host_file(machine_root() + "/cat.py", kCatalogueReader);
        std::string out;
        EXPECT_EQ(run_command("PYTHONIOENCODING=utf-8 python3 " + machine_root() + "/cat.py " +
                                  shell_quote(host_of(path)),
                              &out),
                  0);
        return out;
    }
    const std::string kJob = "0a1b2c3d-0000-4000-8000-00000000000a";
    int calls_ = 0;
};

using LocalBackupStorageLayout = LocalBackupStorageTest;

TEST_F(LocalBackupStorageLayout, RunLeavesWhatTheRestoreReads) {
    make_folder(L"C:\\src");
    make_folder(L"C:\\snap");
    make_file(L"C:\\src\\empty", "");
    make_file(L"C:\\src\\Grüße 😀", "sixteen bytes..!");
    make_file(L"C:\\snap\\big", std::string(70000, 's'));  // the snapshot of C:\src\big
    auto job = definition(kJob);
    Record record(0);
    ASSERT_EQ(record.instance(), L"03020100-0504-0706-0809-0a0b0c0d0e0f");
    auto store = storage(*job, record);
    ASSERT_TRUE(store->start());
    EXPECT_TRUE(store->backupFile(L"C:\\src", &kFolder, 1, nullptr));
    EXPECT_TRUE(store->backupFile(L"C:\\src\\sub", &kFolder, 2, nullptr));
    auto zero = attributes(0x20), file = attributes(0x20, 16);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\empty", &zero, 2, nullptr));
    EXPECT_TRUE(store->backupFile(L"C:\\src\\Grüße 😀", &file, 1, nullptr));
    auto big = attributes(0x21, 70000);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\big", &big, 3, L"C:\\snap\\big"));
    store->addError(L"C:\\src\\gone", 5, L"why");
    ASSERT_TRUE(store->end());
    EXPECT_EQ(GetLastError(), 0u);

    // All of it is on disk before the storage goes.
    const std::wstring inst = L"C:\\off\\03020100-0504-0706-0809-0a0b0c0d0e0f";
    std::string names;
    run_command("cd " + shell_quote(host_of(L"C:\\off")) + " && find . | sort", &names);
    EXPECT_EQ(names,
              ".\n./03020100-0504-0706-0809-0a0b0c0d0e0f\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f.bak.def\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f.cat\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f.err\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f/1\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f/2\n"
              "./03020100-0504-0706-0809-0a0b0c0d0e0f/3\n");
    EXPECT_EQ(read_host_file(host_of(inst + L"\\1")), "sixteen bytes..!");
    EXPECT_EQ(read_host_file(host_of(inst + L"\\2")), "");
    EXPECT_EQ(read_host_file(host_of(inst + L"\\3")), std::string(70000, 's'));
    EXPECT_EQ(read_host_file(host_of(inst + L".bak.def")),
              R"({"Id":")" + kJob + R"(","Type":"Backup","User":"u0"})");
    EXPECT_EQ(catalogue(inst + L".cat"),
              "SSET\n"
              "DIRB 0x10 0x1d0000333333333 0 1 0 C:\\src\n"
              "DIRB 0x10 0x1d0000333333333 0 2 0 C:\\src\\sub\n"
              "FILE 0x20 0x1d0000333333333 0 2 1 C:\\src\\empty\n"
              "FILE 0x20 0x1d0000333333333 16 1 1 C:\\src\\Grüße 😀\n"
              "FILE 0x21 0x1d0000333333333 70000 3 1 C:\\src\\big\n");
    EXPECT_EQ(tovel::testing::python("import json;print(json.load(open('" +
                                     host_of(inst + L".err") + "')))"),
              "[{'code': 5, 'path': 'C:\\\\src\\\\gone', 'reason': 'why'}]");
    EXPECT_EQ(record->filesDone, 3u);
    EXPECT_EQ(record->bytesDone, 70016u);
    EXPECT_EQ(record->currentItemIndex, 0u);
    EXPECT_EQ(record->currentFilePath(), L"C:\\src\\big");
}

TEST_F(LocalBackupStorageLayout, CancelEndsTheSetAndEndDoesNot) {
    auto job = definition(kJob);
    Record completed(0), cancelled(16);
    auto first = storage(*job, completed);
    ASSERT_TRUE(first->start());
    ASSERT_TRUE(first->backupFile(L"C:\\d", &kFolder, 1, nullptr));
    ASSERT_TRUE(first->end());
    auto second = storage(*job, cancelled);
    ASSERT_TRUE(second->start());
    second->addError(L"C:\\e", 2, L"gone");
    ASSERT_TRUE(second->cancel());
    EXPECT_EQ(catalogue(L"C:\\off\\" + completed.instance() + L".cat"),
              "SSET\nDIRB 0x10 0x1d0000333333333 0 1 0 C:\\d\n");
    EXPECT_EQ(catalogue(L"C:\\off\\" + cancelled.instance() + L".cat"), "SSET\nESET\n");
    // Both storages are still there: all of it is on disk already.
    const std::string err = host_of(L"C:\\off\\" + cancelled.instance() + L".err");
    EXPECT_NE(read_host_file(err).find("gone"), std::string::npos);
    EXPECT_FALSE(host_exists(L"C:\\off\\" + completed.instance() + L".err"));
    second.reset();

    // A paused run that is stopped ends with a storage that was never started.
    auto stopped = storage(*job, completed);
    completed->resumeFlag = 1;
    ASSERT_TRUE(stopped->cancel());
    EXPECT_EQ(catalogue(L"C:\\off\\" + completed.instance() + L".cat"),
              "SSET\nDIRB 0x10 0x1d0000333333333 0 1 0 C:\\d\nESET\n");
    stopped.reset();
    EXPECT_NE(read_host_file(err).find("gone"), std::string::npos);
    EXPECT_FALSE(host_exists(L"C:\\off\\" + completed.instance() + L".err"));
}

// Each run's data and error list lie in files of its own: item 1 of every
// run stays that run's file. The list that earlier versions shared between
// the runs of the folder is left as it stands.
TEST_F(LocalBackupStorageLayout, RunsOfTwoJobsKeepTheirDataApart) {
    make_folder(L"C:\\off");
    const std::string shared = R"([{"code": 9, "path": "C:\\old", "reason": "earlier"}])";
    make_file(L"C:\\off\\err", shared);
    make_folder(L"C:\\src");
    auto jobA = definition("aaaaaaaa-0000-4000-8000-000000000000");
    auto jobB = definition("bbbbbbbb-0000-4000-8000-000000000000");
    std::vector<std::unique_ptr<Record>> runs;
    for (int i = 0; i < 4; ++i) {
        runs.push_back(std::make_unique<Record>(static_cast<uint8_t>(0x10 * i)));
        std::string content = "run " + std::to_string(i);
        make_file(L"C:\\src\\f", content);
        auto store = storage(i % 2 ? *jobB : *jobA, *runs.back());
        ASSERT_TRUE(store->start());
        auto file = attributes(0x20, static_cast<DWORD>(content.size()));
        ASSERT_TRUE(store->backupFile(L"C:\\src\\f", &file, 1, nullptr));
        store->addError(L"C:\\src\\x", static_cast<DWORD>(i), L"r");
        ASSERT_TRUE(store->end());
    }
    for (int i = 0; i < 4; ++i) {
        std::wstring cat = L"C:\\off\\" + runs[i]->instance() + L".cat";
        EXPECT_EQ(catalogue(cat), "SSET\nFILE 0x20 0x1d0000333333333 5 1 1 C:\\src\\f\n");
        EXPECT_EQ(read_host_file(host_of(cat.substr(0, cat.size() - 4) + L"\\1")),
                  "run " + std::to_string(i));
        EXPECT_NE(read_host_file(host_of(L"C:\\off\\" + runs[i]->instance() + L".bak.def"))
                      .find(i % 2 ? "bbbbbbbb" : "aaaaaaaa"),
                  std::string::npos);
    }
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(
            tovel::testing::python("import json;print([e['code'] for e in json.load(open('" +
                                   host_of(L"C:\\off\\" + runs[i]->instance() + L".err") + "'))])"),
            "[" + std::to_string(i) + "]");
    EXPECT_EQ(read_host_file(host_of(L"C:\\off\\err")), shared);
}

TEST_F(LocalBackupStorageLayout, PathsTooLongForARecordFailBeforeAnyWrite) {
    make_folder(L"C:\\src");
    make_file(L"C:\\src\\f", "data");
    auto job = definition(kJob);
    Record record(0);
    auto store = storage(*job, record);
    ASSERT_TRUE(store->start());
    std::wstring longest = L"C:\\" + std::wstring(kSourceItemPathMax - 3, L'n');
    auto file = attributes(0x20, 4);
    EXPECT_TRUE(store->backupFile(longest.c_str(), &file, 1, L"C:\\src\\f"));
    EXPECT_FALSE(store->backupFile((longest + L"n").c_str(), &file, 2, L"C:\\src\\f"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_NE(logged().find("Path of 2021 units is too long"), std::string::npos);
    EXPECT_FALSE(store->backupFile(L"C:\\src\\missing", &file, 3, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(store->end());
    EXPECT_EQ(calls_, 2);  // the long path was not transformed
    const std::wstring inst = L"C:\\off\\" + record.instance();
    EXPECT_FALSE(host_exists(inst + L"\\2"));
    EXPECT_FALSE(host_exists(inst + L"\\3"));
    EXPECT_EQ(catalogue(inst + L".cat"),
              "SSET\nFILE 0x20 0x1d0000333333333 4 1 1 " + to_utf8(longest) + "\n");
    EXPECT_EQ(record->filesDone, 1u);
}

using LocalBackupStorageResume = LocalBackupStorageTest;

// Runs body in a child process that kills itself right after it, as a kill
// of the job's process would: nothing of the child is destroyed or flushed.
void killed_child(const std::function<void()>& body) {
    pid_t child = ::fork();
    if (child == 0) {
        body();
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// Killed after item 2 was stored but before the job moved its offset: the
// resumed run presents item 2 again. A torn record of a kill in mid-write
// ends the catalogue.
TEST_F(LocalBackupStorageResume, KillAfterAStoredItemLosesAndRepeatsNothing) {
    make_folder(L"C:\\src");
    for (int i = 1; i <= 3; ++i) make_file(L"C:\\src\\" + std::to_wstring(i), "data");
    auto job = definition(kJob);
    Record record(0);
    auto file = attributes(0x20, 4);
    std::unique_ptr<LocalBackupStorage> killed;  // alive when the kill comes
    killed_child([&] {
        killed = storage(*job, record);
        auto& store = killed;
        if (!store->start() || !store->backupFile(L"C:\\src", &kFolder, 1, nullptr) ||
            !store->backupFile(L"C:\\src\\1", &file, 1, nullptr) ||
            !store->backupFile(L"C:\\src\\2", &file, 2, nullptr))
            ::_exit(1);
    });
    const std::wstring cat = L"C:\\off\\" + record.instance() + L".cat";
    const std::string stored =
        "SSET\n"
        "DIRB 0x10 0x1d0000333333333 0 1 0 C:\\src\n"
        "FILE 0x20 0x1d0000333333333 4 1 1 C:\\src\\1\n"
        "FILE 0x20 0x1d0000333333333 4 2 1 C:\\src\\2\n";
    EXPECT_EQ(catalogue(cat), stored);
    std::string bytes = read_host_file(host_of(cat));
    write_host_file(host_of(cat), bytes + std::string("FILE\x60\x00\x20\x00\x00", 9));

    record->resumeFlag = 1;
    auto store = storage(*job, record);
    ASSERT_TRUE(store->start());
    EXPECT_NE(logged().find("cut back from " + std::to_string(bytes.size() + 9) + " to " +
                            std::to_string(bytes.size()) + " bytes"),
              std::string::npos);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\2", &file, 2, nullptr));
    EXPECT_TRUE(store->backupFile(L"C:\\src\\3", &file, 3, nullptr));
    ASSERT_TRUE(store->end());
    EXPECT_EQ(calls_, 1);
    EXPECT_EQ(catalogue(cat), stored + "SSET\nFILE 0x20 0x1d0000333333333 4 3 1 C:\\src\\3\n");
}

// The record is a shared mapping, which the system may write back to the
// disk at any time: the job's place in its list (and the volume it reads)
// moves past stored items only with their group's flush, at once while
// nothing of the group waits. A group that falls due as the run goes on is
// forced on a thread of its own while the next items are stored: the place
// passes its items once the worker has seen that flush end, and never the
// items stored meanwhile. A resumed run presents the items after that place
// again: one that failed before is listed once.
TEST_F(LocalBackupStorageResume, TheRecordsPlacePassesItemsOnlyWithTheirGroup) {
    make_folder(L"C:\\src");
    for (int i = 1; i <= 5; ++i) make_file(L"C:\\src\\" + std::to_wstring(i), "data");
    auto job = definition(kJob);
    Record record(0);
    auto file = attributes(0x20, 4);
    auto store = storage(*job, record);
    ASSERT_TRUE(store->start());
    store->advance(record.get(), 10, 0);
    EXPECT_EQ(record->sourceListOffset, 10u);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\1", &file, 1, nullptr));
    store->advance(record.get(), 20, 1);
    EXPECT_EQ(record->sourceListOffset, 10u);
    EXPECT_EQ(record->currentVolumeIndex, 0u);
    record->requestedTransition = 5;  // a pause: the group is flushed after the item
    EXPECT_TRUE(store->backupFile(L"C:\\src\\2", &file, 2, nullptr));
    EXPECT_EQ(record->sourceListOffset, 20u);
    EXPECT_EQ(record->currentVolumeIndex, 1u);
    store->advance(record.get(), 30, 1);
    EXPECT_EQ(record->sourceListOffset, 30u);

    record->requestedTransition = 0;
    EXPECT_TRUE(store->backupFile(L"C:\\src\\3", &file, 3, nullptr));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(LocalBackupStorage::kGroupMilliseconds + 50));
    store->advance(record.get(), 40, 1);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\4", &file, 4, nullptr));  // the group is due
    store->advance(record.get(), 50, 1);
    EXPECT_EQ(record->sourceListOffset, 30u);
    EXPECT_TRUE(store->backupFile(L"C:\\src\\5", &file, 5, nullptr));
    store->advance(record.get(), 60, 1);
    EXPECT_TRUE(record->sourceListOffset == 30u || record->sourceListOffset == 50u)
        << record->sourceListOffset;

    EXPECT_TRUE(store->addError(L"C:\\src\\gone", 2, nullptr));
    EXPECT_FALSE(store->addError(L"C:\\src\\gone", 2, nullptr));
    EXPECT_TRUE(store->addError(L"C:\\src\\gone", 5, nullptr));
    EXPECT_EQ(store->errorCount(), 2);
    ASSERT_TRUE(store->end());
    EXPECT_EQ(record->sourceListOffset, 60u);
}

// A stop seen after an item was stored: the item, presented again, is
// skipped once. A fresh run on the same record starts a new catalogue.
TEST_F(LocalBackupStorageResume, StopAfterAStoredItemSkipsItOnce) {
    auto job = definition(kJob);
    Record record(0);
    StopHandler handler;
    handler.stop = true;
    const std::wstring cat = L"C:\\off\\" + record.instance() + L".cat";
    {
        auto store = storage(*job, record, &handler);
        ASSERT_TRUE(store->start());
        ASSERT_TRUE(store->backupFile(L"C:\\a", &kFolder, 1, nullptr));
        EXPECT_EQ(record->currentItemIndex, 1u);
    }
    handler.stop = false;
    record->resumeFlag = 1;
    {
        auto store = storage(*job, record, &handler);
        ASSERT_TRUE(store->start());
        ASSERT_TRUE(store->backupFile(L"C:\\a", &kFolder, 1, nullptr));
        EXPECT_EQ(record->currentItemIndex, 0u);
        ASSERT_TRUE(store->backupFile(L"C:\\b", &kFolder, 2, nullptr));
    }
    EXPECT_EQ(catalogue(cat),
              "SSET\nDIRB 0x10 0x1d0000333333333 0 1 0 C:\\a\n"
              "SSET\nDIRB 0x10 0x1d0000333333333 0 2 0 C:\\b\n");
    record->resumeFlag = 0;
    ASSERT_TRUE(storage(*job, record)->start());
    EXPECT_EQ(catalogue(cat), "SSET\n");
}

// A power cut after a group reached the disk but before the job's offset
// past it did: the resumed run presents the whole group again, and each item
// that the catalogue holds is taken as stored, not listed a second time. An
// item under another path with the same index is not the same item.
TEST_F(LocalBackupStorageResume, ItemsOfTheContinuedCatalogueAreNotStoredTwice) {
    auto job = definition(kJob);
    Record record(0);
    const std::wstring cat = L"C:\\off\\" + record.instance() + L".cat";
    {
        auto store = storage(*job, record);
        ASSERT_TRUE(store->start());
        for (uint32_t i = 1; i <= 3; ++i)
            ASSERT_TRUE(
                store->backupFile((L"C:\\" + std::to_wstring(i)).c_str(), &kFolder, i, nullptr));
    }
    record->resumeFlag = 1;
    {
        auto store = storage(*job, record);
        ASSERT_TRUE(store->start());
        for (uint32_t i = 1; i <= 4; ++i) {
            std::wstring path = i == 3 ? L"C:\\other" : L"C:\\" + std::to_wstring(i);
            ASSERT_TRUE(store->backupFile(path.c_str(), &kFolder, i, nullptr));
        }
    }
    EXPECT_EQ(catalogue(cat),
              "SSET\nDIRB 0x10 0x1d0000333333333 0 1 0 C:\\1\n"
              "DIRB 0x10 0x1d0000333333333 0 2 0 C:\\2\n"
              "DIRB 0x10 0x1d0000333333333 0 3 0 C:\\3\n"
              "SSET\nDIRB 0x10 0x1d0000333333333 0 3 0 C:\\other\n"
              "DIRB 0x10 0x1d0000333333333 0 4 0 C:\\4\n");
}

// A power cut in the middle of a group's flush of the volume may keep the
// catalogue's records without the data files they name (the volume writes
// them in an order of its own): an item of the continued catalogue whose data
// file is missing or empty is stored again, and the later record names it.
TEST_F(LocalBackupStorageResume, AnItemWhoseDataFileWasLostIsStoredAgain) {
    make_folder(L"C:\\src");
    for (int i = 1; i <= 3; ++i) make_file(L"C:\\src\\" + std::to_wstring(i), "data");
    auto job = definition(kJob);
    Record record(0);
    auto file = attributes(0x20, 4);
    const std::wstring inst = L"C:\\off\\" + record.instance();
    {
        auto store = storage(*job, record);
        ASSERT_TRUE(store->start());
        for (uint32_t i = 1; i <= 3; ++i)
            ASSERT_TRUE(
                store->backupFile((L"C:\\src\\" + std::to_wstring(i)).c_str(), &file, i, nullptr));
    }
    write_host_file(host_of(inst + L"\\2"), "");
    ASSERT_EQ(::unlink(host_of(inst + L"\\3").c_str()), 0);
    record->resumeFlag = 1;
    {
        auto store = storage(*job, record);
        ASSERT_TRUE(store->start());
        for (uint32_t i = 1; i <= 3; ++i)
            ASSERT_TRUE(
                store->backupFile((L"C:\\src\\" + std::to_wstring(i)).c_str(), &file, i, nullptr));
    }
    EXPECT_EQ(calls_, 5);
    EXPECT_EQ(read_host_file(host_of(inst + L"\\2")), "data");
    EXPECT_EQ(read_host_file(host_of(inst + L"\\3")), "data");
    EXPECT_EQ(catalogue(inst + L".cat"),
              "SSET\nFILE 0x20 0x1d0000333333333 4 1 1 C:\\src\\1\n"
              "FILE 0x20 0x1d0000333333333 4 2 1 C:\\src\\2\n"
              "FILE 0x20 0x1d0000333333333 4 3 1 C:\\src\\3\n"
              "SSET\nFILE 0x20 0x1d0000333333333 4 2 1 C:\\src\\2\n"
              "FILE 0x20 0x1d0000333333333 4 3 1 C:\\src\\3\n");
}

// The offline folder on a small file system mounted as drive D:.
class LocalBackupStorageFullDisk : public LocalBackupStorageTest {
protected:
    void SetUp() override {
        LocalBackupStorageTest::SetUp();
        mount_point_ = machine_root() + "/tiny";
        ASSERT_EQ(::mkdir(mount_point_.c_str(), 0755), 0);
        if (::mount("tmpfs", mount_point_.c_str(), "tmpfs", 0, "size=64k") != 0)
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        mounted_ = true;
        host_of(L"C:\\");
        ASSERT_EQ(::symlink(mount_point_.c_str(), (machine_root() + "/drives/d").c_str()), 0);
    }
    void TearDown() override {
        if (mounted_) ::umount2(mount_point_.c_str(), MNT_DETACH);
        LocalBackupStorageTest::TearDown();
    }
    void fill() {
        struct statvfs room;
        ASSERT_EQ(::statvfs(mount_point_.c_str(), &room), 0);
        write_host_file(mount_point_ + "/filler", std::string(room.f_bavail * room.f_frsize, 'x'));
    }
    std::string mount_point_;
    bool mounted_ = false;
};

TEST_F(LocalBackupStorageFullDisk, FailedWritesFailTheItemAndKeepTheRun) {
    make_folder(L"C:\\src");
    make_file(L"C:\\src\\small", "small");
    make_file(L"C:\\src\\empty", "");
    make_file(L"C:\\src\\large", std::string(20000, 'l'));
    auto job = definition(kJob, "D:/off");
    Record record(0);
    auto store = storage(*job, record);
    ASSERT_TRUE(store->start());
    auto small = attributes(0x20, 5), large = attributes(0x20, 20000), empty = attributes(0x20);
    ASSERT_TRUE(store->backupFile(L"C:\\src\\small", &small, 1, nullptr));
    const std::wstring inst = L"D:\\off\\" + record.instance();
    std::string before = read_host_file(host_of(inst + L".cat"));
    fill();
    EXPECT_FALSE(store->backupFile(L"C:\\src\\large", &large, 2, nullptr));  // the data
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    // The data of an empty file needs no room, its record does: one that
    // starts a new page of the catalogue.
    std::wstring name = L"C:\\" + std::wstring(kSourceItemPathMax - 3, L'e');
    EXPECT_FALSE(store->backupFile(name.c_str(), &empty, 3, L"C:\\src\\empty"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(calls_, 3);
    EXPECT_FALSE(host_exists(inst + L"\\2"));
    EXPECT_FALSE(host_exists(inst + L"\\3"));
    EXPECT_EQ(read_host_file(host_of(inst + L".cat")), before);
    EXPECT_EQ(record->filesDone, 1u);

    ::unlink((mount_point_ + "/filler").c_str());
    ASSERT_TRUE(store->backupFile(L"C:\\src\\large", &large, 4, nullptr));
    ASSERT_TRUE(store->end());
    EXPECT_EQ(read_host_file(host_of(inst + L"\\1")), "small");
    EXPECT_EQ(catalogue(inst + L".cat"),
              "SSET\n"
              "FILE 0x20 0x1d0000333333333 5 1 1 C:\\src\\small\n"
              "FILE 0x20 0x1d0000333333333 20000 4 1 C:\\src\\large\n");
}

// A file written to while the backup reads it. The real backup
// transformation reads through an interrupter of the test, which the read
// asks once per 2 MiB: there, on the reading thread, the test changes the
// file as a writer in another process would, so that each read of a 3 MiB
// file meets exactly one change at 2 MiB. Each data file must decode
// (openssl, python's zlib) to exactly the size of its catalogue record.
class ChangedSource : public Transformation {
public:
    // change(source, ask) runs at the ask-th question of the reads of source
    // (from 0, counted over both reads).
    explicit ChangedSource(std::function<void(const std::wstring&, int)> change)
        : Transformation(true), inner_(true), change_(std::move(change)) {}
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter*) override {
        Writer writer(change_, source);
        bool done = inner_.transform(source, target, attributes, &writer);
        read_ = inner_.sourceRead();
        return done;
    }

private:
    class Writer : public interrupter {
    public:
        Writer(const std::function<void(const std::wstring&, int)>& change, const wchar_t* source)
            : change_(change), source_(source) {}
        bool interrupted() override {
            change_(source_, asks_++);
            return false;
        }

    private:
        const std::function<void(const std::wstring&, int)>& change_;
        std::wstring source_;
        int asks_ = 0;
    };

    BackupTransformation inner_;
    std::function<void(const std::wstring&, int)> change_;
};

std::string patterned(size_t size, char seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + (i * 131) % 23);
    return bytes;
}

using LocalBackupStorageChangedSource = LocalBackupStorageTest;

TEST_F(LocalBackupStorageChangedSource, StoredSizeIsWhatWasReadAndARepeatedChangeIsAnError) {
    constexpr size_t kSize = 3 << 20;
    constexpr size_t kCut = 256 << 10;
    make_folder(L"C:\\src");
    const std::wstring grows = L"C:\\src\\grows", shrinks = L"C:\\src\\shrinks",
                       rewritten = L"C:\\src\\rewritten";
    make_file(grows, patterned(kSize, 'a'));
    make_file(shrinks, patterned(kSize, 'b'));
    make_file(rewritten, patterned(kSize, 'c'));
    auto change = [&](const std::wstring& source, int ask) {
        const std::string host = host_of(source);
        if (source == grows && ask == 0) {
            // Appended once: the second read finds the file steady.
            std::string bytes = read_host_file(host) + std::string(100000, 'g');
            write_host_file(host, bytes);
        } else if (source == shrinks) {
            ASSERT_EQ(::truncate(host.c_str(), static_cast<off_t>(kSize - (ask + 1) * kCut)), 0);
        } else if (source == rewritten) {
            // The head, read already, is written again, with a new time.
            int fd = ::open(host.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            std::string head = "rewrite " + std::to_string(ask);
            ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
            timespec times[2] = {{0, UTIME_OMIT}, {1500000000 + ask, 0}};
            ASSERT_EQ(::futimens(fd, times), 0);
            ::close(fd);
        }
    };
    auto job = definition(kJob);
    Record record(0);
    LocalBackupStorage store(job.get(), nullptr);
    store.init(record.get(), new ChangedSource(change));
    ASSERT_TRUE(store.start());
    // The walk saw each file at 3 MiB.
    auto walked = attributes(0x20, kSize);
    EXPECT_TRUE(store.backupFile(grows.c_str(), &walked, 1, nullptr));
    EXPECT_TRUE(store.backupFile(shrinks.c_str(), &walked, 2, nullptr));
    EXPECT_TRUE(store.backupFile(rewritten.c_str(), &walked, 3, nullptr));
    ASSERT_TRUE(store.end());

    const std::wstring inst = L"C:\\off\\" + record.instance();
    std::string listed = catalogue(inst + L".cat");
    std::map<std::string, size_t> sizes;  // by the data file's name
    std::istringstream lines(listed);
    std::string tag, bits, time, size, ordinal, flag, path;
    while (lines >> tag) {
        if (tag != "FILE") continue;
        lines >> bits >> time >> size >> ordinal >> flag >> path;
        sizes[ordinal] = std::stoull(size);
    }
    ASSERT_EQ(sizes.size(), 3u) << listed;
    auto decoded = [&](int index) {
        return tovel::testing::decode_stored(host_of(inst + L"\\" + std::to_wstring(index)), true);
    };
    // Read again after the change: the whole grown file.
    EXPECT_EQ(sizes["1"], kSize + 100000);
    EXPECT_EQ(decoded(1), read_host_file(host_of(grows)));
    // Cut during both reads: what the second read got, 2 cuts short.
    EXPECT_EQ(sizes["2"], kSize - 2 * kCut);
    EXPECT_EQ(decoded(2), patterned(kSize, 'b').substr(0, kSize - 2 * kCut));
    // Rewritten during both reads: the second read's bytes, which the file
    // no longer holds, at the size read.
    std::string stored = decoded(3);
    EXPECT_EQ(sizes["3"], stored.size());
    EXPECT_EQ(stored.substr(0, 8), "rewrite ");
    EXPECT_EQ(stored[8], '0');
    EXPECT_EQ(read_host_file(host_of(rewritten)).substr(0, 9), "rewrite 1");
    EXPECT_EQ(record->bytesDone, sizes["1"] + sizes["2"] + sizes["3"]);
    EXPECT_EQ(tovel::testing::python("import json\n"
                                     "for e in json.load(open('" +
                                     host_of(inst + L".err") +
                                     "')): print(e['code'], e['path'], e['reason'])"),
              "32 C:\\src\\shrinks changed while read\n32 C:\\src\\rewritten changed while read");
}

}  // namespace
