// Backup runs through the job manager that are interrupted on the way and
// resumed: paused by hand, killed at many points (the next process's open()
// resumes them), and refused, cut off or stalled by the remote-service
// simulator. Each ends completed with every item stored once, and every file's
// stored form gives back its bytes as openssl and python3's zlib read it.
#include "job/runs/backup_job.h"
//
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_activity.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/sources/activity_source.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "wirekit/http_timeouts.h"

using tovel::testing::ChildProcess;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char* kJob = "6c2f1d3e-4a5b-4c6d-9e7f-8091a2b3c4d5";
const char* kCookie = "sid=8899aabbccddeeff0011223344556677";
constexpr uint64_t kBlock = 131072;
constexpr uint32_t kTransferState = 2;

// ---- the tree

struct Item {
    std::wstring path;
    bool folder;
    std::string bytes;
};

// The tree that every run backs up: the source folder C:\data, its folder
// "sub", and five files of random (incompressible) bytes of 2 to 12 blocks,
// one of them exactly 12 blocks long (over 1 MiB: deflated in three pieces,
// the last one empty) and one a byte over 4; with smallFiles,
// also a folder "many" of that many files of a few kilobytes, which give a
// run many items to be interrupted between.
std::vector<Item> make_tree(int smallFiles = 0) {
    std::mt19937 random(20240517);
    auto bytes = [&random](size_t size) {
        std::string out(size, '\0');
        for (char& c : out) c = static_cast<char>(random() & 0xFF);
        return out;
    };
    std::vector<Item> tree = {
        {L"C:\\data", true, ""},
        {L"C:\\data\\a.bin", false, bytes(300 * 1024)},
        {L"C:\\data\\b.bin", false, bytes(12 * kBlock)},
        {L"C:\\data\\e.bin", false, bytes(900 * 1024)},
        {L"C:\\data\\sub", true, ""},
        {L"C:\\data\\sub\\c.bin", false, bytes(4 * kBlock + 1)},
        {L"C:\\data\\sub\\d.bin", false, bytes(700 * 1000)},
    };
    if (smallFiles > 0) tree.push_back({L"C:\\data\\many", true, ""});
    for (int i = 0; i < smallFiles; ++i) {
        wchar_t name[32];
        std::swprintf(name, 32, L"C:\\data\\many\\f%02d.txt", i);
        tree.push_back({name, false, bytes(1000 + 97 * static_cast<size_t>(i % 24))});
    }
    for (const Item& item : tree) {
        if (item.folder)
            std::filesystem::create_directories(host_of(item.path));
        else
            write_host_file(host_of(item.path), item.bytes);
    }
    return tree;
}

size_t file_count(const std::vector<Item>& tree) {
    size_t files = 0;
    for (const Item& item : tree) files += item.folder ? 0 : 1;
    return files;
}

std::string definition_text(bool offline) {
    return std::string(R"({"type":"backup","id":")") + kJob +
           R"(","user":"alice","name":"Resumed","source":["C:\\data"],)" +
           (offline ? R"("offline":"C:\\backups",)" : "") +
           R"("compression":true,"schedule":{"type":"once"}})";
}

BackupJobDefinition* make_definition(bool offline) {
    auto* definition = new BackupJobDefinition;
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(definition_text(offline), value));
    EXPECT_TRUE(definition->fromJSON(value));
    return definition;
}

// ---- what the job leaves

// The job's activity record as its file holds it (zeros while there is none).
struct RecordView {
    std::string bytes = std::string(JobActivity::kSize, '\0');
    const JobActivity& operator*() const {
        return *reinterpret_cast<const JobActivity*>(bytes.data());
    }
    const JobActivity* operator->() const { return &**this; }
};

RecordView record_file() {
    RecordView view;
    std::string bytes = read_host_file(
        host_of(L"C:\\ProgramData\\morvask\\Tovel\\job\\" + from_utf8(kJob) + L"\\act\\info"));
    if (bytes.size() >= JobActivity::kSize) view.bytes = bytes.substr(0, JobActivity::kSize);
    return view;
}

bool final_state(int state) {
    return state == JS_COMPLETED || state == JS_CANCELLED || state == JS_ERROR;
}

// Polls condition every few milliseconds for up to a minute.
bool eventually(const std::function<bool()>& condition, int seconds = 60) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// "same" when the stored form at host path stored (AES-128-CBC of a zlib
// stream) gives back bytes exactly, else what differs.
std::string stored_form_check(const std::string& stored, const std::string& bytes) {
    std::string plain = tovel::testing::decode_stored(stored, true);
    if (plain == bytes) return "same";
    return !plain.empty() && plain[0] == '<' ? plain
                                             : "differs: " + std::to_string(plain.size()) + " of " +
                                                   std::to_string(bytes.size()) + " bytes";
}

// The offline folder's one run: its catalogue read record by record.
struct Catalogue {
    std::wstring instance;
    int starts = 0;
    int ends = 0;
    std::map<std::wstring, std::vector<JobActivitySourceItem>> items;
};

Catalogue read_catalogue() {
    Catalogue catalogue;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
        if (entry.path().extension() == ".cat") names.push_back(entry.path().stem().string());
    EXPECT_EQ(names.size(), 1u) << "one run, one catalogue";
    if (names.size() != 1) return catalogue;
    catalogue.instance = from_utf8(names[0]);
    JobActivitySourceReader reader;
    EXPECT_TRUE(reader.open((L"C:\\backups\\" + catalogue.instance + L".cat").c_str(), 0));
    for (;;) {
        uint32_t tag = reader.next();
        if (tag == 0) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF))
                << "a damaged catalogue";
            break;
        }
        if (tag == kSourceTagStartSet) ++catalogue.starts;
        if (tag == kSourceTagEndSet) ++catalogue.ends;
        JobActivitySourceItem item;
        if ((tag == kSourceTagFile || tag == kSourceTagDirectory) && reader.item(item))
            catalogue.items[item.path].push_back(item);
    }
    return catalogue;
}

// Checks the offline folder after a completed run: one catalogue record per
// item of the tree (the source list is kept across a pause or a kill, so a
// resumed run lists nothing again: a second record would be a duplicate),
// each file's data file byte-exact, no other data file, no "ESET". Returns
// the number of starts (the first and each resumption) that the catalogue
// shows.
// Every data file is decoded by the independent reader (openssl and
// python3, a few tens of milliseconds a file) up to the first 40 files, then
// one in 50; the rest are checked by their record.
int check_offline(const std::vector<Item>& tree) {
    Catalogue catalogue = read_catalogue();
    if (catalogue.instance.empty()) return 0;
    EXPECT_EQ(catalogue.ends, 0) << "a completed run has no end of set";
    EXPECT_EQ(catalogue.items.size(), tree.size());
    std::string data = host_of(L"C:\\backups\\" + catalogue.instance);
    size_t files = 0;
    for (const Item& item : tree) {
        SCOPED_TRACE(to_utf8(item.path));
        auto found = catalogue.items.find(item.path);
        if (found == catalogue.items.end()) {
            ADD_FAILURE() << "not in the catalogue";
            continue;
        }
        EXPECT_EQ(found->second.size(), 1u) << "listed more than once";
        const JobActivitySourceItem& record = found->second.front();
        EXPECT_EQ((record.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, item.folder);
        if (item.folder) continue;
        EXPECT_EQ(record.flag, 1u) << "compressed";
        EXPECT_EQ(record.data.nFileSizeLow, item.bytes.size());
        if (++files > 40 && files % 50 != 0) continue;
        EXPECT_EQ(stored_form_check(data + "/" + std::to_string(record.ordinal), item.bytes),
                  "same");
    }
    size_t stored = 0;
    for (const auto& entry : std::filesystem::directory_iterator(data))
        stored += entry.is_regular_file();
    EXPECT_EQ(stored, file_count(tree)) << "one data file per file, nothing else";
    return catalogue.starts;
}

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

// The simulator's instances of the job.
std::vector<json_spirit::Object> instances_of(const RemoteService& service) {
    std::vector<json_spirit::Object> out;
    json_spirit::Value all = parse(service.control("GET", "instances"));
    if (all.type() != json_spirit::obj_type) return out;
    for (const json_spirit::Value& entry : all.get_obj()["instances"].get_array()) {
        json_spirit::Object object = entry.get_obj();
        if (object["job"].get_str() == kJob) out.push_back(object);
    }
    return out;
}

// The request log's entries of a kind (all kinds when empty) after since.
json_spirit::Array requests(const RemoteService& service, const std::string& kind, int since = 0) {
    std::string query = "requests?since=" + std::to_string(since);
    if (!kind.empty()) query += "&kind=" + kind;
    json_spirit::Value value = parse(service.control("GET", query));
    if (value.type() != json_spirit::obj_type) return {};
    return value.get_obj()["requests"].get_array();
}

// Whether the simulator holds a request of a kind, after request number
// since, with a stall.
bool stalled(const RemoteService& service, const std::string& kind, int since) {
    for (json_spirit::Value& request : requests(service, kind, since)) {
        auto applied = request.get_obj().find("fault");
        if (applied != request.get_obj().end() && applied->second.type() == json_spirit::str_type &&
            applied->second.get_str() == "stall")
            return true;
    }
    return false;
}

// Checks the simulator after a completed web run: one completed instance of
// the job that lists each item of the tree once, complete, each file's stored
// bytes byte-exact. Returns the instance record (its "starts" counts the
// Start Job requests of the run).
json_spirit::Object check_web(const RemoteService& service, const std::vector<Item>& tree) {
    std::vector<json_spirit::Object> instances = instances_of(service);
    EXPECT_EQ(instances.size(), 1u) << "one run, one instance";
    if (instances.size() != 1) return {};
    std::string id = instances[0]["id"].get_str();
    json_spirit::Value value = parse(service.control("GET", "instance?id=" + id));
    json_spirit::Object instance = value.get_obj();
    EXPECT_EQ(instance["state"].get_str(), "completed");
    std::map<std::string, std::vector<json_spirit::Object>> files;
    for (const json_spirit::Value& file : instance["files"].get_array())
        files[file.get_obj().find("name")->second.get_str()].push_back(file.get_obj());
    EXPECT_EQ(files.size(), tree.size());
    for (const Item& item : tree) {
        std::string name = to_utf8(item.path);
        SCOPED_TRACE(name);
        auto found = files.find(name);
        if (found == files.end()) {
            ADD_FAILURE() << "not stored";
            continue;
        }
        EXPECT_EQ(found->second.size(), 1u) << "described as two items";
        json_spirit::Object& file = found->second.front();
        EXPECT_EQ(file["type"].get_str(), item.folder ? "folder" : "file");
        EXPECT_TRUE(file["complete"].get_bool());
        if (item.folder) continue;
        std::string stored = machine_root() + "/check-stored";
        std::remove(stored.c_str());
        EXPECT_EQ(run_command("python3 -c " +
                              shell_quote("import sys, urllib.request\nopen(sys.argv[2], 'wb')"
                                          ".write(urllib.request.urlopen(sys.argv[1]).read())") +
                              " " +
                              shell_quote("http://127.0.0.1:" + std::to_string(service.port()) +
                                          "/_sim/file?instance=" + id + "&name=" +
                                          tovel::testing::RemoteService::query_text(name)) +
                              " " + shell_quote(stored)),
                  0);
        EXPECT_EQ(stored_form_check(stored, item.bytes), "same");
    }
    return instance;
}

// The block uploads that the service carried out, (file, block) -> how
// often, and the number of those it refused without looking at them.
struct BlockUploads {
    std::map<std::pair<std::string, int>, int> stored;
    int refused = 0;
};

BlockUploads block_uploads(const RemoteService& service) {
    BlockUploads out;
    for (json_spirit::Value& request : requests(service, "upload_data")) {
        json_spirit::Object& entry = request.get_obj();
        auto name = entry.find("sourcename");
        auto block = entry.find("block");
        if (name != entry.end() && block != entry.end())
            ++out.stored[{name->second.get_str(), block->second.get_int()}];
        else
            ++out.refused;
    }
    return out;
}

std::vector<std::string> service_arguments() {
    return {"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie};
}

// The machine's settings for the runs: the simulator as the server, alice's
// session, the offline folder.
void set_up_machine(const RemoteService& service) {
    ASSERT_NE(service.port(), 0);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
    std::filesystem::create_directories(host_of(L"C:\\backups"));
}

// This process's standard error, where the job's threads log, sent to a file
// from construction until text().
class ErrorLog {
public:
    ErrorLog() : path_(machine_root() + "/stderr.txt") {
        std::fflush(stderr);
        saved_ = dup(2);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, 2);
        close(file);
    }
    ~ErrorLog() { restore(); }
    std::string text() {
        restore();
        std::string logged = read_host_file(path_);
        std::cerr << logged;  // still shown with the test's output
        return logged;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

    std::string path_;
    int saved_ = -1;
};

// ---- runs in this process

class BackupResumeTest : public ::testing::Test {
protected:
    BackupResumeTest() : service_(service_arguments()) {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(set_up_machine(service_));
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    // SetUp may have stopped before the manager was taken (the simulator or
    // the machine did not come up): only what was opened is closed.
    void TearDown() override {
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
    }

    bool submit(bool offline) { return manager_->submitJob(make_definition(offline)); }
    int state() const {
        int out = 0;
        manager_->job(kJob, [&out](const Job& job) { out = job.state(); });
        return out;
    }
    // The run has written its final state and its worker has ended.
    bool finished() const {
        bool out = false;
        manager_->job(kJob,
                      [&out](const Job& job) { out = final_state(job.state()) && job.wait(0); });
        return out;
    }
    bool paused() const { return state() == JS_PAUSED && finishedWorker(); }
    bool finishedWorker() const {
        bool out = false;
        manager_->job(kJob, [&out](const Job& job) { out = job.wait(0); });
        return out;
    }
    static int lastRunStateOnDisk() { return record_file()->lastRunState; }
    int lastRunState() const {
        int out = 0;
        manager_->job(kJob, [&out](const Job& job) { out = job.lastRunState(); });
        return out;
    }
    // Resumes the run each time the network rule paused it (at once,
    // instead of waiting for its resume timer) until it ends, calling
    // onPause with the number of the pause first; the number of pauses.
    int resumeUntilFinished(const std::function<void(int)>& onPause = nullptr) {
        int pauses = 0;
        for (;;) {
            EXPECT_TRUE(eventually([&] { return finished() || paused(); }));
            if (!paused()) return pauses;
            EXPECT_EQ(record_file()->pausedManually, 0u) << "a pause of the network rule";
            if (++pauses > 10) {
                ADD_FAILURE() << "paused " << pauses << " times";
                return pauses;
            }
            if (onPause) onPause(pauses);
            EXPECT_TRUE(manager_->resumeJob(kJob));
        }
    }
    void fault(const std::string& json) {
        EXPECT_NE(service_.control("POST", "faults", json).find("\"faults\""), std::string::npos);
    }

    RemoteService service_;
    std::vector<Item> tree_;
    JobManagerImpl* manager_ = nullptr;
};

using BackupResumePause = BackupResumeTest;
using BackupResumeFaults = BackupResumeTest;

// A pause by hand between two files: the run keeps its list and its
// catalogue, and the resumed run adds only what was not stored yet.
TEST_F(BackupResumePause, AnOfflineRunPausedByHandStoresEveryFileOnce) {
    // Enough small files that the pause lands while the storage has items
    // prepared ahead of the one it stores.
    tree_ = make_tree(1500);
    ASSERT_TRUE(submit(true));
    ASSERT_TRUE(eventually([] {
        RecordView record = record_file();
        return record->filesDone >= 3 || final_state(record->state);
    }));
    ASSERT_TRUE(manager_->pauseJob(kJob));
    ASSERT_TRUE(eventually([&] { return paused(); }));
    RecordView record = record_file();
    EXPECT_EQ(record->pausedManually, 1u);
    EXPECT_LT(record->filesDone, file_count(tree_)) << "the pause came after the last file";
    Catalogue part = read_catalogue();
    EXPECT_EQ(part.starts, 1);
    for (const auto& entry : part.items) EXPECT_EQ(entry.second.size(), 1u);
    // No data file stays of an item that was prepared but not stored.
    size_t listed = 0, held = 0;
    for (const auto& entry : part.items)
        listed += (entry.second.front().data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(host_of(L"C:\\backups\\" + part.instance)))
        held += entry.is_regular_file();
    EXPECT_EQ(held, listed);

    ASSERT_TRUE(manager_->resumeJob(kJob));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    EXPECT_EQ(record_file()->filesDone, file_count(tree_));
    EXPECT_EQ(check_offline(tree_), 2);
}

// A pause by hand between two blocks of a file: the resumed run describes the
// file again and goes on at the next block, so no block is sent twice.
TEST_F(BackupResumePause, AWebRunPausedByHandGoesOnAtTheNextBlock) {
    tree_ = make_tree();
    // Slow blocks, so that the pause lands in the middle of the run.
    fault(R"({"kind":"upload_data","action":"delay","seconds":0.05})");
    ASSERT_TRUE(submit(false));
    ASSERT_TRUE(eventually([&] { return requests(service_, "upload_data").size() >= 5; }));
    ASSERT_TRUE(manager_->pauseJob(kJob));
    ASSERT_TRUE(eventually([&] { return paused(); }));
    RecordView record = record_file();
    EXPECT_EQ(record->pausedManually, 1u);
    EXPECT_LT(record->filesDone, tree_.size()) << "the pause came after the last file";
    if (record->currentFileState == kTransferState) {
        EXPECT_EQ(record->currentFileDone % kBlock, 0u);
    }

    ASSERT_TRUE(manager_->resumeJob(kJob));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    json_spirit::Object instance = check_web(service_, tree_);
    EXPECT_EQ(instance["starts"].get_int(), 2);
    BlockUploads uploads = block_uploads(service_);
    EXPECT_EQ(uploads.refused, 0);
    for (const auto& upload : uploads.stored)
        EXPECT_EQ(upload.second, 1) << upload.first.first << " block " << upload.first.second;
}

// A pause, then a stop, while the service holds the run's Start Job: the
// request is cut short and the run ends paused (resumed, it completes) or
// cancelled, neither of them an error of the run.
TEST_F(BackupResumePause, APauseOrAStopDuringTheStartEndsTheRunAsAsked) {
    tree_ = make_tree();
    fault(R"({"kind":"start_job","action":"stall","at":"request","times":1})");
    ASSERT_TRUE(submit(false));
    ASSERT_TRUE(eventually([&] { return stalled(service_, "start_job", 0); }));
    ASSERT_TRUE(manager_->pauseJob(kJob));
    ASSERT_TRUE(eventually([&] { return paused() || finished(); }));
    EXPECT_EQ(state(), JS_PAUSED);
    EXPECT_EQ(record_file()->pausedManually, 1u);
    ASSERT_TRUE(manager_->resumeJob(kJob));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);

    int since = 0;
    for (json_spirit::Value& request : requests(service_, ""))
        since = std::max(since, request.get_obj()["seq"].get_int());
    fault(R"({"kind":"start_job","action":"stall","at":"request","times":1})");
    ASSERT_TRUE(manager_->startJob(kJob));
    ASSERT_TRUE(eventually([&] { return stalled(service_, "start_job", since); }));
    ASSERT_TRUE(manager_->stopJob(kJob));
    ASSERT_TRUE(eventually([&] { return finished(); }));
    EXPECT_EQ(lastRunState(), JS_CANCELLED);
}

// A run that paused for the network once (its error list then kept in the
// run's history folder) and completed leaves no file of the run in the job's
// folder, and writes nothing after its clean-up deleted them.
TEST_F(BackupResumeFaults, ACompletedRunLeavesNothingOfItsOwnBehind) {
    tree_ = make_tree();
    fault(R"({"kind":"upload_data","action":"status","status":503,"times":1,"skip":4})");
    ErrorLog log;
    ASSERT_TRUE(submit(false));
    EXPECT_EQ(resumeUntilFinished(), 1);
    manager_->close();  // the job and its worker are gone
    std::string logged = log.text();
    EXPECT_EQ(lastRunStateOnDisk(), JS_COMPLETED);
    EXPECT_EQ(logged.find("Failed to write"), std::string::npos);
    std::vector<json_spirit::Object> instances = instances_of(service_);
    ASSERT_EQ(instances.size(), 1u);
    std::wstring job = L"C:\\ProgramData\\morvask\\Tovel\\job\\" + from_utf8(kJob);
    EXPECT_FALSE(std::filesystem::exists(
        host_of(job + L"\\hist\\" + from_utf8(instances[0]["id"].get_str()))));
    EXPECT_FALSE(std::filesystem::exists(host_of(job + L"\\act\\src")));
    EXPECT_FALSE(std::filesystem::exists(host_of(job + L"\\tmp")));
    check_web(service_, tree_);
}

// Refused blocks (503 three times, then 406) pause the run; each resumed run
// describes the file again and sends the refused block, and nothing else
// twice.
TEST_F(BackupResumeFaults, RefusedBlocksPauseTheRunWhichGoesOnAtTheRefusedBlock) {
    tree_ = make_tree();
    fault(R"({"kind":"upload_data","action":"status","status":503,"times":3,"skip":4})");
    ASSERT_TRUE(submit(false));
    int pauses = resumeUntilFinished([&](int pause) {
        if (pause == 3)
            fault(R"({"kind":"upload_data","action":"status","status":406,"times":1,"skip":9})");
    });
    EXPECT_EQ(pauses, 4);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);
    BlockUploads uploads = block_uploads(service_);
    EXPECT_EQ(uploads.refused, 4);
    for (const auto& upload : uploads.stored)
        EXPECT_EQ(upload.second, 1) << upload.first.first << " block " << upload.first.second;
}

// Start Job refused as unavailable is a network failure: the run pauses and
// its resumption starts the instance.
TEST_F(BackupResumeFaults, AStartRefusedAsUnavailablePausesAndTheResumedRunCompletes) {
    tree_ = make_tree();
    fault(R"({"kind":"start_job","action":"status","status":503,"times":2})");
    ASSERT_TRUE(submit(false));
    EXPECT_EQ(resumeUntilFinished(), 2);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    json_spirit::Object instance = check_web(service_, tree_);
    EXPECT_EQ(instance["starts"].get_int(), 1) << "the refused starts were not carried out";
}

// Start Job refused with a server error is not a network failure: the run
// ends in error and stores nothing; the next start makes a new run that
// stores everything.
TEST_F(BackupResumeFaults, AStartRefusedWithAServerErrorEndsTheRunAndANewStartCompletes) {
    tree_ = make_tree();
    fault(R"({"kind":"start_job","action":"status","status":500,"times":1})");
    ASSERT_TRUE(submit(false));
    EXPECT_EQ(resumeUntilFinished(), 0);
    EXPECT_EQ(lastRunState(), JS_ERROR);
    EXPECT_TRUE(instances_of(service_).empty());
    EXPECT_TRUE(requests(service_, "upload_file").empty());
    ASSERT_TRUE(manager_->startJob(kJob));
    EXPECT_EQ(resumeUntilFinished(), 0);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);
}

// Connections cut in the reply of a block that the service stored (closed
// before any byte, reset inside the head, closed inside the body of the
// 182-byte reply): the exchange and its one retry fail, the run pauses, and
// the resumed run sends the block again.
TEST_F(BackupResumeFaults, CutOffBlockRepliesPauseTheRunAndTheBlockIsSentAgain) {
    tree_ = make_tree();
    const std::vector<std::string> cuts = {
        R"({"kind":"upload_data","action":"drop","after":0,"times":2,"skip":2})",
        R"({"kind":"upload_data","action":"drop","after":20,"reset":true,"times":2,"skip":3})",
        R"({"kind":"upload_data","action":"drop","after":172,"times":2,"skip":4})",
    };
    fault(cuts[0]);
    ASSERT_TRUE(submit(false));
    int pauses = resumeUntilFinished([&](int pause) {
        if (pause < static_cast<int>(cuts.size())) fault(cuts[pause]);
    });
    EXPECT_EQ(pauses, 3);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);
}

// Replies that never come: each exchange times out after the client's
// receive time-out (shortened here), its retry too, and the run pauses; the
// resumed run completes. Once the service stalls after it stored a block,
// once before it reads a file's description.
TEST_F(BackupResumeFaults, StalledRepliesTimeOutAndTheResumedRunCompletes) {
    HTTP_Timeouts timeouts;
    timeouts.connect_ms = 5000;
    timeouts.send_ms = 5000;
    timeouts.recv_ms = 3000;
    set_http_client_timeouts(timeouts);
    tree_ = make_tree();
    fault(R"({"kind":"upload_data","action":"stall","seconds":30,"times":2,"skip":5})");
    ASSERT_TRUE(submit(false));
    int pauses = resumeUntilFinished([&](int pause) {
        if (pause == 1)
            fault(
                R"({"kind":"upload_file","action":"stall","at":"request","seconds":30,"times":2,"skip":2})");
    });
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);
}

// The reply of End Job is lost after the service ended the run: the run
// pauses in completing, and its resumption must find the run ended rather
// than fail.
TEST_F(BackupResumeFaults, ALostEndJobReplyPausesAndTheResumedRunCompletes) {
    tree_ = make_tree();
    fault(R"({"kind":"end_job","action":"drop","after":0,"times":2})");
    ASSERT_TRUE(submit(false));
    EXPECT_EQ(resumeUntilFinished(), 1);
    EXPECT_EQ(lastRunState(), JS_COMPLETED);
    check_web(service_, tree_);
}

// ---- runs in agent processes that are killed

// The agent: this test program run again as a child process on the parent's
// machine. It opens the job manager (which resumes an interrupted run),
// submits the job when told ("offline" or "web"), prints "opened", and, when
// the run has ended, "finished <last-run state>".
TEST(BackupResumeAgent, DISABLED_Run) {
    const char* root = std::getenv("TOVEL_RESUME_ROOT");
    if (!root) GTEST_SKIP();
    std::error_code ignored;
    std::filesystem::remove_all(machine_root(), ignored);  // this run's own root is not used
    setenv("TOVEL_ROOT", root, 1);
    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    std::string submit =
        std::getenv("TOVEL_RESUME_SUBMIT") ? std::getenv("TOVEL_RESUME_SUBMIT") : "";
    if (!submit.empty()) {
        ASSERT_TRUE(manager->submitJob(make_definition(submit == "offline")));
    }
    std::cout << "\nopened" << std::endl;
    int last = -1;
    EXPECT_TRUE(eventually(
        [&] {
            manager->job(kJob, [&](const Job& job) {
                if (final_state(job.state()) && job.wait(0)) last = job.lastRunState();
            });
            return last >= 0;
        },
        240));
    std::cout << "finished " << last << std::endl;
    manager->close();
    Iocp_Dispatcher::instance()->stop();
    _exit(0);
}

class Agent {
public:
    explicit Agent(const std::string& submit)
        : process_("BackupResumeAgent.DISABLED_Run",
                   {"TOVEL_RESUME_ROOT=" + machine_root(), "TOVEL_RESUME_SUBMIT=" + submit}) {}
    bool opened() {
        return process_.next([](const std::string& line) { return line == "opened"; }, 60000) ==
               "opened";
    }
    // The last-run state that the agent reports at the run's end; -1 when
    // none comes within the time-out.
    int finished(int timeoutMs = 120000) {
        std::string line = process_.next(
            [](const std::string& text) { return text.rfind("finished ", 0) == 0; }, timeoutMs);
        return line.rfind("finished ", 0) == 0 ? std::stoi(line.substr(9)) : -1;
    }
    // Kills the agent; true when it was still running (and so was killed).
    bool kill() {
        int status = process_.kill_and_reap();
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

private:
    ChildProcess process_;
};

class BackupResumeKill : public ::testing::Test {
protected:
    BackupResumeKill() : service_(service_arguments()) {}
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(set_up_machine(service_)); }

    void fault(const std::string& json) {
        EXPECT_NE(service_.control("POST", "faults", json).find("\"faults\""), std::string::npos);
    }
    void clearFaults() { service_.control("POST", "faults/clear", "{}"); }
    bool stalled(const std::string& kind, int since) { return ::stalled(service_, kind, since); }
    int lastSeq() {
        int last = 0;
        for (json_spirit::Value& request : requests(service_, ""))
            last = std::max(last, request.get_obj()["seq"].get_int());
        return last;
    }

    RemoteService service_;
};

// An offline run killed while the increment check is under way, then four
// times after more and more files were stored (anywhere in the next item: in
// its transformation, between its data file and its record, between the
// record and the list offset). Each agent resumes what the killed one left;
// the last completes, and the catalogue holds every item once.
TEST_F(BackupResumeKill, AnOfflineRunKilledAtManyPointsStoresEveryFileOnce) {
    std::vector<Item> tree = make_tree(16);
    {
        fault(R"({"kind":"increment_check","action":"stall"})");
        Agent agent("offline");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] { return stalled("increment_check", 0); }));
        EXPECT_TRUE(agent.kill());
        clearFaults();
    }
    int midRun = 0;
    for (uint32_t files : {1u, 4u, 8u, 13u}) {
        SCOPED_TRACE("killed after " + std::to_string(files) + " files");
        Agent agent("");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] {
            RecordView record = record_file();
            return record->filesDone >= files || final_state(record->state);
        }));
        EXPECT_TRUE(agent.kill());
        RecordView record = record_file();
        if (record->state == JS_RUNNING && record->filesDone < file_count(tree)) ++midRun;
    }
    EXPECT_GT(midRun, 0) << "no kill landed inside the run";
    Agent last("");
    ASSERT_TRUE(last.opened());
    EXPECT_EQ(last.finished(), JS_COMPLETED);
    // The record's count of files is progress only: a kill after an item's
    // catalogue record and before its count leaves that item uncounted, one
    // at most per kill. The catalogue is what was stored.
    EXPECT_LE(record_file()->filesDone, file_count(tree));
    EXPECT_GE(record_file()->filesDone + 5, file_count(tree));
    int starts = check_offline(tree);
    EXPECT_GE(starts, 2);
    EXPECT_LE(starts, 5);
}

// A web run killed at points that the service holds it at: in Start Job
// (carried out), in a block's reply (the block stored), before a file's
// description is read, before a block is read, after a few blocks of no
// fault, and in End Job's reply (the run ended by the service). Each agent
// resumes what the killed one left; the last completes, and the service
// holds every file once and whole.
TEST_F(BackupResumeKill, AWebRunKilledAtManyPointsStoresEveryFileOnce) {
    std::vector<Item> tree = make_tree();
    struct Point {
        std::string kind;
        std::string fault;
    };
    const std::vector<Point> points = {
        {"start_job", R"({"kind":"start_job","action":"stall"})"},
        {"upload_data", R"({"kind":"upload_data","action":"stall","skip":2})"},
        {"upload_file", R"({"kind":"upload_file","action":"stall","at":"request","skip":1})"},
        {"upload_data", R"({"kind":"upload_data","action":"stall","at":"request","skip":3})"},
        {"", ""},
        {"upload_data", R"({"kind":"upload_data","action":"stall","process":false,"skip":2})"},
        {"end_job", R"({"kind":"end_job","action":"stall"})"},
    };
    for (size_t i = 0; i < points.size(); ++i) {
        const Point& point = points[i];
        SCOPED_TRACE("kill point " + std::to_string(i));
        int since = lastSeq();
        if (!point.fault.empty()) fault(point.fault);
        uint64_t sent = record_file()->bytesTransferred;
        Agent agent(i == 0 ? "web" : "");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] {
            RecordView record = record_file();
            if (final_state(record->state)) return true;
            return point.kind.empty() ? record->bytesTransferred >= sent + 2 * kBlock
                                      : stalled(point.kind, since);
        }));
        EXPECT_TRUE(agent.kill());
        ASSERT_FALSE(final_state(record_file()->state)) << "the run ended before the kill";
        clearFaults();
    }
    Agent last("");
    ASSERT_TRUE(last.opened());
    EXPECT_EQ(last.finished(), JS_COMPLETED);
    json_spirit::Object instance = check_web(service_, tree);
    EXPECT_EQ(instance["starts"].get_int(), static_cast<int>(points.size()));
}

// A file that goes away after the run listed it fails with "not found"; the
// agent is killed after that item, and the run that completes still reports
// the error to the service.
TEST_F(BackupResumeKill, AWebItemErrorBeforeAKillIsReportedAtTheEnd) {
    std::vector<Item> tree = make_tree();
    {
        fault(R"({"kind":"start_job","action":"stall"})");
        Agent agent("web");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] { return stalled("start_job", 0); }));
        EXPECT_TRUE(agent.kill());
        clearFaults();
    }
    ASSERT_TRUE(std::filesystem::remove(host_of(L"C:\\data\\a.bin")));
    tree.erase(tree.begin() + 1);
    {
        int since = lastSeq();
        fault(R"({"kind":"upload_data","action":"stall","skip":2})");
        Agent agent("");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] { return stalled("upload_data", since); }));
        EXPECT_TRUE(agent.kill());
        clearFaults();
    }
    Agent last("");
    ASSERT_TRUE(last.opened());
    EXPECT_EQ(last.finished(), JS_COMPLETED);
    json_spirit::Object instance = check_web(service_, tree);
    ASSERT_EQ(instance["errors"].type(), json_spirit::array_type) << "no errors were submitted";
    const json_spirit::Array& errors = instance["errors"].get_array();
    ASSERT_EQ(errors.size(), 1u);
    json_spirit::Object error = errors[0].get_obj();
    EXPECT_EQ(error["path"].get_str(), "C:\\data\\a.bin");
    EXPECT_EQ(error["code"].get_int(), ERROR_FILE_NOT_FOUND);
}

// The same for an offline run: the run's error list in the folder names the
// file.
TEST_F(BackupResumeKill, AnOfflineItemErrorBeforeAKillIsReportedAtTheEnd) {
    std::vector<Item> tree = make_tree(16);
    // Large files (streamed when their turn comes, never prepared ahead) for
    // the kills to land in: the third file, and the last one.
    std::mt19937 random(7);
    for (const wchar_t* path : {L"C:\\data\\c.big", L"C:\\data\\sub\\e.big"}) {
        std::string bytes(4 << 20, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        write_host_file(host_of(path), bytes);
        tree.push_back({path, false, bytes});
    }
    const std::wstring gone = L"C:\\data\\many\\f08.txt";
    for (uint32_t files : {2u, 21u}) {
        Agent agent(files == 2 ? "offline" : "");
        ASSERT_TRUE(agent.opened());
        ASSERT_TRUE(eventually([&] {
            RecordView record = record_file();
            return record->filesDone >= files || final_state(record->state);
        }));
        EXPECT_TRUE(agent.kill());
        ASSERT_FALSE(final_state(record_file()->state)) << "the run ended before the kill";
        if (files == 2) {
            ASSERT_TRUE(std::filesystem::remove(host_of(gone)));
        }
    }
    Agent last("");
    ASSERT_TRUE(last.opened());
    EXPECT_EQ(last.finished(), JS_COMPLETED);
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it->path == gone) {
            tree.erase(it);
            break;
        }
    }
    check_offline(tree);
    std::vector<std::string> lists;  // the run's own error list
    for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
        if (entry.path().extension() == ".err") lists.push_back(entry.path().string());
    ASSERT_EQ(lists.size(), 1u);
    json_spirit::Value errors = parse(read_host_file(lists[0]));
    ASSERT_EQ(errors.type(), json_spirit::array_type);
    ASSERT_EQ(errors.get_array().size(), 1u);
    json_spirit::Object error = errors.get_array()[0].get_obj();
    EXPECT_EQ(error["path"].get_str(), to_utf8(gone));
    EXPECT_EQ(error["code"].get_int(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
