// The web restore storage against the remote-service simulator: the data are
// first backed up to it through the web backup storage with the real
// transformation, then restored.
#include "job/storage/web_restore_storage.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/appdata_path.h"
#include "common/json.h"
#include "common/md5.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/storage/web_backup_storage.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "job/tests/planted_form.h"
#include "job/tests/test_job.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;

namespace {

const char* kCookie = "sid=0123456789abcdef0123456789abcdef";
const char* kBackupJob = "5b0c1e2a-3f4d-4e5f-8a9b-0c1d2e3f4a5b";
const char* kRestoreJob = "6c1d2f3b-4a5e-4f60-9bac-1d2e3f4a5b6c";
constexpr uint64_t kBlock = WebRestoreStorage::kBlockSize;
constexpr DWORD kMalformed = 0x20010258;

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

// Bytes that do not compress, the same for the same seed.
std::string noise(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

FILETIME filetime(uint64_t value) {
    return {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}
uint64_t ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

WIN32_FILE_ATTRIBUTE_DATA attributes_of(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) << to_utf8(path);
    return data;
}

// Gives a file or folder a write time and an access time of the past.
void set_times(const std::wstring& path, uint64_t written, uint64_t accessed) {
    HANDLE handle =
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << to_utf8(path);
    FILETIME write = filetime(written), access = filetime(accessed);
    EXPECT_TRUE(SetFileTime(handle, nullptr, &access, &write));
    CloseHandle(handle);
}

// A fault posted over the agent's own client: its text may be longer than a
// command line takes.
class FaultRequest : public Request_T<std::string> {
public:
    FaultRequest() {
        method(kMethodWithBody);
        uri("/_sim/faults");
    }
    void text(std::string json) { body_ = std::move(json); }
};

class TestHandler : public WebClientEventHandler {
public:
    bool stopRequested(int) override { return stopTest && stopTest(); }
    std::function<bool()> stopTest;
};

class WebRestoreTest : public tovel::testing::LoggedTest {
protected:
    WebRestoreTest()
        : service_({"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie}),
          backupDefinition_(job_tests::make_definition(kBackupJob)) {}

    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", service_.port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        ASSERT_EQ(mkdir_p(L"C:\\data"), 0u);
    }

    void writeFile(const std::wstring& path, const std::string& bytes) {
        write_host_file(host_of(path), bytes);
    }
    std::string readFile(const std::wstring& path) { return read_host_file(host_of(path)); }

    // Backs the items up in a new run of the backup job (a folder is named
    // without its trailing separator). jobCompression is the service's
    // setting for the run, storedCompressed what the transformation does.
    // transformation (taken; null: the program's) makes the stored forms.
    void backUp(const std::vector<std::wstring>& items, bool jobCompression = false,
                bool storedCompressed = false, Transformation* transformation = nullptr) {
        service_.control("POST", "job",
                         std::string(R"({"id":")") + kBackupJob + R"(","compression":)" +
                             (jobCompression ? "true" : "false") + "}");
        JobActivity record{};
        UUID instance;
        ASSERT_EQ(UuidCreate(&instance), RPC_S_OK);
        std::memcpy(record.instanceId, &instance, sizeof instance);
        WebBackupStorage backup(backupDefinition_.get(), nullptr);
        ASSERT_TRUE(backup.init(
            &record, transformation ? transformation : new BackupTransformation(storedCompressed)));
        ASSERT_TRUE(backup.start());
        uint32_t index = 0;
        for (const std::wstring& item : items) {
            WIN32_FILE_ATTRIBUTE_DATA data = attributes_of(item);
            ASSERT_TRUE(backup.backupFile(item.c_str(), &data, ++index, nullptr)) << to_utf8(item);
        }
        ASSERT_TRUE(backup.end());
        backupInstance_ = backup.instanceId();
    }

    // A restore storage started for the last backup run.
    void startRestore(const std::string& existing = "overwrite", const std::string& location = "",
                      const std::string& user = "alice") {
        json_spirit::Value value = parse(
            std::string(R"({"type":"restore","id":")") + kRestoreJob + R"(","user":")" + user +
            R"(","name":"Restore","instanceId":")" + backupInstance_ + R"(","existing":")" +
            existing + R"(","source":["C:\\data\\a","C:\\data\\sub\\"])" +
            (location.empty() ? "" : R"(,"location":")" + location + "\"") + "}");
        restoreDefinition_ = std::make_unique<RestoreJobDefinition>();
        ASSERT_TRUE(restoreDefinition_->fromJSON(value));
        record_ = std::make_unique<JobActivity>();
        UUID instance;
        ASSERT_EQ(UuidCreate(&instance), RPC_S_OK);
        std::memcpy(record_->instanceId, &instance, sizeof instance);
        history_ = std::make_unique<JobHistoryInfo>();
        storage_ = std::make_unique<WebRestoreStorage>(restoreDefinition_.get(), &handler_);
        ASSERT_TRUE(storage_->start(record_.get(), history_.get())) << GetLastError();
    }

    // One item, then the end of its durable group (where its file takes its
    // place and counts), as a job that moves past the item would reach.
    bool restore(const std::wstring& path, bool folder, uint32_t index) {
        bool done = storage_->restore(path.c_str(), restoreDefinition_->machine(), folder, index);
        DWORD code = GetLastError();
        storage_->settle();
        SetLastError(code);
        return done;
    }

    json_spirit::Array requests(const std::string& kind) {
        return parse(service_.control("GET", "requests?kind=" + kind))
            .get_obj()["requests"]
            .get_array();
    }
    // The block numbers asked for since the log was last cleared, in order.
    std::vector<uint64_t> blocksAsked() {
        std::vector<uint64_t> out;
        for (json_spirit::Value& request : requests("download_data"))
            out.push_back(request.get_obj()["block"].get_uint64());
        return out;
    }
    void clearRequests() { service_.control("POST", "requests/clear"); }
    void fault(const std::string& json) { service_.control("POST", "faults", json); }
    void longFault(const std::string& json) {
        Invoker invoker;
        ASSERT_TRUE(invoker.server("127.0.0.1", service_.port(), 0));
        Command<FaultRequest, Response_T<std::string>> command("fault");
        command.request().text(json);
        ASSERT_EQ(invoker.invokeWithRetry(command), 0);
        ASSERT_EQ(command.response().status(), 200) << command.response().body();
    }
    json_spirit::Object instance(const std::string& id) {
        return parse(service_.control("GET", "instance?id=" + id)).get_obj();
    }

    // The names in a folder of the machine (a temporary file beside a
    // target shows).
    std::set<std::string> namesIn(const std::wstring& folder) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(host_of(folder)))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::wstring workFile(uint32_t index) {
        std::wstring path;
        return path_join_number(job_temp_path(kRestoreJob).c_str(), index, path);
    }

    RemoteService service_;
    std::unique_ptr<BackupJobDefinition> backupDefinition_;
    std::string backupInstance_;
    std::unique_ptr<RestoreJobDefinition> restoreDefinition_;
    std::unique_ptr<JobActivity> record_;
    std::unique_ptr<JobHistoryInfo> history_;
    TestHandler handler_;
    std::unique_ptr<WebRestoreStorage> storage_;
};

// A stored form made outside the program, handed to the backup as what its
// transformation made.
class PlantedForm : public Transformation {
public:
    explicit PlantedForm(std::string stored) : Transformation(true), stored_(std::move(stored)) {}
    bool transform(const wchar_t*, const wchar_t* target, const WIN32_FILE_ATTRIBUTE_DATA*,
                   interrupter*) override {
        write_host_file(host_of(target), stored_);
        return true;
    }

private:
    std::string stored_;
};

class WebRestoreStart : public WebRestoreTest {};
class WebRestoreRun : public WebRestoreTest {};
class WebRestorePlace : public WebRestoreTest {};
class WebRestoreResume : public WebRestoreTest {};
class WebRestoreReply : public WebRestoreTest {};
class WebRestoreEnd : public WebRestoreTest {};

constexpr uint64_t kWritten = 126000000000000000ull;  // early 2000
constexpr uint64_t kAccessed = 127000000000000000ull;

}  // namespace

TEST_F(WebRestoreStart, StartNeedsARecordAndACookieAndOpensTheRestoreRun) {
    backUp({});
    startRestore();
    json_spirit::Array started = requests("start_restore_job");
    ASSERT_EQ(started.size(), 1u);
    json_spirit::Object body = started[0].get_obj()["body"].get_obj();
    EXPECT_EQ(body["jobdefinitionid"].get_str(), kRestoreJob);
    EXPECT_EQ(body["jobinstanceid"].get_str(), storage_->instanceId());
    EXPECT_EQ(started[0].get_obj()["status"].get_int(), 200);

    JobHistoryInfo history;
    SetLastError(0);
    EXPECT_FALSE(storage_->start(nullptr, &history));
    EXPECT_EQ(GetLastError(), 22u);

    // bob has no session cookie.
    record_ = std::make_unique<JobActivity>();
    RestoreJobDefinition definition;
    ASSERT_TRUE(definition.fromJSON(parse(std::string(R"({"type":"restore","id":")") + kRestoreJob +
                                          R"(","user":"bob","name":"R","source":["C:\\a"]})")));
    WebRestoreStorage other(&definition, nullptr);
    EXPECT_FALSE(other.start(record_.get(), &history));
    EXPECT_EQ(GetLastError(), 0x20010191u);
    EXPECT_EQ(requests("start_restore_job").size(), 1u);
}

TEST_F(WebRestoreRun, FilesAndFoldersComeBackByteExactWithTheirTimes) {
    for (bool compressed : {true, false}) {
        SCOPED_TRACE(compressed);
        clearRequests();
        ASSERT_EQ(rm_rf(L"C:\\data", TRUE), 0u);
        ASSERT_EQ(mkdir_p(L"C:\\data\\empty"), 0u);
        ASSERT_EQ(mkdir_p(L"C:\\data\\deep"), 0u);
        const std::vector<std::wstring> files = {L"C:\\data\\zero", L"C:\\data\\big",
                                                 L"C:\\data\\deep\\small"};
        const std::vector<std::string> bytes = {"", noise(2 * kBlock + 5, 7), "a small file\n"};
        for (size_t i = 0; i < files.size(); ++i) {
            writeFile(files[i], bytes[i]);
            set_times(files[i], kWritten + i * 10000000, kAccessed + i * 10000000);
        }
        set_times(L"C:\\data\\empty", kWritten + 50000000, kAccessed + 50000000);
        backUp({L"C:\\data\\empty", L"C:\\data\\deep", files[0], files[1], files[2]}, compressed,
               compressed);
        ASSERT_EQ(rm_rf(L"C:\\data", TRUE), 0u);

        startRestore();
        ASSERT_TRUE(restore(L"C:\\data\\empty\\", true, 1));
        for (uint32_t i = 0; i < files.size(); ++i)
            ASSERT_TRUE(restore(files[i], false, i + 1)) << i << " " << GetLastError();

        WIN32_FILE_ATTRIBUTE_DATA folder = attributes_of(L"C:\\data\\empty");
        EXPECT_TRUE(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(ticks(folder.ftLastWriteTime), kWritten + 50000000);
        EXPECT_TRUE(dirExists(L"C:\\data\\deep"));
        for (size_t i = 0; i < files.size(); ++i) {
            WIN32_FILE_ATTRIBUTE_DATA data = attributes_of(files[i]);
            EXPECT_EQ(ticks(data.ftLastWriteTime), kWritten + i * 10000000) << i;
            EXPECT_EQ(ticks(data.ftLastAccessTime), kAccessed + i * 10000000) << i;
            EXPECT_EQ(readFile(files[i]), bytes[i]) << i;
            EXPECT_FALSE(fileExists(workFile(static_cast<uint32_t>(i + 1))));
        }
        EXPECT_EQ(record_->filesDone, 3u);
        EXPECT_EQ(record_->bytesDone, 2 * kBlock + 5 + bytes[2].size());
        EXPECT_EQ(record_->currentFileDone, 0u);
        // The big file's blocks are asked for once each, from the first on.
        std::vector<uint64_t> asked = blocksAsked();
        ASSERT_GE(asked.size(), 4u);  // at least 3 for the big file, 1 each for the others
        EXPECT_EQ(std::vector<uint64_t>(asked.begin() + 1, asked.begin() + 4),
                  (std::vector<uint64_t>{1, 2, 3}));
        json_spirit::Object history = history_->value();
        EXPECT_EQ(history["source"].get_array().size(), 3u);
    }
}

TEST_F(WebRestoreRun, TheStoredCompressionFlagDecidesTheTransformation) {
    const std::wstring path = L"C:\\data\\text";
    std::string text;
    for (int i = 0; text.size() < 3 * kBlock; ++i) text += "line " + std::to_string(i) + "\n";
    for (bool compressed : {true, false}) {
        SCOPED_TRACE(compressed);
        writeFile(path, text);
        backUp({path}, compressed, compressed);
        writeFile(path, "old");
        startRestore();
        ASSERT_TRUE(restore(path, false, 1)) << GetLastError();
        EXPECT_EQ(readFile(path), text);
    }

    // Stored plain, but described as compressed: the decompression refuses it
    // and the file there stays.
    writeFile(path, text);
    backUp({path}, true, false);
    writeFile(path, "old");
    startRestore();
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), 13u);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(record_->filesDone, 0u);

    // Stored compressed, described as plain: only decrypted.
    writeFile(path, text);
    backUp({path}, false, true);
    startRestore();
    ASSERT_TRUE(restore(path, false, 1));
    std::string restored = readFile(path);
    EXPECT_NE(restored, text);
    EXPECT_LT(restored.size(), text.size());
}

TEST_F(WebRestorePlace, ASkippedFileCountsAsDoneWithoutAskingTheService) {
    const std::wstring path = L"C:\\data\\kept";
    writeFile(path, "backed up");
    backUp({path});
    writeFile(path, "newer");
    startRestore("skip");
    ASSERT_TRUE(restore(path, false, 1));
    EXPECT_EQ(readFile(path), "newer");
    EXPECT_EQ(record_->bytesDone, 5u);
    EXPECT_EQ(record_->filesDone, 0u);
    EXPECT_TRUE(requests("get_file_info").empty());
}

// A folder asks the policy as a folder: a file at its place is neither a
// reason to skip it nor to rename it, and no folder is made over it.
TEST_F(WebRestorePlace, AFolderWhosePlaceHoldsAFileFails) {
    ASSERT_EQ(mkdir_p(L"C:\\data\\taken"), 0u);
    backUp({L"C:\\data\\taken"});
    ASSERT_EQ(rm_rf(L"C:\\data\\taken", TRUE), 0u);
    writeFile(L"C:\\data\\taken", "a file");
    for (const char* existing : {"skip", "rename", "overwrite"}) {
        SCOPED_TRACE(existing);
        startRestore(existing);
        SetLastError(0);
        EXPECT_FALSE(restore(L"C:\\data\\taken", true, 1));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
        EXPECT_EQ(readFile(L"C:\\data\\taken"), "a file");
        EXPECT_FALSE(dirExists(L"C:\\data\\taken.0"));
    }
    // An existing folder is left as it is.
    ASSERT_EQ(mkdir_p(L"C:\\data\\there"), 0u);
    set_times(L"C:\\data\\there", kWritten, kAccessed);
    ASSERT_TRUE(restore(L"C:\\data\\there\\", true, 2));
    EXPECT_EQ(ticks(attributes_of(L"C:\\data\\there").ftLastWriteTime), kWritten);
    EXPECT_TRUE(requests("get_file_info").empty());
}

TEST_F(WebRestorePlace, AnotherFolderTakesThePartBelowTheBase) {
    const std::wstring path = L"C:\\data\\a";
    writeFile(path, "to another place");
    set_times(path, kWritten, kAccessed);
    backUp({path});
    startRestore("overwrite", "C:/restored/");
    ASSERT_TRUE(restore(path, false, 1)) << GetLastError();
    EXPECT_EQ(readFile(L"C:\\restored\\data\\a"), "to another place");
    EXPECT_EQ(ticks(attributes_of(L"C:\\restored\\data\\a").ftLastWriteTime), kWritten);

    // No place below the folder: the item fails, it is not a skip.
    SetLastError(0);
    EXPECT_FALSE(restore(L"E:\\elsewhere\\x", false, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(record_->bytesDone, 16u);
}

// Stored in over 1 MiB, the file is turned back while its blocks come: the
// stop drops what was turned back, and the next attempt turns back what the
// work file holds before the blocks it still lacks.
TEST_F(WebRestoreResume, AStopAfterSomeBlocksResumesAtTheNextBlock) {
    const std::wstring path = L"C:\\data\\ten";
    const std::string bytes = noise(9 * kBlock + 100, 3);  // 10 blocks stored
    writeFile(path, bytes);
    backUp({path});
    writeFile(path, "old");
    startRestore();
    clearRequests();
    handler_.stopTest = [&] { return record_->currentFileDone >= 3 * kBlock; };
    ASSERT_TRUE(restore(path, false, 4));
    EXPECT_EQ(record_->currentFileDone, 3 * kBlock);
    EXPECT_EQ(read_host_file(host_of(workFile(4))).size(), 3 * kBlock);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(namesIn(L"C:\\data"), (std::set<std::string>{"ten"}));
    EXPECT_EQ(blocksAsked(), (std::vector<uint64_t>{1, 2, 3}));

    handler_.stopTest = nullptr;
    clearRequests();
    ASSERT_TRUE(restore(path, false, 4));
    EXPECT_EQ(blocksAsked(), (std::vector<uint64_t>{4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(readFile(path), bytes);
    EXPECT_EQ(namesIn(L"C:\\data"), (std::set<std::string>{"ten"}));
    EXPECT_FALSE(fileExists(workFile(4)));
    EXPECT_EQ(record_->bytesTransferred, 9 * kBlock + 112);  // the padded cipher text
    EXPECT_EQ(record_->filesDone, 1u);
    EXPECT_EQ(record_->currentFileDone, 0u);
}

TEST_F(WebRestoreResume, AWorkFileShorterThanTheOffsetRestartsAtBlockOne) {
    const std::wstring path = L"C:\\data\\five";
    const std::string bytes = noise(4 * kBlock + 100, 4);
    writeFile(path, bytes);
    backUp({path});
    startRestore();
    handler_.stopTest = [&] { return record_->currentFileDone >= 3 * kBlock; };
    ASSERT_TRUE(restore(path, false, 2));
    std::string work = read_host_file(host_of(workFile(2)));
    write_host_file(host_of(workFile(2)), work.substr(0, kBlock + 7));

    handler_.stopTest = nullptr;
    clearRequests();
    logged();
    ASSERT_TRUE(restore(path, false, 2));
    EXPECT_EQ(blocksAsked(), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_NE(logged().find("File size is smaller than file offset recorded by job activity.\n"),
              std::string::npos);
    EXPECT_EQ(readFile(path), bytes);
}

TEST_F(WebRestoreResume, WhatAnEarlierAttemptLeftBehindTheOffsetIsCutAway) {
    const std::wstring small = L"C:\\data\\small", two = L"C:\\data\\two";
    writeFile(small, "one block");
    const std::string bytes = noise(kBlock + 10, 5);
    writeFile(two, bytes);
    backUp({small, two});
    startRestore();

    // A leftover work file of the same index, longer than the whole item.
    write_host_file(host_of(workFile(1)), std::string(3 * kBlock, 'z'));
    ASSERT_TRUE(restore(small, false, 1)) << GetLastError();
    EXPECT_EQ(readFile(small), "one block");

    // Stopped after its first block; the work file then gained a tail.
    handler_.stopTest = [&] { return record_->currentFileDone >= kBlock; };
    ASSERT_TRUE(restore(two, false, 2));
    handler_.stopTest = nullptr;
    std::string work = read_host_file(host_of(workFile(2)));
    ASSERT_EQ(work.size(), kBlock);
    write_host_file(host_of(workFile(2)), work + std::string(2 * kBlock, 'z'));
    clearRequests();
    ASSERT_TRUE(restore(two, false, 2)) << GetLastError();
    EXPECT_EQ(blocksAsked(), (std::vector<uint64_t>{2}));
    EXPECT_EQ(readFile(two), bytes);
}

TEST_F(WebRestoreReply, ABlockThatIsNotItsDigestFailsTheItemAndKeepsTheTarget) {
    const std::wstring path = L"C:\\data\\f";
    writeFile(path, noise(9 * kBlock, 6));  // turned back while its blocks come
    backUp({path});
    writeFile(path, "old");
    startRestore();
    fault(R"({"kind":"download_data","action":"body","skip":1,"times":1,)"
          R"("body":"0123456789abcdef0123456789abcdefdata that is not the block"})");
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), kMalformed);
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(namesIn(L"C:\\data"), (std::set<std::string>{"f"}));
    EXPECT_FALSE(fileExists(workFile(1)));
    EXPECT_EQ(record_->currentFileDone, 0u);
    EXPECT_EQ(record_->bytesTransferred, kBlock);  // the first block only
    EXPECT_EQ(record_->filesDone, 0u);
    EXPECT_NE(logged().find("is not the MD5 {0123456789abcdef0123456789abcdef} sent with it"),
              std::string::npos);

    // The next attempt starts over and restores the file.
    ASSERT_TRUE(restore(path, false, 1));
    EXPECT_EQ(readFile(path), noise(9 * kBlock, 6));
}

// Damage that only the last blocks show (bytes after the end of the zlib
// stream, a stream cut short) fails an item turned back while its blocks
// come as it fails one turned back whole: 13, the target as it was, nothing
// beside it. The stored forms are made by python3's zlib and openssl; the
// same form undamaged comes back.
TEST_F(WebRestoreReply, DamageInALateBlockFailsTheItemAndKeepsTheTarget) {
    const std::wstring path = L"C:\\data\\late";
    const std::string data = noise(11 * kBlock + 7, 8);
    struct Case {
        const char* what;
        std::string after, change;
    } cases[] = {
        {"undamaged", "", ""},
        {"a byte after the stream's end", "x", ""},
        {"a block after the stream's end", noise(kBlock, 9), ""},
        {"the stream cut short", "", "del z[-5:]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string stored = planted_form::planted_stored_form(data, c.after, c.change);
        ASSERT_GT(stored.size(), WebRestoreStorage::kInMemoryBytes);
        writeFile(path, data);
        backUp({path}, true, true, new PlantedForm(stored));
        writeFile(path, "old");
        startRestore();
        clearRequests();
        logged();
        SetLastError(0);
        bool restored = restore(path, false, 1);
        std::string log = logged();
        EXPECT_EQ(blocksAsked().size(), (stored.size() + kBlock - 1) / kBlock);
        EXPECT_EQ(namesIn(L"C:\\data"), (std::set<std::string>{"late"}));
        if (c.after.empty() && c.change.empty()) {
            EXPECT_TRUE(restored) << GetLastError() << " " << log;
            EXPECT_TRUE(readFile(path) == data);
            EXPECT_EQ(record_->filesDone, 1u);
            continue;
        }
        EXPECT_FALSE(restored);
        EXPECT_EQ(GetLastError(), 13u);
        EXPECT_EQ(readFile(path), "old");
        EXPECT_EQ(record_->filesDone, 0u);
        EXPECT_NE(log.find("Failed to decrypt and decompress " + to_utf8(workFile(1)) + ", "),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("error-code = 13"), std::string::npos) << log;
    }
}

TEST_F(WebRestoreReply, ABodyShorterThanADigestIsMalformedAndADigestAloneWritesNothing) {
    const std::wstring path = L"C:\\data\\f";
    writeFile(path, "some data");
    backUp({path});
    writeFile(path, "old");
    startRestore();

    fault(R"({"kind":"download_data","action":"body","times":1,)"
          R"("body":"0123456789abcdef0123456789abcde"})");
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), kMalformed);
    EXPECT_NE(logged().find("{size: 31} is small than the MD5 size {32 bytes}"), std::string::npos);

    // The digest of nothing (in capitals, which count as well) and no data:
    // nothing is written, and the item lacks its data.
    const std::string empty = MD5(std::string()).hexdigest();
    std::string upper;
    for (char c : empty) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    fault(R"({"kind":"download_data","action":"body","times":1,"body":")" + upper + "\"}");
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), kMalformed);
    std::string log = logged();
    EXPECT_NE(log.find("the stored blocks end at {0}, before its size {16}"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("sent with it"), std::string::npos);
    EXPECT_EQ(record_->bytesTransferred, 0u);
    EXPECT_EQ(readFile(path), "old");
}

TEST_F(WebRestoreReply, ABodyLongerThanABlockAndItsDigestIsNotRead) {
    const std::wstring path = L"C:\\data\\f";
    writeFile(path, "some data");
    backUp({path});
    startRestore();

    // Announced far longer than it is: refused from its head, not allocated.
    fault(R"({"kind":"download_data","action":"content_length","delta":1073741824,"times":2})");
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), kMalformed);
    EXPECT_NE(logged().find("is over its limit"), std::string::npos);

    // One byte over a whole block with its digest, well-formed otherwise.
    const std::string data(kBlock + 1, 'a');
    longFault(R"({"kind":"download_data","action":"body","times":2,"body":")" +
              MD5(data).hexdigest() + data + "\"}");
    SetLastError(0);
    EXPECT_FALSE(restore(path, false, 1));
    EXPECT_EQ(GetLastError(), kMalformed);
    EXPECT_NE(logged().find("is over its limit"), std::string::npos);
    EXPECT_EQ(record_->bytesTransferred, 0u);

    // The bound holds for the blocks only.
    ASSERT_TRUE(restore(path, false, 1)) << GetLastError();
    EXPECT_EQ(readFile(path), "some data");
}

TEST_F(WebRestoreReply, TheHalvesOfTheStoredSizeAreUnsigned) {
    const std::wstring path = L"C:\\data\\f";
    writeFile(path, "some data");
    backUp({path});
    startRestore();
    // The low half 2^31 + 648 travels as a negative number.
    fault(R"({"kind":"get_file_info","action":"body","times":1,"body":)"
          R"("{\"totalblock\":49153,\"totalsizeHigh\":1,\"totalsizeLow\":-2147483000,)"
          R"(\"compression\":false,\"attrib\":{\"dwFileAttributes\":32,)"
          R"(\"nFileSizeHigh\":0,\"nFileSizeLow\":-5,)"
          R"(\"ftCreationTimedwHighDateTime\":1,\"ftCreationTimedwLowDateTime\":-1,)"
          R"(\"ftLastAccessTimedwHighDateTime\":1,\"ftLastAccessTimedwLowDateTime\":2,)"
          R"(\"ftLastWriteTimedwHighDateTime\":1,\"ftLastWriteTimedwLowDateTime\":3}}"})");
    handler_.stopTest = [&] { return record_->currentFileDone > 0; };
    ASSERT_TRUE(restore(path, false, 1)) << GetLastError();
    EXPECT_EQ(record_->currentFileSize, (uint64_t{1} << 32) + 2147484296u);
    EXPECT_EQ(record_->currentFileDone, 16u);
}

TEST_F(WebRestoreReply, AMalformedDescriptionFailsTheItem) {
    const std::wstring path = L"C:\\data\\f";
    writeFile(path, "some data");
    backUp({path});
    startRestore();
    const std::pair<const char*, const char*> cases[] = {
        {R"([1])", "server response is not json object"},
        {R"({\"totalblock\":-1})", "can't get \"total block\" value"},
        {R"({\"totalblock\":1,\"totalsizeHigh\":0,\"totalsizeLow\":4294967296})",
         "can't get \"total size\" value"},
        {R"({\"totalblock\":1,\"totalsizeHigh\":0,\"totalsizeLow\":16,\"compression\":1})",
         "can't get \"compression\" value"},
        {R"({\"totalblock\":1,\"totalsizeHigh\":0,\"totalsizeLow\":16,\"compression\":true,)"
         R"(\"attrib\":{\"dwFileAttributes\":32}})",
         "can't get \"file size\" value"},
    };
    for (const auto& [body, message] : cases) {
        SCOPED_TRACE(body);
        fault(std::string(R"({"kind":"get_file_info","action":"body","times":1,"body":")") + body +
              "\"}");
        SetLastError(0);
        EXPECT_FALSE(restore(path, false, 1));
        EXPECT_EQ(GetLastError(), kMalformed);
        EXPECT_NE(logged().find(message), std::string::npos);
    }
    EXPECT_TRUE(requests("download_data").empty());
}

TEST_F(WebRestoreEnd, EndSubmitsTheErrorsAndThenTheHistory) {
    backUp({});
    startRestore();
    ASSERT_TRUE(storage_->addError(L"C:\\data\\gone", 5, nullptr));
    ASSERT_TRUE(history_->setInstanceId(storage_->instanceId().c_str()));
    SetLastError(1234);
    ASSERT_TRUE(storage_->end(false));
    EXPECT_EQ(GetLastError(), 1234u);
    json_spirit::Array errors = requests("submit_errors"), histories = requests("submit_history");
    ASSERT_EQ(errors.size(), 1u);
    ASSERT_EQ(histories.size(), 1u);
    EXPECT_LT(errors[0].get_obj()["seq"].get_int(), histories[0].get_obj()["seq"].get_int());
    json_spirit::Object run = instance(storage_->instanceId());
    EXPECT_EQ(run["state"].get_str(), "ended");
    ASSERT_EQ(run["errors"].get_array().size(), 1u);
    EXPECT_EQ(run["errors"].get_array()[0].get_obj()["path"].get_str(), "C:\\data\\gone");
    EXPECT_EQ(run["history"].get_obj()["instanceId"].get_str(), storage_->instanceId());

    // Without errors only the history goes.
    startRestore();
    ASSERT_TRUE(history_->setInstanceId(storage_->instanceId().c_str()));
    ASSERT_TRUE(storage_->end(true));
    EXPECT_EQ(requests("submit_errors").size(), 1u);
    EXPECT_EQ(requests("submit_history").size(), 2u);
}

TEST_F(WebRestoreEnd, RefusedErrorsDoNotKeepTheHistoryBackARefusedHistoryFails) {
    backUp({});
    startRestore();
    ASSERT_TRUE(storage_->addError(L"C:\\data\\gone", 5, nullptr));
    ASSERT_TRUE(history_->setInstanceId(storage_->instanceId().c_str()));
    fault(R"({"kind":"submit_errors","action":"status","status":503})");
    SetLastError(0);
    EXPECT_TRUE(storage_->end(false));
    EXPECT_EQ(GetLastError(), 0x20010000u | 503);
    EXPECT_EQ(instance(storage_->instanceId())["state"].get_str(), "ended");

    fault(R"({"kind":"submit_history","action":"status","status":500,"times":1})");
    SetLastError(0);
    EXPECT_FALSE(storage_->end(false));
    EXPECT_EQ(GetLastError(), 0x20010000u | 500);
}
