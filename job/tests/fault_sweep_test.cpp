// Fault sweeps: an offline backup, a web backup, an offline restore and a web
// restore of a small mixed tree with a few large files, each interrupted at
// every step it takes on the file system (the layer's fault mode), then
// resumed by a fresh process, then checked by independent readers: the
// catalogue and the stored data through tools/testkit/sweep_check.py
// (openssl, python's zlib), a restored tree with diff -r. Every point must
// end completed with every item stored or restored once and byte-exact; none
// may end completed with an item missing. A restore's record, read when the
// fault stopped it, may not count more files done than are in place whole.
//
// A first run counts the steps of the job and traces them; then every step N
// from 1 to that count is a point: a fresh copy of the machine, an agent
// process run with the fault at step N, then an agent without fault that
// opens the job manager (which resumes the interrupted run) and waits for the
// run's end. Only the data of a large file is not cut at each of its writes:
// of a file written in more than kDenseWrites steps, its first and last
// writes and a few between are points (TOVEL_SWEEP_ALL=1: every write).
// Points run in parallel child processes (TOVEL_SWEEP_PARALLEL, 4). The kill
// sweeps run with the suite; the power-cut sweeps, under both models of the
// cut (renames undone unless flushed, or renames kept and only data put
// back: platform/fault/fault_mode.h), and the sweeps of a restore into an empty
// folder that skips existing targets are kept for the make target
// "power-sweep" (TOVEL_POWER_SWEEP=1) and say so when skipped.
//
// A job whose submission was cut short may exist without ever running (its
// definition saved, no run started): that is counted apart as "never ran",
// and the resuming agent starts it, so that its data is still checked.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/runs/backup_job.h"
#include "job/storage/local_backup_storage.h"
#include "job/storage/piece_deflate.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/restore_job_definition.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::ChildProcess;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char* kCookie = "sid=5566778899aabbccddeeff0011223344";
const char* kTemplateBackup = "0a1b2c3d-0000-4000-8000-00000000b0b0";
const std::wstring kData = L"C:\\data";

// Restore: back to the tree's own place (removed before), overwriting;
// RestoreElsewhere: below the empty folder kElsewhere, skipping a target that
// exists (the definition's default); WebRestore: as Restore, from the run
// that a web backup left on the service.
enum class Kind { Offline, Web, Restore, RestoreElsewhere, WebRestore };

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Offline:
            return "offline";
        case Kind::Web:
            return "web";
        case Kind::Restore:
            return "restore";
        case Kind::WebRestore:
            return "web-restore";
        default:
            return "restore-elsewhere";
    }
}

bool restoring(Kind kind) {
    return kind == Kind::Restore || kind == Kind::RestoreElsewhere || kind == Kind::WebRestore;
}

const char* kElsewhere = "C:\\restored";

// ---- the tree: three folders, twelve small files (one over a block) and
// four large ones, which the backup deflates in pieces on its pool and the
// restore writes from its pool ahead of their turn

struct TreeFile {
    std::wstring path;
    std::string bytes;
};

std::vector<std::wstring> tree_folders() {
    return {kData, kData + L"\\sub", kData + L"\\sub\\deep"};
}

std::vector<TreeFile> tree_files() {
    std::mt19937 random(77);
    auto noise = [&random](size_t size) {
        std::string out(size, '\0');
        for (char& c : out) c = static_cast<char>(random() & 0xFF);
        return out;
    };
    auto text = [](const std::string& line, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) out += line + std::to_string(i) + "\r\n";
        return out;
    };
    auto repeated = [](const std::string& unit, size_t size) {
        std::string out;
        while (out.size() < size) out += unit;
        out.resize(size);
        return out;
    };
    return {
        {kData + L"\\big.bin", noise(200000)},
        {kData + L"\\empty.dat", ""},
        {kData + L"\\notes.txt", text("a note, line ", 40)},
        {kData + L"\\image.raw", noise(5000)},
        {kData + L"\\one.txt", "1"},
        {kData + L"\\sub\\s1.txt", text("first ", 100)},
        {kData + L"\\sub\\s2.txt", text("second ", 7)},
        {kData + L"\\sub\\s3.bin", noise(3000)},
        {kData + L"\\sub\\deep\\d1.txt", text("deep ", 300)},
        {kData + L"\\sub\\deep\\d2.bin", noise(17)},
        {kData + L"\\sub\\deep\\d3.txt", "last\r\n"},
        {kData + L"\\sub\\deep\\d4 with space.txt", text("spaced ", 20)},
        {kData + L"\\large text.txt", text("a line of the large text, number ", 70000)},
        // Two stored in over 1 MiB: the restore streams them ahead side by side.
        {kData + L"\\sub\\large noise.bin", noise(1300000)},
        {kData + L"\\sub\\deep\\more noise.bin", noise(1100000)},
        // Three pieces exactly (the last one posted empty), of noise that
        // repeats within the window: the pieces match into the data before
        // them.
        {kData + L"\\sub\\deep\\pieces.bin", repeated(noise(20000), 3 * PieceDeflate::kPieceBytes)},
    };
}

void make_tree() {
    for (const std::wstring& folder : tree_folders())
        std::filesystem::create_directories(host_of(folder));
    for (const TreeFile& file : tree_files()) write_host_file(host_of(file.path), file.bytes);
}

// ---- the agent

BackupJobDefinition* backup_definition(const std::string& id, bool offline) {
    json_spirit::Object object;
    object["type"] = "backup";
    object["id"] = id;
    object["user"] = "alice";
    object["name"] = "Sweep";
    object["source"] = json_spirit::Array{json_spirit::Value(to_utf8(kData))};
    if (offline) object["offline"] = "C:\\backups";
    object["compression"] = true;
    json_spirit::Object schedule;
    schedule["type"] = "once";
    object["schedule"] = schedule;
    auto* definition = new BackupJobDefinition;
    EXPECT_TRUE(definition->fromJSON(json_spirit::Value(object)));
    return definition;
}

// From the offline catalogue, or from the service's backup run (web).
RestoreJobDefinition* restore_definition(const std::string& id, const std::string& from,
                                         bool elsewhere, bool web) {
    json_spirit::Object object;
    object["type"] = "restore";
    object["id"] = id;
    object["user"] = "alice";
    object["name"] = "Sweep restore";
    json_spirit::Array paths;
    for (const std::wstring& folder : tree_folders())
        paths.push_back(json_spirit::Value(to_utf8(folder) + "\\"));
    for (const TreeFile& file : tree_files())
        paths.push_back(json_spirit::Value(to_utf8(file.path)));
    object["source"] = paths;
    object[web ? "instanceId" : "offline"] = from;
    if (elsewhere)
        object["location"] = kElsewhere;
    else
        object["existing"] = "overwrite";
    auto* definition = new RestoreJobDefinition;
    EXPECT_TRUE(definition->fromJSON(json_spirit::Value(object)));
    return definition;
}

bool final_state(int state) {
    return state == JS_COMPLETED || state == JS_CANCELLED || state == JS_ERROR;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// One agent on the machine TOVEL_SWEEP_ROOT: opens the job manager (which
// resumes an interrupted run) and, when the job TOVEL_SWEEP_JOB is unknown,
// submits it (TOVEL_SWEEP_KIND, TOVEL_SWEEP_FROM for a restore: the catalogue
// or the service's backup run); a job
// that exists but never ran is started. Prints "opened <how>" (resumed,
// submitted, started), then "finished <last-run state>" at the run's end.
TEST(FaultSweepAgent, DISABLED_Run) {
    std::string root = environment("TOVEL_SWEEP_ROOT");
    if (root.empty()) GTEST_SKIP() << "run by the fault sweeps only";
    std::error_code ignored;
    std::filesystem::remove_all(machine_root(), ignored);  // this run's own root is not used
    setenv("TOVEL_ROOT", root.c_str(), 1);
    std::string id = environment("TOVEL_SWEEP_JOB");
    std::string kind = environment("TOVEL_SWEEP_KIND");
    // Groups of a few items: the offline backup's groups then end, and are
    // forced apart while the run goes on, between the points of the sweep.
    LocalBackupStorage::setGroupItems(3);
    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    std::string how = "resumed";
    int state = -1;
    bool known = manager->job(id.c_str(), [&](const Job& job) { state = job.state(); });
    if (!known) {
        how = "submitted";
        JobDefinition* definition =
            kind == "offline" || kind == "web"
                ? static_cast<JobDefinition*>(backup_definition(id, kind == "offline"))
                : restore_definition(id, environment("TOVEL_SWEEP_FROM"),
                                     kind == "restore-elsewhere", kind == "web-restore");
        ASSERT_TRUE(manager->submitJob(definition));
    } else if (state == JS_NONE || state == JS_IDLE) {
        how = "started";
        ASSERT_TRUE(manager->startJob(id.c_str()));
    }
    std::cout << "\nopened " << how << std::endl;
    int last = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    while (last < 0 && std::chrono::steady_clock::now() < deadline) {
        manager->job(id.c_str(), [&](const Job& job) {
            if (final_state(job.state()) && job.wait(0)) last = job.lastRunState();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::cout << "finished " << last << std::endl;
    manager->close();
    Iocp_Dispatcher::instance()->stop();
    _exit(0);
}

struct AgentEnd {
    std::string opened;  // how the job was taken up; empty when never
    int last = -1;       // the last-run state reported; -1 when none
    bool killed = false;
};

AgentEnd run_agent(const std::string& root, Kind kind, const std::string& job,
                   const std::string& from, const std::string& fault, const std::string& report) {
    std::vector<std::string> env = {"TOVEL_SWEEP_ROOT=" + root, "TOVEL_SWEEP_JOB=" + job,
                                    std::string("TOVEL_SWEEP_KIND=") + kind_name(kind),
                                    "TOVEL_SWEEP_FROM=" + from};
    if (!fault.empty()) {
        env.push_back("TOVEL_FAULT=" + fault);
        env.push_back("TOVEL_FAULT_REPORT=" + report);
        if (fault == "count") env.push_back("TOVEL_FAULT_TRACE=" + report + ".trace");
    }
    ChildProcess agent("FaultSweepAgent.DISABLED_Run", env);
    AgentEnd end;
    std::string line = agent.next(
        [](const std::string& text) {
            return text.rfind("opened ", 0) == 0 || text.rfind("finished ", 0) == 0;
        },
        120000);
    if (line.rfind("opened ", 0) == 0) {
        end.opened = line.substr(7);
        line = agent.next([](const std::string& text) { return text.rfind("finished ", 0) == 0; },
                          120000);
    }
    if (line.rfind("finished ", 0) == 0) end.last = std::stoi(line.substr(9));
    agent.next([](const std::string&) { return false; }, 30000);  // its end
    int status = agent.kill_and_reap();
    end.killed = end.last < 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return end;
}

// ---- one sweep

struct Point {
    uint64_t step = 0;
    std::string outcome;  // "clean" or the bad outcome's name
    std::string detail;
};

// Of a file written in more than kDenseWrites steps (a large file's data, in
// its data file, work file or restored file), the first and last kEdgeWrites
// writes and kInnerWrites spread between are cut; a cut at any other of its
// writes leaves what one of those leaves, the file short of its end. The
// catalogue is not one: each of its writes is another item's record.
constexpr size_t kDenseWrites = 16;
constexpr size_t kEdgeWrites = 1;
constexpr size_t kInnerWrites = 3;

struct Chosen {
    std::vector<uint64_t> steps;  // in order
    size_t denseFiles = 0;
};

// The steps to try out of 1 to steps, from the counting run's trace (a line
// a step, its kind and path: platform/fault/fault_mode.h): all of them but
// the writes of a dense file left out as above (none when all). With a pool
// taking steps too, a faulted run's step N may be another call than the
// counting run's; the choice is of places in the run, not of exact calls.
Chosen chosen_steps(const std::string& trace, uint64_t steps, bool all) {
    std::map<std::string, std::vector<uint64_t>> writes;
    std::istringstream lines(trace);
    uint64_t step = 0;
    for (std::string line; std::getline(lines, line);) {
        ++step;
        if (line.rfind("change ", 0) == 0) writes[line.substr(7)].push_back(step);
    }
    Chosen chosen;
    std::set<uint64_t> dropped;
    for (const auto& [path, list] : writes) {
        bool catalogue = path.size() > 4 && path.compare(path.size() - 4, 4, ".cat") == 0;
        if (all || catalogue || list.size() <= kDenseWrites) continue;
        ++chosen.denseFiles;
        size_t n = list.size();
        std::set<size_t> kept;
        for (size_t k = 0; k < kEdgeWrites; ++k) kept.insert({k, n - 1 - k});
        for (size_t j = 1; j <= kInnerWrites; ++j) kept.insert(j * n / (kInnerWrites + 1));
        for (size_t i = 0; i < n; ++i)
            if (!kept.count(i)) dropped.insert(list[i]);
    }
    for (uint64_t n = 1; n <= steps; ++n)
        if (!dropped.count(n)) chosen.steps.push_back(n);
    return chosen;
}

bool power_sweeps() {
    const char* on = std::getenv("TOVEL_POWER_SWEEP");
    return on && std::string(on) == "1";
}

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        if ((name.find("PowerCut") != std::string::npos ||
             name.find("Elsewhere") != std::string::npos) &&
            !power_sweeps())
            GTEST_SKIP() << "kept out of the suite for their time: the power-cut sweeps and the "
                            "restore elsewhere run with make power-sweep (TOVEL_POWER_SWEEP=1)";
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        std::filesystem::create_directories(host_of(L"C:\\backups"));
        make_tree();
        expected_ = machine_root() + "/expected";
        ASSERT_EQ(
            run_command("cp -a " + shell_quote(host_of(kData)) + " " + shell_quote(expected_)), 0);
        points_ = machine_root() + "/points";
        std::filesystem::create_directories(points_);
        // The interpreter itself, found once: a launcher in front of it (a
        // version manager's shim) can cost more than the check.
        ASSERT_EQ(run_command("python3 -c 'import sys; print(sys.executable)'", &python_), 0);
        while (!python_.empty() && python_.back() == '\n') python_.pop_back();
        python_ = shell_quote(python_);
        const char* parallel = std::getenv("TOVEL_SWEEP_PARALLEL");
        parallel_ = parallel ? std::max(1, std::atoi(parallel)) : 4;
    }
    void TearDown() override { service_.reset(); }

    // For the restore: backs the tree up (an agent run without fault),
    // offline into the template's C:\backups or to the service (web), then
    // removes the tree and the backup job.
    void prepareRestore(Kind kind) {
        std::string root = copyMachine("backup");
        bool web = kind == Kind::WebRestore;
        // The service answers with the job's compression flag, which the
        // web restore follows.
        if (web)
            service_->control(
                "POST", "job",
                std::string(R"({"id":")") + kTemplateBackup + R"(","compression":true})");
        AgentEnd end =
            run_agent(root, web ? Kind::Web : Kind::Offline, kTemplateBackup, "", "", "");
        ASSERT_EQ(end.last, JS_COMPLETED);
        if (web) {
            json_spirit::Value all;
            ASSERT_TRUE(json_spirit::read(service_->control("GET", "instances"), all));
            for (const json_spirit::Value& one : all.get_obj().at("instances").get_array())
                if (one.get_obj().at("job").get_str() == kTemplateBackup)
                    from_ = one.get_obj().at("id").get_str();
        } else {
            ASSERT_EQ(run_command("rm -rf " + shell_quote(host_of(L"C:\\backups")) + " && cp -a " +
                                  shell_quote(root + "/drives/c/backups") + " " +
                                  shell_quote(host_of(L"C:\\backups"))),
                      0);
            for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
                if (entry.path().extension() == ".cat")
                    from_ = "C:\\backups\\" + entry.path().filename().string();
        }
        ASSERT_FALSE(from_.empty());
        std::filesystem::remove_all(host_of(kData));
        std::filesystem::remove_all(root);
    }

    // A copy of this test's machine (its drives and registry) for one point.
    std::string copyMachine(const std::string& name) {
        std::string root = points_ + "/" + name;
        std::string base = machine_root();
        run_command("rm -rf " + shell_quote(root) + " && mkdir -p " + shell_quote(root) +
                    " && cp -a " + shell_quote(base + "/drives") + " " +
                    shell_quote(base + "/registry") + " " + shell_quote(root));
        return root;
    }

    std::string jobOf(const std::string& name) const {
        // A job id of its own per point: the service keeps one catalogue per job.
        unsigned long long number = std::hash<std::string>()(name) & 0xFFFFFFFFFFFFull;
        char id[40];
        std::snprintf(id, sizeof id, "5eed0000-0000-4000-8000-%012llx", number);
        return id;
    }

    // Checks what a point left; "" when everything is there once and exact,
    // else the findings, one per line. After the counting run, its backup is
    // the checker's reference (see sweep_check.py).
    std::string findings(Kind kind, const std::string& root, const std::string& job) {
        std::string output;
        if (restoring(kind)) {
            run_command("diff -rq --no-dereference " + shell_quote(expected_) + " " +
                            shell_quote(root + placeOf(kind)) + " 2>&1",
                        &output);
            return output;
        }
        std::string source = environment("TOVEL_SOURCE_DIR");
        std::string script = (source.empty() ? "." : source) + "/tools/testkit/sweep_check.py";
        std::string command = kind == Kind::Offline
                                  ? python_ + " " + shell_quote(script) + " offline " +
                                        shell_quote(root + "/drives/c/backups") + " " +
                                        shell_quote(expected_) + " " + shell_quote(to_utf8(kData))
                                  : python_ + " " + shell_quote(script) + " web " +
                                        shell_quote(machine_root() + "/remote-service") + " " +
                                        job + " " + shell_quote(expected_) + " " +
                                        shell_quote(to_utf8(kData));
        if (run_command(command + " " + reference_ + " 2>&1", &output) != 0)
            output += "checker failed\n";
        return output;
    }

    // Where a restore puts the tree, below a point's machine root.
    static std::string placeOf(Kind kind) {
        return kind == Kind::RestoreElsewhere ? "/drives/c/restored/data" : "/drives/c/data";
    }

    // Of a restore that a fault stopped, before it is resumed: "" when the
    // files that its record (the job's activity file, read raw: its files
    // done at byte 104) reports as done are no more than the files in place
    // and whole; else the two counts.
    std::string reportedMissing(Kind kind, const std::string& root, const std::string& job) {
        std::string record =
            read_host_file(root + "/drives/c/ProgramData/morvask/Tovel/job/" + job + "/act/info");
        uint32_t reported = 0;
        if (record.size() >= 108) std::memcpy(&reported, record.data() + 104, sizeof reported);
        uint32_t whole = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(expected_)) {
            if (!entry.is_regular_file()) continue;
            std::string relative = entry.path().lexically_relative(expected_).string();
            std::string placed = root + placeOf(kind) + "/" + relative;
            if (std::filesystem::is_regular_file(placed) &&
                read_host_file(placed) == read_host_file(entry.path().string()))
                ++whole;
        }
        if (reported <= whole) return "";
        return "reported " + std::to_string(reported) + " files done, " + std::to_string(whole) +
               " in place;";
    }

    Point runPoint(Kind kind, const std::string& fault, uint64_t step) {
        Point point;
        point.step = step;
        std::string name = std::string(kind_name(kind)) + "-" + fault + "-" + std::to_string(step);
        std::string root = copyMachine(name);
        std::string job = jobOf(name);
        std::string report = root + "/steps";
        auto t0 = std::chrono::steady_clock::now();
        AgentEnd first =
            run_agent(root, kind, job, from_, fault + ":" + std::to_string(step), report);
        auto t1 = std::chrono::steady_clock::now();
        AgentEnd end = first;
        std::string early;  // what the stopped run reported done and did not leave in place
        if (first.last < 0 && restoring(kind)) early = reportedMissing(kind, root, job);
        if (first.last < 0) end = run_agent(root, kind, job, from_, "", "");
        auto t2 = std::chrono::steady_clock::now();
        std::string found = findings(kind, root, job);
        auto t3 = std::chrono::steady_clock::now();
        if (!environment("TOVEL_SWEEP_TIMES").empty()) {
            auto ms = [](auto a, auto b) {
                return std::to_string(
                    std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
            };
            std::cout << "step " + std::to_string(step) + ": faulted " + ms(t0, t1) +
                             " ms, resumed " + ms(t1, t2) + " ms, checked " + ms(t2, t3) + " ms\n"
                      << std::flush;
        }
        std::istringstream lines(found);
        std::string line, missing, named;
        bool damaged = false, strayOnly = true;
        for (std::string text; std::getline(lines, text);) {
            if (text.rfind("named ", 0) == 0) {
                named += text.substr(6) + ";";
            } else if (!text.empty()) {
                missing += text + ";";
                damaged = true;
                // A file in the restored tree that the backup never had.
                if (text.rfind("Only in " + root + "/", 0) != 0) strayOnly = false;
            }
        }
        point.detail = "first " + (first.last >= 0 ? std::to_string(first.last) : "killed") +
                       ", then " + end.opened + " " + std::to_string(end.last) + ": " + early +
                       missing + (named.empty() ? "" : " named " + named);
        if (!early.empty())
            point.outcome = "reported done before in place";
        else if (end.last < 0)
            point.outcome = "hung";
        else if (end.opened == "started" && first.last < 0)
            point.outcome = damaged ? "never ran, then lost" : "never ran";
        else if (end.last == JS_COMPLETED && !damaged)
            point.outcome = named.empty() ? "clean" : "completed with named errors";
        else if (end.last == JS_COMPLETED)
            point.outcome = strayOnly ? "completed with stray files" : "completed with items lost";
        else if (end.last == JS_ERROR)
            point.outcome = "error end";
        else
            point.outcome = "other end " + std::to_string(end.last);
        if (point.outcome == "clean" || point.outcome == "never ran")
            std::filesystem::remove_all(root);
        return point;
    }

    // The whole sweep: a counting run, then every step as a point.
    void sweep(Kind kind, const std::string& fault) {
        if (restoring(kind)) {
            ASSERT_NO_FATAL_FAILURE(prepareRestore(kind));
        }
        std::string name = std::string(kind_name(kind)) + "-count";
        std::string root = copyMachine(name);
        std::string report = root + "/steps";
        AgentEnd counted = run_agent(root, kind, jobOf(name), from_, "count", report);
        ASSERT_EQ(counted.last, JS_COMPLETED);
        ASSERT_EQ(findings(kind, root, jobOf(name)), "") << "the run without fault";
        uint64_t steps = std::strtoull(read_host_file(report).c_str(), nullptr, 10);
        ASSERT_GT(steps, 0u);
        if (kind == Kind::Offline) {
            reference_ = shell_quote(machine_root() + "/reference");
            std::filesystem::rename(root + "/drives/c/backups", machine_root() + "/reference");
        } else if (kind == Kind::Web) {
            reference_ = jobOf(name);
        }

        uint64_t counted_steps = steps;
        Chosen chosen = chosen_steps(read_host_file(report + ".trace"), steps,
                                     environment("TOVEL_SWEEP_ALL") == "1");
        // TOVEL_SWEEP_STEPS=A-B tries those steps only, each (to look at a few).
        std::string only = environment("TOVEL_SWEEP_STEPS");
        if (!only.empty()) {
            uint64_t first = std::strtoull(only.c_str(), nullptr, 10);
            size_t dash = only.find('-');
            uint64_t last = dash == std::string::npos
                                ? first
                                : std::strtoull(only.c_str() + dash + 1, nullptr, 10);
            chosen.steps.clear();
            for (uint64_t step = first; step <= last; ++step) chosen.steps.push_back(step);
        }
        std::filesystem::remove_all(root);
        std::vector<Point> points(chosen.steps.size());
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < parallel_; ++i) {
            workers.emplace_back([&] {
                for (size_t at = next++; at < points.size(); at = next++)
                    points[at] = runPoint(kind, fault, chosen.steps[at]);
            });
        }
        for (std::thread& worker : workers) worker.join();

        std::map<std::string, int> outcomes;
        for (const Point& point : points) ++outcomes[point.outcome];
        std::cout << "[ sweep    ] " << kind_name(kind) << " " << fault << ": " << points.size()
                  << " points tried of " << counted_steps << " steps (" << chosen.denseFiles
                  << " files' writes sampled), " << outcomes["clean"] << " clean ends";
        for (const auto& [outcome, count] : outcomes)
            if (outcome != "clean") std::cout << ", " << count << " " << outcome;
        std::cout << std::endl;
        for (const Point& point : points) {
            if (point.outcome == "clean") continue;
            std::cout << "[ sweep    ]   step " << point.step << ": " << point.outcome << " ("
                      << point.detail << ")" << std::endl;
            // A job whose submission was cut short is another fault (the
            // submission is not all-or-nothing): counted, not failed here.
            if (point.outcome != "never ran") ADD_FAILURE() << "step " << point.step;
        }
    }

    std::unique_ptr<RemoteService> service_;
    std::string expected_;
    std::string points_;
    std::string from_;       // what a restore reads: the catalogue, or the service's backup run
    std::string reference_;  // the checker's reference (quoted), or empty
    std::string python_;     // the python3 interpreter's path (quoted)
    int parallel_ = 4;
};

TEST_F(FaultSweep, AnOfflineBackupKilledAtEveryStep) { sweep(Kind::Offline, "kill"); }
TEST_F(FaultSweep, AWebBackupKilledAtEveryStep) { sweep(Kind::Web, "kill"); }
TEST_F(FaultSweep, AnOfflineRestoreKilledAtEveryStep) { sweep(Kind::Restore, "kill"); }
TEST_F(FaultSweep, AWebRestoreKilledAtEveryStep) { sweep(Kind::WebRestore, "kill"); }

TEST_F(FaultSweep, AnOfflineBackupPowerCutAtEveryStep) { sweep(Kind::Offline, "power"); }
TEST_F(FaultSweep, AWebBackupPowerCutAtEveryStep) { sweep(Kind::Web, "power"); }
TEST_F(FaultSweep, AnOfflineRestorePowerCutAtEveryStep) { sweep(Kind::Restore, "power"); }
TEST_F(FaultSweep, AWebRestorePowerCutAtEveryStep) { sweep(Kind::WebRestore, "power"); }

// The second model of the cut: renames reach the disk before the data.
TEST_F(FaultSweep, AnOfflineBackupPowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::Offline, "power-keep");
}
TEST_F(FaultSweep, AWebBackupPowerCutKeepingRenamesAtEveryStep) { sweep(Kind::Web, "power-keep"); }
TEST_F(FaultSweep, AnOfflineRestorePowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::Restore, "power-keep");
}
TEST_F(FaultSweep, AWebRestorePowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::WebRestore, "power-keep");
}

// Into an empty folder, skipping what exists: a target left in place by a cut
// is not restored again.
TEST_F(FaultSweep, AnOfflineRestoreElsewhereKilledAtEveryStep) {
    sweep(Kind::RestoreElsewhere, "kill");
}
TEST_F(FaultSweep, AnOfflineRestoreElsewherePowerCutAtEveryStep) {
    sweep(Kind::RestoreElsewhere, "power");
}
TEST_F(FaultSweep, AnOfflineRestoreElsewherePowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::RestoreElsewhere, "power-keep");
}

}  // namespace
