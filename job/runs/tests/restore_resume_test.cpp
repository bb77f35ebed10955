// Restore runs that do not go through in one piece: paused and resumed, the
// process killed at several points and the run taken up by the next one, and
// the simulator refusing, dropping or stalling block downloads. Every such
// run must end completed with the tree byte-exact, each file written once:
// the restore uses the rename policy over a place where every other file
// exists already, so that a finished item presented again would leave a
// renamed copy ("X.0" or "X.0.1") that the comparison finds.
#include "job/runs/restore_job.h"
//
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include "job/tests/restore_checks.h"
#include "tools/testkit/child_process.h"

using namespace restore_tests;
using tovel::testing::ChildProcess;

namespace {

constexpr uint64_t kBlock = 131072;
const std::wstring kBig = std::wstring(kData) + L"\\nested\\big.bin";  // 12 blocks
const std::wstring kHuge = std::wstring(kData) + L"\\nested\\huge.txt";

std::string job_folder(const std::string& id) {
    return host_of(L"C:\\ProgramData\\morvask\\Tovel\\job\\" + std::wstring(id.begin(), id.end()));
}

class RestoreResume : public RestoreTest {
protected:
    // Pauses the run and waits until its worker is gone: the state it ended
    // in (0 when it did not end in time).
    int pauseAndWait() {
        if (!manager()->pauseJob(request_.id.c_str())) return 0;
        int state = 0;
        bool still = waitFor(request_.id, [&](const Job& job) {
            state = job.state();
            return !job.running() && (state == JS_PAUSED || is_final(state));
        });
        return still ? state : 0;
    }

    // The tree (with a file of 12 blocks, and for many an 8 MiB text and 300
    // small files more) backed up, then the place prepared: the tree is gone
    // but for every other file, which holds other bytes. C:\expected is what
    // the rename restore of every item must leave: each of those files as it
    // was, with the restored one beside it as X.0.
    void prepare(bool online, bool many = false) {
        trees_ = std::make_unique<Trees>();
        trees_->addFile(L"nested\\big.bin", noise(11 * kBlock + 5000, 42));
        if (many) {
            std::string text;
            for (int line = 0; text.size() < 8 * 1024 * 1024; ++line)
                text += "line " + std::to_string(line) + " of the huge text file\r\n";
            trees_->addFile(kHuge.substr(std::wcslen(kData) + 1), text);
            trees_->addFolder(L"many");
            for (int i = 0; i < 300; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "many\\file %03d.txt", i);
                trees_->addFile(std::wstring(name, name + std::strlen(name)),
                                "small file " + std::to_string(i) + "\n" + std::string(i, 'x'));
            }
        }
        backUp(online);
        ASSERT_EQ(run_command("cp -r " + shell_quote(host_of(kPristine)) + " " +
                              shell_quote(host_of(L"C:\\expected"))),
                  0);
        std::filesystem::remove_all(host_of(kData));
        std::vector<std::wstring> files = trees_->files();
        for (size_t i = 0; i < files.size(); i += 2) {
            std::wstring relative = files[i].substr(std::wcslen(kData) + 1);
            std::string old = "the older " + to_utf8(relative);
            std::string place = host_of(files[i]);
            std::filesystem::create_directories(std::filesystem::path(place).parent_path());
            write_host_file(place, old);
            std::string expected = host_of(L"C:\\expected\\" + relative);
            std::filesystem::rename(expected, expected + ".0");
            write_host_file(expected, old);
        }
        request_ = restoreOf(trees_->items(), online);
        request_.existing = "rename";
    }

    // The place holds exactly the expected tree, and the job's work files are gone.
    void expectRestored() {
        EXPECT_EQ(differences(host_of(kData), host_of(L"C:\\expected")), "");
        std::string work = job_folder(request_.id) + "/tmp";
        EXPECT_TRUE(!std::filesystem::exists(work) || std::filesystem::is_empty(work)) << work;
    }

    // The index of a file in the run's list (files are numbered from 1 in
    // list order): its work file's name.
    int ordinal(const std::wstring& file) const {
        std::vector<std::wstring> files = trees_->files();
        return static_cast<int>(std::find(files.begin(), files.end(), file) - files.begin()) + 1;
    }

    // The block numbers asked for a file in the requests given.
    static std::vector<uint64_t> blocks(const json_spirit::Array& asked, const std::wstring& file) {
        std::vector<uint64_t> out;
        std::string name = to_utf8(file.substr(file.rfind(L'\\') + 1));
        for (const json_spirit::Value& one : asked) {
            const json_spirit::Object& request = one.get_obj();
            if (request.at("body").get_obj().at("filename").get_str() == name)
                out.push_back(request.at("block").get_uint64());
        }
        return out;
    }

    // Runs the restore, resuming it through the manager each time it
    // pauses, until it ends; the pauses counted, each checked to be the
    // system's (not a user's).
    int runResuming(int& pauses) {
        EXPECT_TRUE(manager()->submitJob(request_.definition()));
        for (;;) {
            int state = 0;
            bool manual = false;
            bool stopped = waitFor(request_.id, [&](const Job& job) {
                state = job.state();
                json_spirit::Object shown;
                job.toJSON(shown);
                auto flag = shown.find("paused-manually");
                manual = flag != shown.end() && flag->second.get_int() != 0;
                return !job.running() && (is_final(state) || state == JS_PAUSED);
            });
            EXPECT_TRUE(stopped) << "state " << state;
            if (!stopped || state != JS_PAUSED) return state;
            EXPECT_FALSE(manual);
            ++pauses;
            EXPECT_LT(pauses, 10);
            if (pauses >= 10) return state;
            EXPECT_TRUE(manager()->resumeJob(request_.id.c_str()));
        }
    }

    std::unique_ptr<Trees> trees_;
    Restore request_;
};

using RestoreResumePause = RestoreResume;

// ---- paused by the user, then resumed

// Paused while big.bin's blocks come in: the work file holds the blocks
// done, and the resumed run asks for the next block first and for nothing of
// the files that were finished before the pause.
TEST_F(RestoreResumePause, AWebRunGoesOnAtTheBlockWhereItStood) {
    prepare(true);
    fault(R"({"kind":"download_data","action":"delay","seconds":0.1})");
    ASSERT_TRUE(manager()->submitJob(request_.definition()));
    ASSERT_TRUE(waitFor(request_.id, [&](const Job& job) {
        return job.file() == kBig && job.fileProgress() > 10;
    }));
    ASSERT_TRUE(manager()->pauseJob(request_.id.c_str()));
    ASSERT_TRUE(waitFor(request_.id,
                        [](const Job& job) { return job.state() == JS_PAUSED && !job.running(); }));

    json_spirit::Array before = requests("download_data");
    std::vector<uint64_t> done = blocks(before, kBig);
    ASSERT_FALSE(done.empty());
    ASSERT_LT(done.back(), 12u);
    std::string work = job_folder(request_.id) + "/tmp/" + std::to_string(ordinal(kBig));
    EXPECT_EQ(std::filesystem::file_size(work), done.back() * kBlock);
    std::set<std::string> finished;
    for (const json_spirit::Value& one : before)
        finished.insert(one.get_obj().at("body").get_obj().at("filename").get_str());
    finished.erase("big.bin");

    service_->control("POST", "requests/clear");
    ASSERT_TRUE(manager()->resumeJob(request_.id.c_str()));
    EXPECT_EQ(waitForEnd(request_.id), JS_COMPLETED);
    json_spirit::Array after = requests("download_data");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().get_obj().at("body").get_obj().at("filename").get_str(), "big.bin");
    EXPECT_EQ(after.front().get_obj().at("block").get_uint64(), done.back() + 1);
    for (const json_spirit::Value& one : after)
        EXPECT_EQ(finished.count(one.get_obj().at("body").get_obj().at("filename").get_str()), 0u)
            << one.get_obj().at("body").get_obj().at("filename").get_str();
    expectRestored();
}

// A stop right after a pause, while big.bin's blocks come in, is not lost
// behind the pause: the run ends cancelled, with its work files gone.
TEST_F(RestoreResumePause, AStopRightAfterAPauseCancelsTheRun) {
    prepare(true);
    fault(R"({"kind":"download_data","action":"delay","seconds":0.1})");
    ASSERT_TRUE(manager()->submitJob(request_.definition()));
    ASSERT_TRUE(waitFor(request_.id, [&](const Job& job) {
        return job.file() == kBig && job.fileProgress() > 10;
    }));
    ASSERT_TRUE(manager()->pauseJob(request_.id.c_str()));
    ASSERT_TRUE(manager()->stopJob(request_.id.c_str()));
    EXPECT_EQ(waitForEnd(request_.id), JS_CANCELLED);
    int last = 0;
    manager()->job(request_.id.c_str(), [&](const Job& job) { last = job.lastRunState(); });
    EXPECT_EQ(last, JS_CANCELLED);
    std::string work = job_folder(request_.id) + "/tmp";
    EXPECT_TRUE(!std::filesystem::exists(work) || std::filesystem::is_empty(work)) << work;
}

// An offline run paused among its many small files pauses there, with files
// still to restore, and the resumed run restores those.
TEST_F(RestoreResumePause, AnOfflineRunPausesBetweenItemsAndGoesOn) {
    prepare(false, true);
    ASSERT_TRUE(manager()->submitJob(request_.definition()));
    ASSERT_TRUE(waitFor(request_.id, [&](const Job& job) {
        return job.file().find(L"\\many\\file 0") != std::wstring::npos;
    }));
    ASSERT_EQ(pauseAndWait(), JS_PAUSED);
    // The last file of the list that is not there before the restore.
    std::vector<std::wstring> files = trees_->files();
    std::wstring last = files[(files.size() - 1) % 2 ? files.size() - 1 : files.size() - 2];
    EXPECT_FALSE(std::filesystem::exists(host_of(last))) << to_utf8(last);

    ASSERT_TRUE(manager()->resumeJob(request_.id.c_str()));
    EXPECT_EQ(waitForEnd(request_.id), JS_COMPLETED);
    expectRestored();
}

// An offline run reads its list ahead and writes the next small files'
// temporary files on other threads. Paused twice while those are in flight
// (asked while a large file before them, which is not read ahead, is
// restored; the folders of the files are made as the run goes), the paused
// run leaves no temporary file and no file that is not whole, and the resumed
// runs restore the rest: the tree byte-exact, each file once (with the rename
// policy a file restored twice leaves a renamed copy).
TEST_F(RestoreResumePause, AnOfflineRunPausedWithFilesPreparedAheadRestoresEachOnce) {
    trees_ = std::make_unique<Trees>();
    std::string text;
    for (int line = 0; text.size() < 4 * 1024 * 1024; ++line)
        text += "line " + std::to_string(line) + " of a large text file\r\n";
    for (int folder = 0; folder < 8; ++folder) {
        std::wstring name = L"ahead\\d" + std::to_wstring(folder);
        trees_->addFolder(name);
        if (folder == 2 || folder == 5) trees_->addFile(name + L"\\big", text);
        for (int i = 0; i < 40; ++i)
            trees_->addFile(name + L"\\f" + std::to_wstring(i),
                            noise(100 + 97 * i, folder * 40 + i));
    }
    backUp(false);
    std::filesystem::remove_all(host_of(kData));
    request_ = restoreOf(trees_->items(), false);
    request_.existing = "rename";
    ASSERT_TRUE(manager()->submitJob(request_.definition()));
    // Paused in the folders of the large files, which are prepared ahead too.
    for (const wchar_t* mark : {L"\\ahead\\d2\\", L"\\ahead\\d5\\"}) {
        ASSERT_TRUE(waitFor(request_.id, [&](const Job& job) {
            return job.file().find(mark) != std::wstring::npos;
        }));
        ASSERT_EQ(pauseAndWait(), JS_PAUSED);
        size_t found = 0;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(host_of(kData) + "/ahead")) {
            if (!entry.is_regular_file()) continue;
            std::string name = entry.path().filename().string();
            EXPECT_EQ(name.find(".~tovel"), std::string::npos) << entry.path();
            std::string relative = entry.path().string().substr(host_of(kData).size());
            EXPECT_EQ(read_host_file(entry.path().string()),
                      read_host_file(host_of(kPristine) + relative))
                << relative;
            ++found;
        }
        EXPECT_GT(found, 0u);
        EXPECT_LT(found, 322u);
        ASSERT_TRUE(manager()->resumeJob(request_.id.c_str()));
    }
    EXPECT_EQ(waitForEnd(request_.id), JS_COMPLETED);
    EXPECT_EQ(differences(host_of(kData), host_of(kPristine)), "");
}

// ---- the process killed

// The agent's process as a child: the job manager on the parent's machine
// (whose open takes up an interrupted run), reporting on its output the
// restore job's current file ("file <path>") as it changes and the end of
// its run ("ended <state>"). Its first input line is "submit <definition>"
// or "watch".
class Agent {
public:
    explicit Agent(unsigned short port)
        : process_("RestoreResumeAgent.DISABLED_Run",
                   {"TOVEL_RESTORE_AGENT_ROOT=" + machine_root(),
                    "TOVEL_RESTORE_AGENT_PORT=" + std::to_string(port)}) {
        EXPECT_EQ(next("ready", 60000), "ready");
    }
    void send(const std::string& line) { process_.send(line); }
    // The next line that starts with prefix ("<timeout>", "<closed>").
    std::string next(const std::string& prefix, int timeoutMs = 120000) {
        return process_.next(
            [&](const std::string& line) {
                return line.rfind(prefix, 0) == 0 || line.rfind("ended ", 0) == 0;
            },
            timeoutMs);
    }
    void kill() {
        int status = process_.kill_and_reap();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }

private:
    ChildProcess process_;
};

using RestoreResumeKill = RestoreResume;

// Killed while the first blocks come in, again in the middle of the run,
// and once more while the run's end waits for the service to take its
// history: each next process takes the run up, the last one ends it, and
// the service saw one restore run, started by each process, ended once.
// The service holds back its answer where a process is to be killed (the
// fourth download, eight downloads later, the history), so that each kill
// comes there however slowly the test looks.
TEST_F(RestoreResumeKill, AWebRunIsTakenUpByTheNextProcess) {
    prepare(true);
    fault(R"({"kind":"download_data","action":"stall","skip":3,"times":1})");
    closeManager();
    auto wait_for_requests = [&](const std::string& kind, size_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (requests(kind).size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return requests(kind).size() >= count;
    };
    {
        Agent agent(service_->port());
        agent.send("submit " + request_.json());
        ASSERT_TRUE(wait_for_requests("download_data", 4));
        agent.kill();
    }
    size_t asked = requests("download_data").size();
    fault(R"({"kind":"download_data","action":"stall","skip":8,"times":1})");
    {
        Agent agent(service_->port());
        agent.send("watch");
        ASSERT_TRUE(wait_for_requests("download_data", asked + 9));
        agent.kill();
    }
    fault(R"({"kind":"submit_history","action":"stall","times":1})");
    {
        Agent agent(service_->port());
        agent.send("watch");
        ASSERT_TRUE(wait_for_requests("submit_history", 1));
        agent.kill();
    }
    {
        Agent agent(service_->port());
        agent.send("watch");
        EXPECT_EQ(agent.next("ended "), "ended " + std::to_string(JS_COMPLETED));
    }
    expectRestored();
    std::string run = lastInstance(kRestoreJob);
    json_spirit::Object record = instance(run);
    EXPECT_EQ(record.at("state").get_str(), "ended");
    EXPECT_EQ(record.at("starts").get_uint64(), 4u);
    // The stalled history was taken: the next process cannot know, and sends it again.
    EXPECT_GE(record.at("history_submissions").get_uint64(), 1u);
    EXPECT_EQ(errorPaths(run), std::vector<std::string>{});
}

// Killed twice among the many small files, then while the huge text file
// is decrypted and inflated beside its place: the fourth process ends the
// run, and no temporary file of a cut-short attempt is left beside a file.
TEST_F(RestoreResumeKill, AnOfflineRunIsTakenUpByTheNextProcess) {
    prepare(false, true);
    closeManager();
    auto index_of = [](const std::string& line) {
        size_t at = line.find("\\many\\file ");
        return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 11);
    };
    const std::string huge = "file " + to_utf8(kHuge);
    int reached = -1;
    for (int round = 0; round < 4; ++round) {
        Agent agent(service_->port());
        agent.send(round == 0 ? "submit " + request_.json() : "watch");
        if (round == 3) {
            EXPECT_EQ(agent.next("ended "), "ended " + std::to_string(JS_COMPLETED));
            break;
        }
        std::string line;
        do line = agent.next("file ");
        while (line.rfind("file ", 0) == 0 &&
               (round == 2 ? line != huge : index_of(line) < (round == 0 ? 30 : reached + 100)));
        ASSERT_EQ(line.rfind("file ", 0), 0u) << line;
        reached = index_of(line);
        agent.kill();
    }
    expectRestored();
}

// Three items that the backup does not hold, each answered 404: the process
// is killed once the first has failed, while the service holds back its
// answer for the second. The run taken up by the next process still counts
// that failure: every item failed, so the run ends in error, and the service
// gets all three in the run's errors.
TEST_F(RestoreResumeKill, FailuresBeforeAKillStillCount) {
    Trees trees;
    backUp(true);
    fault(R"({"kind":"get_file_info","action":"stall","skip":1,"times":1})");
    closeManager();
    request_ = restoreOf(
        {std::wstring(kData) + L"\\missing 1.txt", std::wstring(kData) + L"\\missing 2.txt",
         std::wstring(kData) + L"\\missing 3.txt"},
        true);
    {
        Agent agent(service_->port());
        agent.send("submit " + request_.json());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (requests("get_file_info").size() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(requests("get_file_info").size(), 2u);
        agent.kill();
    }
    {
        Agent agent(service_->port());
        agent.send("watch");
        EXPECT_EQ(agent.next("ended "), "ended " + std::to_string(JS_ERROR));
    }
    std::vector<std::string> paths = errorPaths(lastInstance(kRestoreJob));
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"C:\\data\\missing 1.txt", "C:\\data\\missing 2.txt",
                                               "C:\\data\\missing 3.txt"}));
}

// ---- faults of the service

// The client's time-outs short, for the stall: the settings file is read
// when the settings are first used.
class RestoreResumeFaults : public RestoreResume {
protected:
    void beforeManager() override {
        std::string folder = host_of(L"C:\\ProgramData\\morvask\\Tovel");
        std::filesystem::create_directories(folder);
        write_host_file(folder + "/options",
                        R"({"connectTimeout":5000,"sendTimeout":5000,"receiveTimeout":1500})");
    }

    // The restore through a fault that hits big.bin's blocks from its
    // fourth on (the downloads go Grüße.txt, then big.bin): it pauses at
    // least once and ends completed after the resumes.
    void through(const std::string& fault_json) {
        prepare(true);
        fault(fault_json);
        int pauses = 0;
        EXPECT_EQ(runResuming(pauses), JS_COMPLETED);
        EXPECT_GE(pauses, 1);
        expectRestored();
        EXPECT_EQ(errorPaths(lastInstance(kRestoreJob)), std::vector<std::string>{});
    }
};

TEST_F(RestoreResumeFaults, RefusedDownloadsPauseTheRunAndItGoesOn) {
    through(R"({"kind":"download_data","action":"status","status":503,"skip":4,"times":3})");
}

TEST_F(RestoreResumeFaults, ConnectionsDroppedMidBlockPauseTheRunAndItGoesOn) {
    through(R"({"kind":"download_data","action":"drop","after":30000,"skip":4,"times":3})");
}

TEST_F(RestoreResumeFaults, AStalledDownloadTimesOutPausesTheRunAndItGoesOn) {
    through(R"({"kind":"download_data","action":"stall","skip":4,"times":2})");
}

}  // namespace

// The agent of the kill tests, in a child process of its own.
TEST(RestoreResumeAgent, DISABLED_Run) {
    const char* root = std::getenv("TOVEL_RESTORE_AGENT_ROOT");
    const char* port = std::getenv("TOVEL_RESTORE_AGENT_PORT");
    if (!root || !port) GTEST_SKIP();
    rmdir(machine_root().c_str());  // this run's own fresh (empty) root is not used
    setenv("TOVEL_ROOT", root, 1);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(
        "sim", "127.0.0.1", static_cast<unsigned short>(std::atoi(port))));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    std::cout << "\nready" << std::endl;
    std::string command;
    if (!std::getline(std::cin, command)) _exit(0);
    if (command.rfind("submit ", 0) == 0) {
        auto* definition = new RestoreJobDefinition;
        ASSERT_TRUE(definition->fromJSON(parse(command.substr(7))));
        ASSERT_TRUE(manager->submitJob(definition));
    }
    std::wstring shown;
    for (bool ended = false; !ended;) {
        std::wstring file;
        int state = 0;
        manager->job(kRestoreJob, [&](const Job& job) {
            file = job.file();
            state = job.state();
            ended = is_final(state) && !job.running() && job.lastRunState() != 0;
        });
        if (file != shown) {
            shown = file;
            std::cout << "file " << to_utf8(file) << std::endl;
        }
        if (ended) std::cout << "ended " << state << std::endl;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (std::getline(std::cin, command)) {
    }
    _exit(0);  // the parent went away
}
