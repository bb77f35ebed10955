// The offline restore: backups made by the offline backup storage with the
// real transformations (and one by a whole backup run), restored to their own
// place and below another folder, against existing files, from damaged data
// and catalogues; folders that cannot be made; the run's error list. Times
// and contents are checked on the host side by python.
#include "job/storage/local_restore_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/appdata_path.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/sources/activity_source.h"
#include "job/storage/local_backup_storage.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

const char kJobId[] = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";
constexpr int64_t kSecond = 1000000000;
// 2019-03-04 05:06:07.1234567 UTC and others like it, in host nanoseconds.
constexpr int64_t kT1 = 1551675967123456700ll, kT2 = 1400000000987654300ll,
                  kT3 = 1300000000000000100ll;

void make_folder(const std::wstring& path) { std::filesystem::create_directories(host_of(path)); }
void make_file(const std::wstring& path, const std::string& bytes) {
    write_host_file(host_of(path), bytes);
}
bool exists(const std::wstring& path) { return std::filesystem::exists(host_of(path)); }
// Gives the machine the drive of the letter (lower case).
void add_drive(char letter) {
    std::filesystem::create_directories(tovel::testing::machine_root() + "/drives/" + letter);
}

// Sets the host's last-write and last-access times.
void set_times(const std::wstring& path, int64_t write_ns, int64_t access_ns) {
    timespec times[2] = {{access_ns / kSecond, access_ns % kSecond},
                         {write_ns / kSecond, write_ns % kSecond}};
    ASSERT_EQ(::utimensat(AT_FDCWD, host_of(path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}
// "<write ns> <access ns>" as python sees the host file.
std::string times_of(const std::wstring& path) {
    return python("import os; s = os.stat('" + host_of(path) +
                  "'); print(s.st_mtime_ns, s.st_atime_ns)");
}
std::string times_text(int64_t write_ns, int64_t access_ns) {
    return std::to_string(write_ns) + " " + std::to_string(access_ns);
}
// The entries of a host folder, sorted, one a line.
std::string names_in(const std::wstring& folder) {
    return python("import os; print('\\n'.join(sorted(os.listdir('" + host_of(folder) + "'))))");
}
// Whether a name in folder holds part, within 30 s (what the pool makes
// ahead appears on its own time).
bool appears(const std::wstring& folder, const std::string& part) {
    for (int tries = 0; tries < 600; ++tries) {
        if (names_in(folder).find(part) != std::string::npos) return true;
        Sleep(50);
    }
    return false;
}
std::string patterned(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 5);
    return bytes;
}

void set_instance(JobActivity& record, uint8_t seed) {
    for (int i = 0; i < 16; ++i) record.instanceId[i] = static_cast<uint8_t>(seed + i);
}
// The instance text of set_instance(seed), by the GUID field layout.
std::wstring instance_of(uint8_t seed) {
    uint8_t b[16];
    for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(seed + i);
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return from_utf8(text);
}

// One backup run into C:\off by the offline backup storage and the backup
// transformation, items numbered as the backup job numbers them (folders and
// files each from 1), with the attributes the walk would read.
class OfflineBackup {
public:
    explicit OfflineBackup(bool compress, uint8_t seed = 0x40) : seed_(seed) {
        json_spirit::Object object;
        object["type"] = "backup";
        object["id"] = "0a1b2c3d-0000-4000-8000-00000000000a";
        object["name"] = "b";
        object["user"] = "u";
        object["offline"] = "C:/off";
        object["compression"] = compress;
        object["source"] = json_spirit::Array{json_spirit::Value("C:/data")};
        EXPECT_TRUE(definition_.fromJSON(json_spirit::Value(object)));
        set_instance(record_, seed);
        storage_ = std::make_unique<LocalBackupStorage>(&definition_, nullptr);
        storage_->init(&record_, new BackupTransformation(compress));
        EXPECT_TRUE(storage_->start());
    }
    // Stores path under the name stored (default: path itself).
    void add(const std::wstring& path, const std::wstring& stored = L"") {
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) << path;
        bool folder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        uint32_t index = folder ? ++folders_ : ++files_;
        ASSERT_TRUE(storage_->backupFile(stored.empty() ? path.c_str() : stored.c_str(), &data,
                                         index, path.c_str()))
            << GetLastError();
    }
    // Ends the run and gives its catalogue.
    std::wstring end() {
        EXPECT_TRUE(storage_->end());
        storage_.reset();
        return L"C:\\off\\" + instance_of(seed_) + L".cat";
    }
    std::wstring dataFile(uint32_t index) const {
        return L"C:\\off\\" + instance_of(seed_) + L"\\" + std::to_wstring(index);
    }

private:
    BackupJobDefinition definition_;
    JobActivity record_{};
    std::unique_ptr<LocalBackupStorage> storage_;
    uint8_t seed_;
    uint32_t folders_ = 0, files_ = 0;
};

class LocalRestoreTest : public tovel::testing::LoggedTest {
protected:
    // A restore definition of the catalogue; sources as the restore list
    // writes them (a folder ends in a back-slash).
    void define(const std::wstring& catalogue, const std::vector<std::wstring>& sources,
                const std::string& existing = "overwrite", const std::string& location = "") {
        json_spirit::Object object;
        object["type"] = "restore";
        object["id"] = kJobId;
        object["name"] = "r";
        object["user"] = "u";
        object["offline"] = catalogue;
        object["existing"] = existing;
        if (!location.empty()) object["location"] = location;
        json_spirit::Array list;
        for (const auto& source : sources) list.push_back(json_spirit::Value(source));
        object["source"] = list;
        definition_ = std::make_unique<RestoreJobDefinition>();
        ASSERT_TRUE(definition_->fromJSON(json_spirit::Value(object)));
    }
    std::unique_ptr<LocalRestoreStorage> started() {
        set_instance(record_, 0x70);
        auto storage = std::make_unique<LocalRestoreStorage>(definition_.get(), nullptr);
        EXPECT_TRUE(storage->start(&record_, &history_)) << GetLastError();
        return storage;
    }
    // The code of restore(path), 0 as "ok" when it succeeded; then, unless
    // asked not to, the end of the durable group (where its file takes its
    // place and counts), as a job that moves past the item would reach.
    std::string outcome(LocalRestoreStorage& storage, const std::wstring& path,
                        bool settle = true) {
        SetLastError(1234);
        bool done =
            storage.restore(path.c_str(), L"machine", !path.empty() && path.back() == L'\\', 7);
        DWORD code = GetLastError();
        if (settle) storage.settle();
        SetLastError(code);
        return done ? (GetLastError() == 0 ? "ok" : "ok but " + std::to_string(GetLastError()))
                    : "failed " + std::to_string(GetLastError());
    }
    std::wstring historyFolder() {
        std::wstring path;
        EXPECT_TRUE(job_history_path(path, kJobId, to_utf8(instance_of(0x70)).c_str()));
        return path;
    }

    std::unique_ptr<RestoreJobDefinition> definition_;
    JobActivity record_{};
    JobHistoryInfo history_;
};

// A tree with times of its own: C:\data (folder), C:\data\sub (folder),
// C:\data\a.txt, C:\data\sub\b.bin (read-only), C:\data\empty.txt.
std::wstring backed_up_tree(bool compress) {
    make_folder(L"C:\\data\\sub");
    make_file(L"C:\\data\\a.txt", "first file");
    make_file(L"C:\\data\\sub\\b.bin", patterned(200000));
    make_file(L"C:\\data\\empty.txt", "");
    ::chmod(host_of(L"C:\\data\\sub\\b.bin").c_str(), 0444);
    set_times(L"C:\\data\\a.txt", kT1, kT2);
    set_times(L"C:\\data\\sub\\b.bin", kT2, kT3);
    set_times(L"C:\\data\\empty.txt", kT3, kT1);
    set_times(L"C:\\data\\sub", kT1 + 100, kT1 + 200);
    set_times(L"C:\\data", kT2 + 100, kT2 + 200);
    OfflineBackup backup(compress);
    for (const wchar_t* path : {L"C:\\data", L"C:\\data\\sub", L"C:\\data\\a.txt",
                                L"C:\\data\\sub\\b.bin", L"C:\\data\\empty.txt"})
        backup.add(path);
    return backup.end();
}

}  // namespace

using LocalRestorePlaces = LocalRestoreTest;

TEST_F(LocalRestorePlaces, BackToTheOriginalPlaceWithContentsTimesAndParents) {
    std::wstring catalogue = backed_up_tree(true);
    std::filesystem::remove_all(host_of(L"C:\\data"));
    define(catalogue, {L"C:\\data\\sub\\b.bin", L"C:\\data\\a.txt", L"C:\\data\\empty.txt"});
    auto storage = started();
    EXPECT_EQ(record_.totalFiles, 3u);
    EXPECT_EQ(record_.totalBytes, 200010u);

    // Each file waits under its temporary name, uncounted, until the durable
    // group's end; the current-file counters are 0 after it.
    EXPECT_EQ(outcome(*storage, L"C:\\data\\sub\\b.bin", false), "ok");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt", false), "ok");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\empty.txt", false), "ok");
    EXPECT_FALSE(exists(L"C:\\data\\a.txt"));
    EXPECT_EQ(record_.filesDone, 0u);
    EXPECT_EQ(record_.bytesDone, 0u);
    EXPECT_EQ(record_.currentFileSize, 0u);
    EXPECT_EQ(record_.currentFileDone, 0u);
    EXPECT_EQ(record_.currentFilePath(), L"C:\\data\\empty.txt");

    // Then each adds its size. The files keep their times and attributes,
    // the parents made for them their stored times even after files were
    // written into them (given again at the end of the durable group).
    EXPECT_TRUE(storage->settle());
    EXPECT_EQ(record_.bytesDone, 200010u);
    EXPECT_EQ(record_.filesDone, 3u);
    EXPECT_EQ(times_of(L"C:\\data\\a.txt"), times_text(kT1, kT2));
    EXPECT_EQ(times_of(L"C:\\data\\sub\\b.bin"), times_text(kT2, kT3));
    EXPECT_EQ(times_of(L"C:\\data\\empty.txt"), times_text(kT3, kT1));
    EXPECT_EQ(times_of(L"C:\\data\\sub"), times_text(kT1 + 100, kT1 + 200));
    EXPECT_EQ(times_of(L"C:\\data"), times_text(kT2 + 100, kT2 + 200));
    EXPECT_EQ(GetFileAttributesW(L"C:\\data\\sub\\b.bin"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesW(L"C:\\data\\a.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\nempty.txt\nsub");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "first file");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\sub\\b.bin")), patterned(200000));
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\empty.txt")), "");
    EXPECT_TRUE(storage->end(false));
    EXPECT_EQ(storage->errorCount(), 0);
    EXPECT_EQ(logged(), "");
}

// Files handed to prepare come out as restore alone makes them: one whose
// folder is not made yet, one that the rename rule sends to another name than
// the one prepared. One prepared and never asked for leaves nothing when the
// prepared items are dropped, and is restored when asked for later.
TEST_F(LocalRestorePlaces, PreparedFilesComeOutAsRestoredAndDroppedOnesLeaveNothing) {
    std::wstring catalogue = backed_up_tree(true);
    std::filesystem::remove_all(host_of(L"C:\\data"));
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "older");
    const std::vector<std::wstring> files = {L"C:\\data\\sub\\b.bin", L"C:\\data\\a.txt",
                                             L"C:\\data\\empty.txt"};
    define(catalogue, files, "rename");
    auto storage = started();
    ASSERT_GT(storage->lookahead(), 0u);
    for (uint32_t i = 0; i < files.size(); ++i)
        storage->prepare(files[i].c_str(), L"m", false, i + 1);
    EXPECT_TRUE(storage->restore(files[0].c_str(), L"m", false, 1)) << GetLastError();
    EXPECT_TRUE(storage->restore(files[1].c_str(), L"m", false, 2)) << GetLastError();
    storage->dropPrepared();
    EXPECT_TRUE(storage->settle());
    // (The times first: listing a folder moves its access time.)
    EXPECT_EQ(times_of(L"C:\\data\\sub\\b.bin"), times_text(kT2, kT3));
    EXPECT_EQ(times_of(L"C:\\data\\sub"), times_text(kT1 + 100, kT1 + 200));
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\na.txt.0\nsub");
    EXPECT_EQ(names_in(L"C:\\data\\sub"), "b.bin");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "older");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt.0")), "first file");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\sub\\b.bin")), patterned(200000));
    EXPECT_EQ(GetFileAttributesW(L"C:\\data\\sub\\b.bin"),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(record_.filesDone, 2u);

    storage->prepare(files[2].c_str(), L"m", false, 3);
    EXPECT_TRUE(storage->restore(files[2].c_str(), L"m", false, 3)) << GetLastError();
    EXPECT_TRUE(storage->end(false));
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\na.txt.0\nempty.txt\nsub");
    EXPECT_EQ(times_of(L"C:\\data\\empty.txt"), times_text(kT3, kT1));
    EXPECT_EQ(record_.filesDone, 3u);
    EXPECT_EQ(storage->errorCount(), 0);
    EXPECT_EQ(logged(), "");
}

// Large files are streamed ahead too, each into its temporary file on a
// thread of the pool, one whose folder the run makes later once that folder
// is there; a folder's turn in between drops none of them; they take their
// places as any file does, and a large file prepared but never asked for
// leaves nothing.
TEST_F(LocalRestorePlaces, LargeFilesAreStreamedAheadAndDroppedOnesLeaveNothing) {
    const size_t large = static_cast<size_t>(LocalRestoreStorage::kAheadFileBytes) * 3 + 77;
    make_folder(L"C:\\data\\sub");
    make_file(L"C:\\data\\one.bin", patterned(large));
    make_file(L"C:\\data\\sub\\two.bin", patterned(large + 1000).substr(1000));
    make_file(L"C:\\data\\three.bin", patterned(large / 2 * 3));
    OfflineBackup backup(true);
    for (const wchar_t* path : {L"C:\\data", L"C:\\data\\sub", L"C:\\data\\one.bin",
                                L"C:\\data\\sub\\two.bin", L"C:\\data\\three.bin"})
        backup.add(path);
    std::wstring catalogue = backup.end();
    std::filesystem::remove_all(host_of(L"C:\\data"));
    make_folder(L"C:\\data");
    const std::vector<std::wstring> files = {L"C:\\data\\one.bin", L"C:\\data\\sub\\two.bin",
                                             L"C:\\data\\three.bin"};
    define(catalogue, files, "overwrite");
    auto storage = started();
    for (uint32_t i = 0; i < files.size(); ++i)
        storage->prepare(files[i].c_str(), L"m", false, i + 1);
    // The first one's temporary file is made by the pool, before its turn.
    ASSERT_TRUE(appears(L"C:\\data", "one.bin.~tovel"));
    // Folders are numbered apart from files: the turn of one numbered past
    // both files leaves what is prepared for them alone.
    EXPECT_TRUE(storage->restore(L"C:\\data\\sub", L"m", true, 5)) << GetLastError();
    EXPECT_NE(names_in(L"C:\\data").find("one.bin.~tovel"), std::string::npos)
        << "the file prepared ahead was dropped at the folder's turn";
    EXPECT_TRUE(storage->restore(files[0].c_str(), L"m", false, 1)) << GetLastError();
    EXPECT_TRUE(storage->restore(files[1].c_str(), L"m", false, 2)) << GetLastError();
    storage->dropPrepared();
    EXPECT_TRUE(storage->settle());
    EXPECT_EQ(names_in(L"C:\\data"), "one.bin\nsub");
    EXPECT_EQ(names_in(L"C:\\data\\sub"), "two.bin");
    EXPECT_TRUE(read_host_file(host_of(files[0])) == patterned(large));
    EXPECT_TRUE(read_host_file(host_of(files[1])) == patterned(large + 1000).substr(1000));
    storage->prepare(files[2].c_str(), L"m", false, 3);
    EXPECT_TRUE(storage->restore(files[2].c_str(), L"m", false, 3)) << GetLastError();
    EXPECT_TRUE(storage->end(false));
    EXPECT_TRUE(read_host_file(host_of(files[2])) == patterned(large / 2 * 3));
    EXPECT_EQ(record_.filesDone, 3u);
    EXPECT_EQ(storage->errorCount(), 0);
    EXPECT_EQ(logged(), "");
}

TEST_F(LocalRestorePlaces, BelowAnotherFolderWhoseParentsAreMissing) {
    std::wstring catalogue = backed_up_tree(false);
    add_drive('d');
    // The base is "C:": the targets are D:\r\deep\er\data\...; nothing of
    // D:\r exists yet.
    define(catalogue, {L"C:\\data\\a.txt", L"C:\\data\\sub\\b.bin"}, "overwrite", "D:/r/deep/er");
    auto storage = started();
    EXPECT_EQ(outcome(*storage, L"C:\\data\\sub\\b.bin"), "ok");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt"), "ok");
    EXPECT_TRUE(storage->settle());
    const std::wstring below = L"D:\\r\\deep\\er\\data";
    EXPECT_EQ(times_of(below + L"\\sub\\b.bin"), times_text(kT2, kT3));
    EXPECT_EQ(times_of(below + L"\\a.txt"), times_text(kT1, kT2));
    // Folders that stand for catalogued ones get their times; the chosen
    // folder and its parents are not the source's.
    EXPECT_EQ(times_of(below + L"\\sub"), times_text(kT1 + 100, kT1 + 200));
    EXPECT_EQ(times_of(below), times_text(kT2 + 100, kT2 + 200));
    EXPECT_NE(times_of(L"D:\\r\\deep\\er"), times_text(kT2 + 100, kT2 + 200));
    EXPECT_EQ(read_host_file(host_of(below + L"\\sub\\b.bin")), patterned(200000));
    EXPECT_EQ(read_host_file(host_of(below + L"\\a.txt")), "first file");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "first file");  // the original stays
}

// A file system may write a rename before the data of the file it names: a
// file renamed over its target before its data were forced could come back
// from a power cut in place but empty. So the files of a group take their
// places only after the group's data were forced, and the record counts them
// and moves its offset past them only then. A file that cannot take its
// place then is its item's failure.
TEST_F(LocalRestorePlaces, FilesTakeTheirPlacesAtTheGroupsEndAndAFailureThereIsTheItems) {
    std::wstring catalogue = backed_up_tree(false);
    std::filesystem::remove_all(host_of(L"C:\\data"));
    define(catalogue, {L"C:\\data\\a.txt", L"C:\\data\\sub\\b.bin"});
    auto storage = started();
    storage->advance(&record_, 10);  // nothing waits: at once
    EXPECT_EQ(record_.sourceListOffset, 10u);
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt", false), "ok");
    storage->advance(&record_, 20);
    EXPECT_EQ(outcome(*storage, L"C:\\data\\sub\\b.bin", false), "ok");
    storage->advance(&record_, 30);
    EXPECT_FALSE(exists(L"C:\\data\\a.txt"));
    EXPECT_FALSE(exists(L"C:\\data\\sub\\b.bin"));
    EXPECT_EQ(record_.sourceListOffset, 10u);
    EXPECT_EQ(record_.filesDone, 0u);

    // A folder takes a.txt's place meanwhile.
    make_folder(L"C:\\data\\a.txt");
    EXPECT_TRUE(storage->settle());
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\sub\\b.bin")), patterned(200000));
    EXPECT_EQ(record_.filesDone, 1u);
    EXPECT_EQ(record_.bytesDone, 200000u);
    EXPECT_EQ(record_.sourceListOffset, 30u);
    EXPECT_EQ(storage->errorCount(), 1);
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\nsub");  // its temporary file removed
    EXPECT_EQ(names_in(L"C:\\data\\sub"), "b.bin");
    storage->advance(&record_, 40);
    EXPECT_EQ(record_.sourceListOffset, 40u);
    EXPECT_TRUE(storage->end(false));
    EXPECT_EQ(storage->errorCount(), 1);
    EXPECT_NE(logged().find("Failed to replace target"), std::string::npos);
}

// The threads of this process (their ids) other than those of known.
std::set<std::string> threads_besides(const std::set<std::string>& known) {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        if (!known.count(entry.path().filename().string()))
            out.insert(entry.path().filename().string());
    return out;
}

// The early flushes of a group filling (every kEarlyFlushMilliseconds while
// a file waits) run one after the other on one thread of the group, which
// lives until the run's end and is joined there: a run does not start a
// thread per flush.
TEST_F(LocalRestorePlaces, TheEarlyFlushesRunOnOneThreadThatTheRunsEndJoins) {
    std::wstring catalogue = backed_up_tree(false);
    const std::vector<std::wstring> files = {L"C:\\data\\a.txt", L"C:\\data\\sub\\b.bin",
                                             L"C:\\data\\empty.txt"};
    std::filesystem::remove_all(host_of(L"C:\\data"));
    define(catalogue, files);
    auto storage = started();
    const std::set<std::string> before = threads_besides({});
    std::set<std::string> flusher;
    for (int flush = 0; flush < 3; ++flush) {
        EXPECT_EQ(outcome(*storage, files[flush], false), "ok");
        std::this_thread::sleep_for(
            std::chrono::milliseconds(RestoreGroup::kEarlyFlushMilliseconds + 10));
        storage->passed(7, false);  // an early flush, or the group's end when it is late
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::set<std::string> now = threads_besides(before);
        EXPECT_EQ(now.size(), 1u) << "after early flush " << flush;
        if (flusher.empty()) flusher = now;
        EXPECT_EQ(now, flusher) << "after early flush " << flush;
    }
    EXPECT_TRUE(storage->settle());
    EXPECT_EQ(threads_besides(before), std::set<std::string>());
    EXPECT_EQ(read_host_file(host_of(files[0])), "first file");
    EXPECT_EQ(read_host_file(host_of(files[1])), patterned(200000));
    EXPECT_TRUE(storage->end(false));
}

TEST_F(LocalRestorePlaces, TheCatalogueFlagDecidesTheDecompression) {
    // The same compressible file stored once compressed and once not: each
    // comes back whole, whatever the restore definition says.
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\f.txt", std::string(100000, 'z'));
    OfflineBackup packed(true, 0x10), plain(false, 0x20);
    packed.add(L"C:\\data\\f.txt");
    plain.add(L"C:\\data\\f.txt");
    std::wstring packedCatalogue = packed.end(), plainCatalogue = plain.end();
    EXPECT_LT(read_host_file(host_of(packed.dataFile(1))).size(), 1000u);
    EXPECT_GT(read_host_file(host_of(plain.dataFile(1))).size(), 100000u);
    for (const auto& catalogue : {packedCatalogue, plainCatalogue}) {
        std::filesystem::remove(host_of(L"C:\\data\\f.txt"));
        define(catalogue, {L"C:\\data\\f.txt"});
        EXPECT_EQ(outcome(*started(), L"C:\\data\\f.txt"), "ok");
        EXPECT_EQ(read_host_file(host_of(L"C:\\data\\f.txt")), std::string(100000, 'z'));
    }
}

// A run taken up again after its process died or its power went: the files
// of the group under way may have left their temporary files, named with the
// run's token, beside their targets. The storage's start removes those of
// the items from the record's offset on, and nothing else: not a file of the
// old numbered name, not one of another run's token, not a link.
TEST_F(LocalRestorePlaces, ARunTakenUpAgainRemovesTheTemporaryFilesItsLostGroupLeft) {
    std::wstring catalogue = backed_up_tree(false);
    const std::vector<std::wstring> files = {L"C:\\data\\a.txt", L"C:\\data\\sub\\b.bin",
                                             L"C:\\data\\empty.txt"};
    define(catalogue, files);
    ASSERT_TRUE(save_source_list(job_source_path(kJobId), [&](JobHistorySourceWriter& writer) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        for (uint32_t i = 0; i < files.size(); ++i)
            if (!writer.addFile(files[i].c_str(), data, i + 1, 0)) return false;
        return true;
    }));
    // The run's token: the instance id's first field (set_instance 0x70).
    const std::wstring token = L".~tovel-73727170";
    for (const std::wstring& file : files) make_file(file + token, "cut short");
    make_file(L"C:\\data\\a.txt.~tovel0", "the user's");
    make_file(L"C:\\data\\a.txt.~tovel-00000000", "another run's");
    make_folder(L"C:\\outside");
    make_file(L"C:\\outside\\kept", "precious");
    std::filesystem::remove(host_of(L"C:\\data\\empty.txt" + token));
    std::filesystem::create_symlink(host_of(L"C:\\outside\\kept"),
                                    host_of(L"C:\\data\\empty.txt" + token));

    record_.resumeFlag = 1;
    auto storage = started();
    EXPECT_FALSE(exists(L"C:\\data\\a.txt" + token));
    EXPECT_FALSE(exists(L"C:\\data\\sub\\b.bin" + token));
    EXPECT_TRUE(std::filesystem::is_symlink(host_of(L"C:\\data\\empty.txt" + token)));
    EXPECT_EQ(read_host_file(host_of(L"C:\\outside\\kept")), "precious");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt.~tovel0")), "the user's");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt.~tovel-00000000")), "another run's");

    // A temporary file of the token that comes back (a kill while the item was
    // written) is the run's own: the item is written anew beside it.
    make_file(L"C:\\data\\a.txt" + token, "cut short");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "first file");
    EXPECT_FALSE(exists(L"C:\\data\\a.txt" + token));

    // A fresh run leaves every such file alone.
    make_file(L"C:\\data\\sub\\b.bin" + token, "not this run's to judge");
    record_.resumeFlag = 0;
    storage = started();
    EXPECT_TRUE(exists(L"C:\\data\\sub\\b.bin" + token));
}

using LocalRestoreExisting = LocalRestoreTest;

TEST_F(LocalRestoreExisting, SkipOverwriteAndRenameAnExistingFile) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "backed up");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    std::wstring catalogue = backup.end();
    make_file(L"C:\\data\\a.txt", "newer");

    define(catalogue, {L"C:\\data\\a.txt"}, "skip");
    auto skip = started();
    EXPECT_EQ(outcome(*skip, L"C:\\data\\a.txt"), "failed 0");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "newer");
    EXPECT_EQ(record_.filesDone, 0u);
    EXPECT_EQ(record_.bytesDone, 0u);

    define(catalogue, {L"C:\\data\\a.txt"}, "rename");
    auto rename = started();
    EXPECT_EQ(outcome(*rename, L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(outcome(*rename, L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "newer");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt.0")), "backed up");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt.0.1")), "backed up");

    define(catalogue, {L"C:\\data\\a.txt"}, "overwrite");
    EXPECT_EQ(outcome(*started(), L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "backed up");
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\na.txt.0\na.txt.0.1");
}

TEST_F(LocalRestoreExisting, DamagedOrMissingDataLeavesTheTargetAndFailsTheItem) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", patterned(5000));
    make_file(L"C:\\data\\b.txt", "second");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    backup.add(L"C:\\data\\b.txt");
    std::wstring catalogue = backup.end();
    std::string stored = read_host_file(host_of(backup.dataFile(1)));
    stored[stored.size() / 2] ^= 0x5a;
    write_host_file(host_of(backup.dataFile(1)), stored);
    std::filesystem::remove(host_of(backup.dataFile(2)));
    make_file(L"C:\\data\\a.txt", "mine");
    make_file(L"C:\\data\\b.txt", "mine too");

    define(catalogue, {L"C:\\data\\a.txt", L"C:\\data\\b.txt"});
    auto storage = started();
    take_log();
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt"), "failed 13");
    EXPECT_NE(logged().find("Failed to decrypt and decompress"), std::string::npos);
    EXPECT_EQ(outcome(*storage, L"C:\\data\\b.txt"), "failed 2");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "mine");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\b.txt")), "mine too");
    EXPECT_EQ(names_in(L"C:\\data"), "a.txt\nb.txt");  // no temporary left
    EXPECT_EQ(record_.filesDone, 0u);
    EXPECT_EQ(record_.bytesDone, 0u);
    EXPECT_EQ(record_.currentFileSize, 0u);
}

using LocalRestoreCatalogueReading = LocalRestoreTest;

TEST_F(LocalRestoreCatalogueReading, ALaterRecordOfAPathWinsAndCaseCounts) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "early");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    make_file(L"C:\\data\\a.txt", "the later one");
    backup.add(L"C:\\data\\a.txt");  // a resumed run listed it again
    std::wstring catalogue = backup.end();
    std::filesystem::remove(host_of(L"C:\\data\\a.txt"));

    define(catalogue, {L"C:\\data\\a.txt", L"C:\\Data\\a.txt", L"C:\\data\\A.TXT"});
    auto storage = started();
    EXPECT_EQ(record_.totalFiles, 1u);
    EXPECT_EQ(record_.totalBytes, 13u);
    EXPECT_EQ(outcome(*storage, L"C:\\Data\\a.txt"), "failed 3");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\A.TXT"), "failed 3");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\gone.txt"), "failed 3");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\a.txt")), "the later one");
    EXPECT_EQ(record_.bytesDone, 13u);
}

TEST_F(LocalRestoreCatalogueReading, StartFailsOnlyForAMissingOrUnnamedCatalogue) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "a");
    make_file(L"C:\\data\\b.txt", "b");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    std::wstring catalogue = backup.end();
    LocalRestoreStorage none(nullptr, nullptr);
    EXPECT_FALSE(none.start(&record_, &history_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    define(L"C:\\off\\missing.cat", {L"C:\\data\\a.txt"});
    LocalRestoreStorage missing(definition_.get(), nullptr);
    EXPECT_FALSE(missing.start(&record_, &history_));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(missing.start(nullptr, &history_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    define(L"C:\\off", {L"C:\\data\\a.txt"});
    LocalRestoreStorage folder(definition_.get(), nullptr);
    EXPECT_FALSE(folder.start(&record_, &history_));
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);

    // A damaged record ends the catalogue: what came before it is kept, and
    // a success leaves the caller's last error.
    std::string bytes = read_host_file(host_of(catalogue));
    write_host_file(host_of(catalogue), bytes + std::string("FILE\x03\x00", 6) + "tail");
    define(catalogue, {L"C:\\data\\a.txt"});
    LocalRestoreStorage damaged(definition_.get(), nullptr);
    take_log();
    SetLastError(1234);
    ASSERT_TRUE(damaged.start(&record_, &history_));
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_NE(logged().find("is damaged, error = 13"), std::string::npos);
    EXPECT_EQ(outcome(damaged, L"C:\\data\\a.txt"), "ok");
}

using LocalRestoreFolders = LocalRestoreTest;

TEST_F(LocalRestoreFolders, SelectedFoldersAreFoundMadeOrLeftAsTheyAre) {
    make_folder(L"C:\\data\\empty");
    make_folder(L"C:\\data\\kept");
    set_times(L"C:\\data\\empty", kT1, kT2);
    set_times(L"C:\\data\\kept", kT1, kT2);
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\empty");
    backup.add(L"C:\\data\\kept");
    std::wstring catalogue = backup.end();
    std::filesystem::remove(host_of(L"C:\\data\\empty"));
    set_times(L"C:\\data\\kept", kT3, kT3);

    // The restore list marks folders with a back-slash, the catalogue not.
    define(catalogue, {L"C:\\data\\empty\\", L"C:\\data\\kept\\"});
    auto storage = started();
    EXPECT_EQ(record_.totalFiles, 0u);
    EXPECT_EQ(record_.totalBytes, 0u);
    EXPECT_EQ(outcome(*storage, L"C:\\data\\empty\\"), "ok");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\kept\\"), "ok");
    EXPECT_TRUE(storage->settle());
    EXPECT_EQ(times_of(L"C:\\data\\empty"), times_text(kT1, kT2));
    EXPECT_EQ(times_of(L"C:\\data\\kept"), times_text(kT3, kT3));
    EXPECT_EQ(record_.filesDone, 0u);
}

TEST_F(LocalRestoreFolders, AFolderThatCannotBeMadeFailsWithoutReadingData) {
    // Folder 1 and file 1 share their item index: the file's data file "1"
    // must never be read for the folder.
    make_folder(L"C:\\data\\dir");
    make_file(L"C:\\data\\dir\\inner.txt", "inner");
    make_file(L"C:\\data\\other.txt", "unrelated data");
    OfflineBackup backup(false);
    backup.add(L"C:\\data\\dir");
    backup.add(L"C:\\data\\other.txt");
    backup.add(L"C:\\data\\dir\\inner.txt");
    std::wstring catalogue = backup.end();
    std::filesystem::remove_all(host_of(L"C:\\data\\dir"));
    make_file(L"C:\\data\\dir", "in the way");

    define(catalogue, {L"C:\\data\\dir\\", L"C:\\data\\dir\\inner.txt"}, "rename");
    auto storage = started();
    take_log();
    EXPECT_EQ(outcome(*storage, L"C:\\data\\dir\\"), "failed 80");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\dir\\inner.txt"), "failed 80");
    EXPECT_NE(logged().find("Failed to create directory C:\\data\\dir, error = 80"),
              std::string::npos);
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\dir")), "in the way");
    EXPECT_EQ(names_in(L"C:\\data"), "dir\nother.txt");
    EXPECT_EQ(record_.bytesDone, 0u);
}

TEST_F(LocalRestoreFolders, ASourceWithNoPlaceBelowTheChosenFolderFailsWithItsCode) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "a");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    backup.add(L"C:\\data\\a.txt", L"E:\\elsewhere\\f.txt");
    std::wstring catalogue = backup.end();
    add_drive('d');
    make_folder(L"D:\\r");
    define(catalogue, {L"C:\\data\\a.txt"}, "overwrite", "D:/r");
    auto storage = started();
    EXPECT_EQ(outcome(*storage, L"E:\\elsewhere\\f.txt"), "failed 161");
    EXPECT_EQ(outcome(*storage, L"C:\\data\\a.txt"), "ok");
    EXPECT_EQ(names_in(L"D:\\r"), "data");
}

using LocalRestoreErrors = LocalRestoreTest;

TEST_F(LocalRestoreErrors, TheListIsCountedAndNeverWrittenIntoARemovedHistory) {
    make_folder(L"C:\\data");
    make_file(L"C:\\data\\a.txt", "a");
    OfflineBackup backup(true);
    backup.add(L"C:\\data\\a.txt");
    define(backup.end(), {L"C:\\data\\a.txt", L"C:\\data\\b.txt"});
    const std::wstring folder = historyFolder(), err = folder + L"\\err";
    {
        // A run paused after one failure keeps it in its history folder.
        auto storage = started();
        EXPECT_EQ(outcome(*storage, L"C:\\data\\b.txt"), "failed 3");
        storage->addError(L"C:\\data\\b.txt", 3, nullptr);
        EXPECT_EQ(storage->errorCount(), 1);
    }
    EXPECT_EQ(python("import json; print(len(json.load(open('" + host_of(err) + "'))))"), "1");

    // The resumed run counts it with its own; its end writes both, and the
    // job's removal of the folder afterwards is final.
    auto storage = started();
    EXPECT_EQ(storage->errorCount(), 1);
    storage->addError(L"C:\\data\\c.txt", 5, L"denied");
    EXPECT_EQ(storage->errorCount(), 2);
    take_log();
    EXPECT_TRUE(storage->end(false));
    EXPECT_EQ(logged(), "2 item(s) of the completed restore failed.\n");
    EXPECT_EQ(python("import json; print([(e['path'], e['code'], e['reason']) for e in json.load("
                     "open('" +
                     host_of(err) + "'))][1])"),
              "('C:\\\\data\\\\c.txt', 5, 'denied')");
    EXPECT_EQ(rm_rf(folder.c_str(), TRUE), 0u);
    storage.reset();
    EXPECT_FALSE(exists(folder)) << "the history folder was made again";
    EXPECT_EQ(logged(), "");
}

TEST(LocalRestoreAfterABackupRun, ARealOfflineBackupComesBackBelowAnotherFolder) {
    tovel::testing::RemoteService service(
        {"--account", "alice:secret", "--cookie", "alice:sid=00112233445566778899aabbccddeeff"});
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", "sid=00112233445566778899aabbccddeeff"));
    make_folder(L"C:\\data\\sub");
    make_folder(L"C:\\backups");
    add_drive('d');
    make_file(L"C:\\data\\a.txt", "first file");
    make_file(L"C:\\data\\sub\\b.txt", patterned(300000));
    set_times(L"C:\\data\\a.txt", kT1, kT2);
    set_times(L"C:\\data\\sub\\b.txt", kT2, kT3);

    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    auto* backup = new BackupJobDefinition;
    json_spirit::Value value;
    ASSERT_TRUE(json_spirit::read(
        R"({"type":"backup","id":"6c2f1d3e-4a5b-4c6d-8e7f-8091a2b3c4d5","user":"alice",)"
        R"("name":"Offline","source":["C:\\data"],"offline":"C:\\backups",)"
        R"("compression":true,"schedule":{"type":"once"}})",
        value));
    ASSERT_TRUE(backup->fromJSON(value));
    ASSERT_TRUE(manager->submitJob(backup));
    int last = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (last == 0 && std::chrono::steady_clock::now() < deadline) {
        manager->job("6c2f1d3e-4a5b-4c6d-8e7f-8091a2b3c4d5",
                     [&](const Job& job) { last = job.lastRunState(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    manager->close();
    Iocp_Dispatcher::instance()->stop();
    ASSERT_EQ(last, JS_COMPLETED);
    std::wstring catalogue;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
        if (entry.path().extension() == ".cat")
            catalogue = L"C:\\backups\\" + from_utf8(entry.path().filename().string());
    ASSERT_FALSE(catalogue.empty());

    json_spirit::Object object;
    object["type"] = "restore";
    object["id"] = kJobId;
    object["name"] = "r";
    object["location"] = "D:/r";
    object["offline"] = catalogue;
    object["source"] = json_spirit::Array{json_spirit::Value("C:/data/a.txt"),
                                          json_spirit::Value("C:/data/sub/b.txt")};
    RestoreJobDefinition restore;
    value = json_spirit::Value(object);
    ASSERT_TRUE(restore.fromJSON(value));
    JobActivity record{};
    set_instance(record, 0x70);
    JobHistoryInfo history;
    LocalRestoreStorage storage(&restore, nullptr);
    ASSERT_TRUE(storage.start(&record, &history));
    EXPECT_EQ(record.totalFiles, 2u);
    EXPECT_EQ(record.totalBytes, 300010u);
    EXPECT_TRUE(storage.restore(L"C:\\data\\sub\\b.txt", L"", false, 2));
    EXPECT_TRUE(storage.restore(L"C:\\data\\a.txt", L"", false, 1));
    EXPECT_TRUE(storage.settle());
    EXPECT_EQ(times_of(L"D:\\r\\data\\a.txt"), times_text(kT1, kT2));
    EXPECT_EQ(times_of(L"D:\\r\\data\\sub\\b.txt"), times_text(kT2, kT3));
    EXPECT_EQ(read_host_file(host_of(L"D:\\r\\data\\a.txt")), "first file");
    EXPECT_EQ(read_host_file(host_of(L"D:\\r\\data\\sub\\b.txt")), patterned(300000));
}
