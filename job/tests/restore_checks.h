// The shared steps of the restore end-to-end and resumption tests: a sample
// tree backed up offline or to the simulator through the job manager, a
// second tree made by the same generator as the pristine copy to compare a
// restore with (diff -r), the last-write times of a tree as python3 reads
// them, restore definitions, and waits on a job's run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/backup_job_definition.h"
#include "plandeck/restore_job_definition.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "tools/testkit/sample_tree.h"

namespace restore_tests {

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::SampleTree;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

inline constexpr char kCookie[] = "sid=00112233445566778899aabbccddeeff";
inline constexpr char kBackupJob[] = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";
inline constexpr char kRestoreJob[] = "7c2f1d3e-4a5b-4c6d-9e7f-8091a2b3c4d5";
inline constexpr wchar_t kData[] = L"C:\\data";
inline constexpr wchar_t kPristine[] = L"C:\\pristine";

inline json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

// Bytes that do not compress, the same for the same seed.
inline std::string noise(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

inline bool is_final(int state) {
    return state == JS_COMPLETED || state == JS_CANCELLED || state == JS_ERROR || state == JS_IDLE;
}

// What diff -rq reports between two host folders (links compared as links),
// one line per difference; empty when they hold the same names and bytes.
inline std::string differences(const std::string& a, const std::string& b) {
    std::string output;
    run_command("diff -rq --no-dereference " + shell_quote(a) + " " + shell_quote(b) + " 2>&1",
                &output);
    return output;
}

// The last-write time of a host folder and of everything below it, as
// python3's lstat gives them, in 100 ns units (what a FILETIME holds), by
// path relative to the folder ("." for the folder itself).
inline std::map<std::string, uint64_t> write_times(const std::string& root) {
    std::string output = python(
        "import os\n"
        "r = os.fsencode(" +
        std::string("'") + root +
        "')\n"
        "def out(rel, p):\n"
        "    t = os.lstat(p).st_mtime_ns // 100\n"
        "    os.write(1, rel + b'\\t' + str(t).encode() + b'\\n')\n"
        "out(b'.', r)\n"
        "for d, dirs, files in os.walk(r):\n"
        "    for n in sorted(dirs + files):\n"
        "        p = os.path.join(d, n)\n"
        "        out(os.path.relpath(p, r), p)\n");
    std::map<std::string, uint64_t> out;
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(at, end - at);
        size_t tab = line.rfind('\t');
        if (tab != std::string::npos) out[line.substr(0, tab)] = std::stoull(line.substr(tab + 1));
        at = end + 1;
    }
    return out;
}

// The items of two time maps whose times differ or that only one has, one
// per line; empty when they agree.
inline std::string time_differences(const std::map<std::string, uint64_t>& expected,
                                    const std::map<std::string, uint64_t>& found) {
    std::string out;
    for (const auto& [path, time] : expected) {
        auto it = found.find(path);
        if (it == found.end())
            out += path + ": missing\n";
        else if (it->second != time)
            out += path + ": " + std::to_string(it->second) + " instead of " +
                   std::to_string(time) + "\n";
    }
    for (const auto& [path, time] : found)
        if (!expected.count(path)) out += path + ": not expected\n";
    return out;
}

// The tree to back up (C:\data) and its pristine copy (C:\pristine): the
// sample tree made twice, the copy's link turned into the empty folder that
// a restore makes of it, and the restore list of every item of the tree
// (folders ending with "\"), the link among the folders. Files and folders
// added later go into both.
class Trees {
public:
    Trees() : tree_(tovel::testing::make_sample_tree(kData)) {
        tovel::testing::make_sample_tree(kPristine);
        for (const auto& item : tree_.items)
            items_.push_back(item.windows_path + (item.folder ? L"\\" : L""));
        items_.push_back(tree_.link.windows_path + L"\\");
        std::string link = host_of(std::wstring(kPristine) + L"\\outside link");
        std::filesystem::remove(link);
        std::filesystem::create_directory(link);
    }

    // relative: below C:\data, without a trailing separator.
    void addFile(const std::wstring& relative, const std::string& bytes) {
        write_host_file(host_of(std::wstring(kData) + L"\\" + relative), bytes);
        write_host_file(host_of(std::wstring(kPristine) + L"\\" + relative), bytes);
        items_.push_back(std::wstring(kData) + L"\\" + relative);
    }
    void addFolder(const std::wstring& relative) {
        std::filesystem::create_directories(host_of(std::wstring(kData) + L"\\" + relative));
        std::filesystem::create_directories(host_of(std::wstring(kPristine) + L"\\" + relative));
        items_.push_back(std::wstring(kData) + L"\\" + relative + L"\\");
    }

    // The restore list, sorted (a folder before what it holds).
    std::vector<std::wstring> items() const {
        std::vector<std::wstring> sorted = items_;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }
    // The files of the list (regular files only).
    std::vector<std::wstring> files() const {
        std::vector<std::wstring> out;
        for (const std::wstring& item : items())
            if (item.back() != L'\\') out.push_back(item);
        return out;
    }
    const SampleTree& tree() const { return tree_; }

private:
    SampleTree tree_;
    std::vector<std::wstring> items_;
};

// A restore definition's members.
struct Restore {
    std::vector<std::wstring> source;
    std::wstring offline;  // the catalogue; empty: from the service
    std::string instance;  // the backup run on the service
    std::string existing = "overwrite";
    std::wstring location;
    std::string id = kRestoreJob;

    std::string json() const {
        json_spirit::Object object;
        object["type"] = "restore";
        object["id"] = id;
        object["user"] = "alice";
        object["name"] = "Restore " + id;
        json_spirit::Array paths;
        for (const std::wstring& path : source) paths.push_back(json_spirit::Value(to_utf8(path)));
        object["source"] = paths;
        if (!offline.empty()) object["offline"] = to_utf8(offline);
        if (!instance.empty()) object["instanceId"] = instance;
        object["existing"] = existing;
        if (!location.empty()) object["location"] = to_utf8(location);
        return json_spirit::write(json_spirit::Value(object));
    }
    RestoreJobDefinition* definition() const {
        auto* made = new RestoreJobDefinition;
        EXPECT_TRUE(made->fromJSON(parse(json())));
        return made;
    }
};

// A test machine with drive D:, the simulator (the remote service of the
// online runs and of every backup's increment check), the job manager and
// the dispatcher.
class RestoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(machine_root() + "/drives/d");
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
        ASSERT_NE(service_->port(), 0);
        beforeManager();
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        ASSERT_TRUE(manager()->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
        open_ = true;
    }
    void TearDown() override {
        closeManager();
        service_.reset();
    }
    // A step of a derived fixture before the settings are first read.
    virtual void beforeManager() {}
    void closeManager() {
        if (!open_) return;
        manager()->close();
        Iocp_Dispatcher::instance()->stop();
        open_ = false;
    }
    static JobManagerImpl* manager() { return JobManagerImpl::instance(); }

    // Waits until test holds for the job (under the manager's lock), for up
    // to the deadline; false when it never did.
    bool waitFor(const std::string& id, const std::function<bool(const Job&)>& test,
                 int seconds = 120) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            bool held = false;
            manager()->job(id.c_str(), [&](const Job& job) { held = test(job); });
            if (held) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Waits for the run that a submit or start began to end; the state it
    // left (0 when it never ended).
    int waitForEnd(const std::string& id) {
        int state = 0;
        bool ended = waitFor(id, [&](const Job& job) {
            state = job.state();
            return is_final(state) && !job.running();
        });
        EXPECT_TRUE(ended) << id << " still in state " << state;
        return ended ? state : 0;
    }
    // Submits a restore (a run-once job: the submission starts its run) and
    // waits for the end of the run.
    int restore(const Restore& request) {
        EXPECT_TRUE(manager()->submitJob(request.definition()));
        return waitForEnd(request.id);
    }

    // Backs C:\data up (compressed) in a run of the backup job: offline into
    // C:\backups (catalogue_ names the run's catalogue) or to the service
    // (backupInstance_ names the run).
    void backUp(bool online) {
        if (online)
            service_->control("POST", "job",
                              std::string(R"({"id":")") + kBackupJob + R"(","compression":true})");
        json_spirit::Object object;
        object["type"] = "backup";
        object["id"] = kBackupJob;
        object["user"] = "alice";
        object["name"] = "Backup";
        object["source"] = json_spirit::Array{json_spirit::Value("C:\\data")};
        if (!online) object["offline"] = "C:\\backups";
        object["compression"] = true;
        json_spirit::Object schedule;
        schedule["type"] = "once";
        object["schedule"] = schedule;
        auto* definition = new BackupJobDefinition;
        ASSERT_TRUE(definition->fromJSON(json_spirit::Value(object)));
        ASSERT_TRUE(manager()->submitJob(definition));
        ASSERT_EQ(waitForEnd(kBackupJob), JS_COMPLETED);
        if (online) {
            backupInstance_ = lastInstance(kBackupJob);
            ASSERT_FALSE(backupInstance_.empty());
        } else {
            for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
                if (entry.path().extension() == ".cat")
                    catalogue_ = L"C:\\backups\\" + entry.path().filename().wstring();
            ASSERT_FALSE(catalogue_.empty());
        }
    }
    // A restore of the last backup from where it went.
    Restore restoreOf(const std::vector<std::wstring>& source, bool online) const {
        Restore request;
        request.source = source;
        if (online)
            request.instance = backupInstance_;
        else
            request.offline = catalogue_;
        return request;
    }

    // The service's last run of a job; empty when it has none.
    std::string lastInstance(const std::string& job) {
        std::string found;
        json_spirit::Value all = parse(service_->control("GET", "instances"));
        for (const json_spirit::Value& one : all.get_obj().at("instances").get_array())
            if (one.get_obj().at("job").get_str() == job) found = one.get_obj().at("id").get_str();
        return found;
    }
    json_spirit::Object instance(const std::string& id) {
        return parse(service_->control("GET", "instance?id=" + id)).get_obj();
    }
    // The paths of the error list that the service holds for a run.
    std::vector<std::string> errorPaths(const std::string& id) {
        std::vector<std::string> out;
        json_spirit::Object run = instance(id);
        auto errors = run.find("errors");
        if (errors == run.end() || errors->second.type() != json_spirit::array_type) return out;
        for (const json_spirit::Value& entry : errors->second.get_array())
            out.push_back(entry.get_obj().at("path").get_str());
        return out;
    }
    json_spirit::Array requests(const std::string& kind) {
        return parse(service_->control("GET", "requests?kind=" + kind))
            .get_obj()
            .at("requests")
            .get_array();
    }
    void fault(const std::string& json) { service_->control("POST", "faults", json); }

    std::unique_ptr<RemoteService> service_;
    std::wstring catalogue_;
    std::string backupInstance_;
    bool open_ = false;
};

}  // namespace restore_tests
