// The web backup storage against the remote-service simulator, with a
// transformation that copies, so that the stored bytes are the file's own.
#include "job/storage/web_backup_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/appdata_path.h"
#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "job/tests/test_job.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "wirekit/http_timeouts.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;

namespace {

const char* kCookie = "sid=0123456789abcdef0123456789abcdef";
const char* kJob = "5b0c1e2a-3f4d-4e5f-8a9b-0c1d2e3f4a5b";
constexpr size_t kBlock = WebBackupStorage::kBlockSize;

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

class CopyTransformation : public Transformation {
public:
    explicit CopyTransformation(int& calls) : Transformation(false), calls_(calls) {}
    bool transform(const wchar_t* source, const wchar_t* target, const WIN32_FILE_ATTRIBUTE_DATA*,
                   interrupter*) override {
        ++calls_;
        write_host_file(host_of(target), read_host_file(host_of(source)));
        return true;
    }

private:
    int& calls_;
};

class TestHandler : public WebClientEventHandler {
public:
    bool stopRequested(int) override { return stopTest && stopTest(); }
    std::function<bool()> stopTest;
};

// A block upload as the simulator logged it: its number and the reply's status.
using Block = std::pair<int, int>;

class WebBackupStorageTest : public tovel::testing::LoggedTest {
protected:
    WebBackupStorageTest()
        : service_({"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie}),
          definition_(job_tests::make_definition(kJob)),
          record_(std::make_unique<JobActivity>()) {}

    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", service_.port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        ASSERT_EQ(mkdir_p(L"C:\\data"), 0u);
        ASSERT_NO_FATAL_FAILURE(begin(new CopyTransformation(transforms_)));
    }
    // A new run on record_ (a new instance) with a storage of its own.
    void begin(Transformation* transformation) {
        UUID instance;
        ASSERT_EQ(UuidCreate(&instance), RPC_S_OK);
        std::memcpy(record_->instanceId, &instance, sizeof instance);
        storage_ = std::make_unique<WebBackupStorage>(definition_.get(), &handler_);
        ASSERT_TRUE(storage_->init(record_.get(), transformation));
        ASSERT_TRUE(storage_->start());
    }

    // Writes a source file of size bytes that differ from block to block and
    // never end in a line break (see stored).
    std::string source(const std::wstring& path, size_t size, char seed = 'a') {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(seed + (i / 997 + i % 7) % 26);
        write_host_file(host_of(path), bytes);
        return bytes;
    }
    bool backup(const std::wstring& path, uint32_t index) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
        return storage_->backupFile(path.c_str(), &data, index, nullptr);
    }
    // The stored bytes of a complete file.
    std::string stored(const std::wstring& path) {
        std::string bytes = service_.control(
            "GET", "file?instance=" + storage_->instanceId() +
                       "&name=" + tovel::testing::RemoteService::query_text(to_utf8(path)));
        if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();  // the ctl tool adds one
        return bytes;
    }
    json_spirit::Array requests(const std::string& kind) {
        return parse(service_.control("GET", "requests?kind=" + kind))
            .get_obj()["requests"]
            .get_array();
    }
    std::vector<Block> blocks(const std::wstring& path) {
        std::vector<Block> out;
        for (json_spirit::Value& request : requests("upload_data")) {
            json_spirit::Object& entry = request.get_obj();
            if (entry["sourcename"].get_str() == to_utf8(path))
                out.push_back({entry["block"].get_int(), entry["status"].get_int()});
        }
        return out;
    }
    bool workFile(uint32_t index) {
        std::wstring path;
        return fileExists(path_join_number(job_temp_path(kJob).c_str(), index, path));
    }
    void fault(const std::string& json) { service_.control("POST", "faults", json); }

    RemoteService service_;
    std::unique_ptr<BackupJobDefinition> definition_;
    std::unique_ptr<JobActivity> record_;
    TestHandler handler_;
    int transforms_ = 0;
    std::unique_ptr<WebBackupStorage> storage_;
};

class WebBackupStorageRun : public WebBackupStorageTest {};
class WebBackupStorageResume : public WebBackupStorageTest {};

const DWORD kRefused = 0x20010000 | 503;

}  // namespace

TEST_F(WebBackupStorageRun, FoldersAndFilesOfEverySizeAreStoredByteExact) {
    ASSERT_EQ(mkdir_p(L"C:\\data\\sub"), 0u);
    ASSERT_TRUE(backup(L"C:\\data\\sub", 0));
    const size_t sizes[] = {0, 1, kBlock, 2 * kBlock + 5};
    const uint64_t announced[] = {1, 1, 2, 3};
    std::vector<std::string> bytes;
    for (uint32_t i = 0; i < 4; ++i) {
        std::wstring path = L"C:\\data\\sub\\f" + std::to_wstring(i);
        bytes.push_back(source(path, sizes[i]));
        ASSERT_TRUE(backup(path, i + 1)) << i;
        EXPECT_FALSE(workFile(i + 1));
    }
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(stored(L"C:\\data\\sub\\f" + std::to_wstring(i)), bytes[i]) << i;

    json_spirit::Array files = requests("upload_file");
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(files[0].get_obj()["body"].get_obj()["totalblock"].get_uint64(), 0u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(files[i + 1].get_obj()["body"].get_obj()["totalblock"].get_uint64(),
                  announced[i]);
    EXPECT_TRUE(blocks(L"C:\\data\\sub\\f0").empty());  // never an empty block
    EXPECT_EQ(blocks(L"C:\\data\\sub\\f2"), (std::vector<Block>{{1, 200}}));
    EXPECT_EQ(record_->filesDone, 5u);
    EXPECT_EQ(record_->bytesDone, 3 * kBlock + 6);
    EXPECT_EQ(record_->bytesTransferred, 3 * kBlock + 6);
}

TEST_F(WebBackupStorageRun, EndSubmitsTheErrorsAndEndsTheRunCancelStopsIt) {
    ASSERT_TRUE(storage_->addError(L"C:\\data\\gone", 5, nullptr));
    ASSERT_TRUE(storage_->end());
    json_spirit::Value instance =
        parse(service_.control("GET", "instance?id=" + storage_->instanceId()));
    EXPECT_EQ(instance.get_obj()["state"].get_str(), "completed");
    json_spirit::Array& errors = instance.get_obj()["errors"].get_array();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].get_obj()["path"].get_str(), "C:\\data\\gone");

    // Another run, cancelled.
    UUID other;
    UuidCreate(&other);
    std::memcpy(record_->instanceId, &other, sizeof other);
    ASSERT_TRUE(storage_->init(record_.get(), nullptr));
    ASSERT_TRUE(storage_->start());
    ASSERT_TRUE(storage_->cancel());
    instance = parse(service_.control("GET", "instance?id=" + storage_->instanceId()));
    EXPECT_EQ(instance.get_obj()["state"].get_str(), "cancelled");
    EXPECT_FALSE(storage_->end());
    EXPECT_EQ(GetLastError(), 0x20010000u | 409);
}

// A file written to while it is read: the real transformation reads it
// through the storage, which asks the job's stop test once per 2 MiB read;
// there, on the reading thread, the test changes the file as another writer
// would. What the service keeps of each file must decode (openssl) to the
// size it was described with; a file that changed during both reads is in
// the run's error list.
TEST_F(WebBackupStorageRun, AFileChangedWhileReadIsDescribedWithTheSizeSent) {
    constexpr size_t kSize = 3 << 20, kCut = 256 << 10;
    const std::wstring grows = L"C:\\data\\grows", shrinks = L"C:\\data\\shrinks";
    source(grows, kSize, 'a');
    std::string cut = source(shrinks, kSize, 'b').substr(0, kSize - 2 * kCut);
    ASSERT_TRUE(storage_->init(record_.get(), new BackupTransformation(false)));
    int asks = 0;
    // The first asks come from the reads of the file; the later ones from
    // the block loop.
    handler_.stopTest = [&] {
        if (asks++ == 0)  // appended once: the second read finds the file steady
            write_host_file(host_of(grows),
                            read_host_file(host_of(grows)) + std::string(100000, 'g'));
        return false;
    };
    ASSERT_TRUE(backup(grows, 1));
    asks = 0;
    handler_.stopTest = [&] {
        int ask = asks++;
        if (ask < 2) {  // cut during both reads
            EXPECT_EQ(::truncate(host_of(shrinks).c_str(), kSize - (ask + 1) * kCut), 0);
        }
        return false;
    };
    ASSERT_TRUE(backup(shrinks, 2));
    handler_.stopTest = nullptr;
    ASSERT_TRUE(storage_->end());

    // What the service keeps, from its state folder: the description and
    // the blocks of each file.
    std::string files = tovel::testing::machine_root() + "/remote-service/instances/" +
                        storage_->instanceId() + "/files";
    std::map<std::string, std::pair<uint64_t, std::string>> kept;
    for (const auto& entry : std::filesystem::directory_iterator(files)) {
        json_spirit::Object meta =
            parse(read_host_file(entry.path().string() + "/meta.json")).get_obj();
        const json_spirit::Object& attri = meta.at("attri").get_obj();
        uint64_t described = static_cast<uint64_t>(attri.at("nFileSizeHigh").get_int64()) << 32 |
                             static_cast<uint32_t>(attri.at("nFileSizeLow").get_int64());
        std::string data = entry.path().string() + "/data";
        std::string blocks;
        for (int block = 1;
             std::filesystem::exists(entry.path() / (std::to_string(block) + ".blk")); ++block)
            blocks += read_host_file((entry.path() / (std::to_string(block) + ".blk")).string());
        write_host_file(data, blocks);
        kept[meta.at("name").get_str()] = {described, tovel::testing::decode_stored(data, false)};
    }
    ASSERT_EQ(kept.size(), 2u);
    // Read again after the change: the whole grown file.
    EXPECT_EQ(kept["C:\\data\\grows"].first, kSize + 100000);
    EXPECT_EQ(kept["C:\\data\\grows"].second, read_host_file(host_of(grows)));
    // Cut during both reads: what the second read got.
    EXPECT_EQ(kept["C:\\data\\shrinks"].first, kSize - 2 * kCut);
    EXPECT_EQ(kept["C:\\data\\shrinks"].second, cut);
    EXPECT_EQ(record_->bytesDone, 2 * kSize + 100000 - 2 * kCut);

    json_spirit::Value instance =
        parse(service_.control("GET", "instance?id=" + storage_->instanceId()));
    json_spirit::Array& errors = instance.get_obj()["errors"].get_array();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].get_obj()["path"].get_str(), "C:\\data\\shrinks");
    EXPECT_EQ(errors[0].get_obj()["code"].get_int64(), 32);
    EXPECT_EQ(errors[0].get_obj()["reason"].get_str(), "changed while read");
}

TEST_F(WebBackupStorageRun, ARotatedCookieIsUsedForTheFollowingRequests) {
    fault(R"({"kind":"upload_file","action":"rotate_cookie","times":1})");
    std::wstring path = L"C:\\data\\a";
    std::string bytes = source(path, kBlock + 1);
    ASSERT_TRUE(backup(path, 3));
    EXPECT_NE(storage_->cookie(), kCookie);
    for (json_spirit::Value& request : requests("upload_data")) {
        EXPECT_EQ(request.get_obj()["headers"].get_obj()["Cookie"].get_str(), storage_->cookie());
        EXPECT_EQ(request.get_obj()["status"].get_int(), 200);
    }
    EXPECT_EQ(stored(path), bytes);
}

TEST_F(WebBackupStorageResume, ARefusedBlockFailsTheItemAndItResumesAtThatBlock) {
    std::wstring path = L"C:\\data\\zero";
    std::string first = source(path, 3 * kBlock);
    fault(
        R"({"kind":"upload_data","action":"status","status":503,"process":true,"skip":1,"times":1})");
    SetLastError(0);
    EXPECT_FALSE(backup(path, 0));  // item 0 is an item like any other
    EXPECT_EQ(GetLastError(), kRefused);
    EXPECT_TRUE(workFile(0));  // kept while the item is the current one

    // The resumed upload sends the work file as it was transformed, not a
    // mix with the source's newer content.
    source(path, 3 * kBlock, 'x');
    ASSERT_TRUE(backup(path, 0));
    EXPECT_EQ(transforms_, 1);
    EXPECT_EQ(blocks(path), (std::vector<Block>{{1, 200}, {2, 503}, {2, 200}, {3, 200}}));
    EXPECT_EQ(stored(path), first);
    EXPECT_FALSE(workFile(0));
    EXPECT_EQ(record_->bytesTransferred, 3 * kBlock);
}

TEST_F(WebBackupStorageResume, ADroppedOrStalledReplyFailsWithANetworkCodeAndResumes) {
    set_http_client_timeouts({5000, 3000, 3000});
    ASSERT_TRUE(storage_->start());  // a resumed start, on a connection with the short time-outs
    std::wstring path = L"C:\\data\\net";
    std::string bytes = source(path, 2 * kBlock + 9);
    fault(R"({"kind":"upload_data","action":"drop","reset":true,"skip":1,"times":2})");
    EXPECT_FALSE(backup(path, 4));
    EXPECT_EQ(GetLastError(), 10054u);
    fault(R"({"kind":"upload_data","action":"stall","seconds":30,"skip":1,"times":2})");
    EXPECT_FALSE(backup(path, 4));
    EXPECT_EQ(GetLastError(), 10060u);
    ASSERT_TRUE(backup(path, 4));
    // Each attempt is sent twice by the command layer; the block whose reply
    // was lost is sent again on resumption, and no other.
    std::vector<int> numbers;
    for (const Block& block : blocks(path)) numbers.push_back(block.first);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 2, 2, 3, 3, 3}));
    EXPECT_EQ(stored(path), bytes);
}

TEST_F(WebBackupStorageResume, AnItemAfterAFailedOneIsSentFromItsFirstBlock) {
    std::wstring failed = L"C:\\data\\failed", next = L"C:\\data\\next";
    source(failed, 3 * kBlock);
    std::string bytes = source(next, 2 * kBlock + 1, 'q');
    fault(
        R"({"kind":"upload_data","action":"status","status":503,"process":true,"skip":2,"times":1})");
    EXPECT_FALSE(backup(failed, 6));
    ASSERT_TRUE(backup(next, 7));
    EXPECT_FALSE(workFile(6));  // the failed item ended when another one came
    EXPECT_EQ(blocks(next), (std::vector<Block>{{1, 200}, {2, 200}, {3, 200}}));
    EXPECT_EQ(stored(next), bytes);
}

TEST_F(WebBackupStorageResume, AFreshRecordNeverResumesALeftoverWorkFile) {
    std::wstring path = L"C:\\data\\fresh", work;
    std::string bytes = source(path, kBlock + 3);
    path_join_number(job_temp_path(kJob).c_str(), 0, work);
    // Left by an earlier run; as empty as the zeroed record's file size says.
    write_host_file(host_of(work), "");
    ASSERT_TRUE(backup(path, 0));
    EXPECT_EQ(transforms_, 1);
    EXPECT_EQ(stored(path), bytes);
}

TEST_F(WebBackupStorageResume, AStopBetweenBlocksLeavesTheFileHalfSent) {
    std::wstring path = L"C:\\data\\stop";
    std::string bytes = source(path, 2 * kBlock + 1);
    // A stop once the first block was accepted (the exchanges ask too).
    handler_.stopTest = [&] { return record_->currentFileDone == kBlock; };
    ASSERT_TRUE(backup(path, 5));
    EXPECT_EQ(record_->currentFileDone, kBlock);
    EXPECT_EQ(record_->filesDone, 0u);
    handler_.stopTest = nullptr;
    ASSERT_TRUE(backup(path, 5));
    EXPECT_EQ(blocks(path), (std::vector<Block>{{1, 200}, {2, 200}, {3, 200}}));
    EXPECT_EQ(stored(path), bytes);
    EXPECT_EQ(transforms_, 1);
}

TEST_F(WebBackupStorageResume, AReadErrorOfTheWorkFileFailsTheItem) {
    std::wstring path = L"C:\\data\\unreadable", work;
    source(path, 3 * kBlock);
    path_join_number(job_temp_path(kJob).c_str(), 8, work);
    // After the first block is read (the first question while the work file
    // is open), the work file's descriptor is made to name a folder, so that
    // the next read fails.
    bool swapped = false;
    handler_.stopTest = [&] {
        if (swapped) return false;
        std::error_code missing;
        std::filesystem::path target = std::filesystem::canonical(host_of(work), missing);
        if (missing) return false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ignored;
            if (std::filesystem::read_symlink(entry.path(), ignored) != target) continue;
            int folder = open(tovel::testing::machine_root().c_str(), O_RDONLY | O_DIRECTORY);
            dup2(folder, std::stoi(entry.path().filename().string()));
            close(folder);
            swapped = true;
        }
        return false;
    };
    SetLastError(0);
    EXPECT_FALSE(backup(path, 8));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(blocks(path), (std::vector<Block>{{1, 200}}));
    EXPECT_EQ(record_->filesDone, 0u);
    EXPECT_FALSE(workFile(8));
    EXPECT_NE(logged().find("Read file {"), std::string::npos);
}

// The real transformation holds a file it reads whole in memory, and the
// storage sends it from there: a file of one block never has a work file,
// one of more blocks gets it once its first block is accepted, so that a
// stop (or a cut) after that goes on at the next block, with the bytes
// transformed first; a refusal of the first block sends the item again from
// its transformation. The service keeps what openssl and zlib decode to the
// sources.
TEST_F(WebBackupStorageResume, AFileReadWholeIsSentFromMemoryAndKeptOnlyToGoOnAtABlock) {
    auto decoded = [&](const std::wstring& path, bool compressed) {
        std::string file = tovel::testing::machine_root() + "/stored.bin";
        write_host_file(file, stored(path));
        return tovel::testing::decode_stored(file, compressed);
    };
    ASSERT_TRUE(storage_->init(record_.get(), new BackupTransformation(true)));
    const std::wstring small = L"C:\\data\\small";
    std::string bytes = source(small, 1000);
    bool seen = false;
    handler_.stopTest = [&] {
        seen = seen || workFile(1);
        return false;
    };
    ASSERT_TRUE(backup(small, 1));
    EXPECT_FALSE(seen);
    EXPECT_TRUE(decoded(small, true) == bytes);

    // Uncompressed, so that 2 blocks and 1 byte are stored in three blocks.
    ASSERT_TRUE(storage_->init(record_.get(), new BackupTransformation(false)));
    const std::wstring large = L"C:\\data\\large";
    bytes = source(large, 2 * kBlock + 1);
    handler_.stopTest = [&] {
        if (record_->currentFileDone == 0) seen = seen || workFile(2);
        return record_->currentFileDone == kBlock;
    };
    ASSERT_TRUE(backup(large, 2));
    EXPECT_FALSE(seen);
    EXPECT_EQ(record_->currentFileDone, kBlock);
    EXPECT_TRUE(workFile(2));
    handler_.stopTest = nullptr;
    source(large, 2 * kBlock + 1, 'x');
    ASSERT_TRUE(backup(large, 2));
    EXPECT_EQ(blocks(large), (std::vector<Block>{{1, 200}, {2, 200}, {3, 200}}));
    EXPECT_TRUE(decoded(large, false) == bytes);
    EXPECT_FALSE(workFile(2));

    const std::wstring refused = L"C:\\data\\refused";
    bytes = source(refused, 2 * kBlock + 1, 'r');
    fault(R"({"kind":"upload_data","action":"status","status":503,"process":true,"times":1})");
    EXPECT_FALSE(backup(refused, 3));
    EXPECT_EQ(GetLastError(), kRefused);
    EXPECT_FALSE(workFile(3));
    bytes = source(refused, 2 * kBlock + 1, 's');
    ASSERT_TRUE(backup(refused, 3));
    EXPECT_EQ(blocks(refused), (std::vector<Block>{{1, 503}, {1, 200}, {2, 200}, {3, 200}}));
    EXPECT_TRUE(decoded(refused, false) == bytes);
    EXPECT_EQ(record_->filesDone, 3u);
}

// Work done ahead: the files announced are transformed before their turn,
// a larger one into an ahead file that becomes the item's work file only
// when the item's turn comes. A run stopped half-way through its first file,
// whose process then dies with the ahead files of the next ones on the disk
// (one of them cut short, and one of an item never announced again), is
// taken up by a storage that removes them at its start, goes on at the
// stopped block and sends the others from their own transforms. What the
// service keeps decodes (openssl, zlib) to the sources, and is byte for byte
// what a run that prepares nothing stores.
TEST_F(WebBackupStorageResume, WorkDoneAheadIsTakenInItsTurnAndWhatADeadRunLeftIsRemoved) {
    const std::string tmp = host_of(job_temp_path(kJob));
    auto ahead = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(tmp))
            if (entry.path().extension() == ".ahead")
                files[entry.path().filename().string()] = read_host_file(entry.path().string());
        return files;
    };
    std::mt19937 random(5);
    auto noise = [&](const std::wstring& path, size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        write_host_file(host_of(path), bytes);
        return bytes;
    };
    const std::vector<std::wstring> paths = {L"C:\\data\\large1", L"C:\\data\\small2",
                                             L"C:\\data\\large3", L"C:\\data\\small4"};
    const std::vector<std::string> bytes = {noise(paths[0], 1500000), source(paths[1], 3000),
                                            noise(paths[2], 1200000),
                                            source(paths[3], kBlock + 7, 'k')};
    auto announce = [&](WebBackupStorage& storage) {
        for (uint32_t i = 0; i < paths.size(); ++i) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            ASSERT_TRUE(GetFileAttributesExW(paths[i].c_str(), GetFileExInfoStandard, &data));
            storage.prepare(paths[i].c_str(), &data, i + 1, nullptr);
        }
    };
    ASSERT_TRUE(storage_->init(record_.get(), new BackupTransformation(true)));
    announce(*storage_);
    bool early = false;
    std::map<std::string, std::string> left;
    handler_.stopTest = [&] {
        early = early || workFile(3);
        if (record_->currentFileDone != kBlock) return false;
        // Stopped after the first block, once the third file's lane has begun.
        for (int wait = 0; wait < 500 && !ahead().count("3.ahead"); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        left = ahead();
        return true;
    };
    ASSERT_TRUE(backup(paths[0], 1));
    EXPECT_EQ(record_->currentFileDone, kBlock);
    EXPECT_FALSE(early);  // an ahead file is not the item's work file before its turn
    ASSERT_TRUE(left.count("3.ahead"));
    handler_.stopTest = nullptr;
    storage_.reset();
    EXPECT_TRUE(ahead().empty());  // the storage removes what it prepared
    EXPECT_TRUE(workFile(1));      // but keeps the half-sent item's
    // What the dead process leaves: the ahead files as they were, one cut
    // short, and one of an item that never comes again.
    for (const auto& [name, data] : left) write_host_file(tmp + "/" + name, data);
    write_host_file(tmp + "/3.ahead", left["3.ahead"].substr(0, left["3.ahead"].size() / 2));
    write_host_file(tmp + "/9.ahead", "stray");

    storage_ = std::make_unique<WebBackupStorage>(definition_.get(), &handler_);
    ASSERT_TRUE(storage_->init(record_.get(), new BackupTransformation(true)));
    ASSERT_TRUE(storage_->start());
    EXPECT_TRUE(ahead().empty());
    announce(*storage_);
    for (uint32_t i = 0; i < paths.size(); ++i) ASSERT_TRUE(backup(paths[i], i + 1)) << i;
    EXPECT_EQ(blocks(paths[0]).front(), Block(1, 200));
    EXPECT_EQ(blocks(paths[0])[1], Block(2, 200));  // went on at the stopped block
    std::vector<std::string> kept;
    for (uint32_t i = 0; i < paths.size(); ++i) {
        kept.push_back(stored(paths[i]));
        std::string file = tovel::testing::machine_root() + "/stored.bin";
        write_host_file(file, kept.back());
        EXPECT_TRUE(tovel::testing::decode_stored(file, true) == bytes[i]) << i;
        EXPECT_FALSE(workFile(i + 1)) << i;
    }
    ASSERT_TRUE(storage_->end());
    EXPECT_TRUE(ahead().empty());

    // The same files in a run of their own, with nothing prepared.
    storage_.reset();
    record_ = std::make_unique<JobActivity>();
    ASSERT_NO_FATAL_FAILURE(begin(new BackupTransformation(true)));
    for (uint32_t i = 0; i < paths.size(); ++i) {
        ASSERT_TRUE(backup(paths[i], i + 1)) << i;
        EXPECT_TRUE(stored(paths[i]) == kept[i]) << i;
    }

    // Items announced and then passed over: their work is dropped in the
    // turn of the next one taken.
    storage_.reset();
    record_ = std::make_unique<JobActivity>();
    ASSERT_NO_FATAL_FAILURE(begin(new BackupTransformation(true)));
    announce(*storage_);
    for (uint32_t i = 2; i < paths.size(); ++i) {
        ASSERT_TRUE(backup(paths[i], i + 1)) << i;
        EXPECT_TRUE(stored(paths[i]) == kept[i]) << i;
    }
    ASSERT_TRUE(storage_->end());
    EXPECT_TRUE(ahead().empty());
    EXPECT_EQ(record_->filesDone, 2u);
}
