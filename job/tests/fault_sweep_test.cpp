// Fault sweeps: an offline backup, a web backup and an offline restore of a
// small mixed tree, each interrupted at every step it takes on the file
// system (the layer's fault mode), then resumed by a fresh process, then
// checked by independent readers: the catalogue and the stored data through
// tools/testkit/sweep_check.py (openssl, python's zlib), a restored tree
// with diff -r. Every point must end completed with every item stored or
// restored once and byte-exact; none may end completed with an item missing.
//
// A first run counts the steps of the job; then every step N from 1 to that
// count is a point: a fresh copy of the machine, an agent process run with
// the fault at step N, then an agent without fault that opens the job
// manager (which resumes the interrupted run) and waits for the run's end.
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
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
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
// exists (the definition's default).
enum class Kind { Offline, Web, Restore, RestoreElsewhere };

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Offline:
            return "offline";
        case Kind::Web:
            return "web";
        case Kind::Restore:
            return "restore";
        default:
            return "restore-elsewhere";
    }
}

bool restoring(Kind kind) { return kind == Kind::Restore || kind == Kind::RestoreElsewhere; }

const char* kElsewhere = "C:\\restored";

// ---- the tree: three folders, fourteen files, one of them over a block and two
// over the in-memory size (transformed ahead together, in pieces)

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
        {kData + L"\\sub\\large.log", text("a large log, line ", 60000)},
        {kData + L"\\sub\\large.bin", noise(1100000)},
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

RestoreJobDefinition* restore_definition(const std::string& id, const std::string& catalogue,
                                         bool elsewhere) {
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
    object["offline"] = catalogue;
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
// submits it (TOVEL_SWEEP_KIND, TOVEL_SWEEP_CATALOGUE for a restore); a job
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
    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    std::string how = "resumed";
    int state = -1;
    bool known = manager->job(id.c_str(), [&](const Job& job) { state = job.state(); });
    if (!known) {
        how = "submitted";
        JobDefinition* definition =
            kind.rfind("restore", 0) == 0
                ? static_cast<JobDefinition*>(restore_definition(
                      id, environment("TOVEL_SWEEP_CATALOGUE"), kind == "restore-elsewhere"))
                : backup_definition(id, kind == "offline");
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
                   const std::string& catalogue, const std::string& fault,
                   const std::string& report) {
    std::vector<std::string> env = {"TOVEL_SWEEP_ROOT=" + root, "TOVEL_SWEEP_JOB=" + job,
                                    std::string("TOVEL_SWEEP_KIND=") + kind_name(kind),
                                    "TOVEL_SWEEP_CATALOGUE=" + catalogue};
    if (!fault.empty()) {
        env.push_back("TOVEL_FAULT=" + fault);
        env.push_back("TOVEL_FAULT_REPORT=" + report);
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
            GTEST_SKIP() << "the power-cut sweeps and the restore elsewhere run with make "
                            "power-sweep (TOVEL_POWER_SWEEP=1)";
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

    // For the restore: backs the tree up offline in the template (an agent
    // run without fault), then removes the tree and the backup job.
    void prepareRestore() {
        std::string root = copyMachine("backup");
        AgentEnd end = run_agent(root, Kind::Offline, kTemplateBackup, "", "", "");
        ASSERT_EQ(end.last, JS_COMPLETED);
        ASSERT_EQ(run_command("rm -rf " + shell_quote(host_of(L"C:\\backups")) + " && cp -a " +
                              shell_quote(root + "/drives/c/backups") + " " +
                              shell_quote(host_of(L"C:\\backups"))),
                  0);
        for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\backups")))
            if (entry.path().extension() == ".cat")
                catalogue_ = "C:\\backups\\" + entry.path().filename().string();
        ASSERT_FALSE(catalogue_.empty());
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
            std::string place =
                kind == Kind::Restore ? "/drives/c/data" : "/drives/c/restored/data";
            run_command("diff -rq --no-dereference " + shell_quote(expected_) + " " +
                            shell_quote(root + place) + " 2>&1",
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

    Point runPoint(Kind kind, const std::string& fault, uint64_t step) {
        Point point;
        point.step = step;
        std::string name = std::string(kind_name(kind)) + "-" + fault + "-" + std::to_string(step);
        std::string root = copyMachine(name);
        std::string job = jobOf(name);
        std::string report = root + "/steps";
        auto t0 = std::chrono::steady_clock::now();
        AgentEnd first =
            run_agent(root, kind, job, catalogue_, fault + ":" + std::to_string(step), report);
        auto t1 = std::chrono::steady_clock::now();
        AgentEnd end = first;
        if (first.last < 0) end = run_agent(root, kind, job, catalogue_, "", "");
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
                       ", then " + end.opened + " " + std::to_string(end.last) + ": " + missing +
                       (named.empty() ? "" : " named " + named);
        if (end.last < 0)
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
            ASSERT_NO_FATAL_FAILURE(prepareRestore());
        }
        std::string name = std::string(kind_name(kind)) + "-count";
        std::string root = copyMachine(name);
        std::string report = root + "/steps";
        AgentEnd counted = run_agent(root, kind, jobOf(name), catalogue_, "count", report);
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
        std::filesystem::remove_all(root);

        // TOVEL_SWEEP_STEPS=A-B tries those steps only (to look at a few).
        uint64_t first = 1;
        std::string only = environment("TOVEL_SWEEP_STEPS");
        if (!only.empty()) {
            first = std::strtoull(only.c_str(), nullptr, 10);
            size_t dash = only.find('-');
            steps = dash == std::string::npos ? first
                                              : std::strtoull(only.c_str() + dash + 1, nullptr, 10);
        }
        std::vector<Point> points(steps);
        std::atomic<uint64_t> next{first};
        std::vector<std::thread> workers;
        for (int i = 0; i < parallel_; ++i) {
            workers.emplace_back([&] {
                for (uint64_t step = next++; step <= steps; step = next++)
                    points[step - 1] = runPoint(kind, fault, step);
            });
        }
        for (std::thread& worker : workers) worker.join();

        points.erase(points.begin(), points.begin() + static_cast<ptrdiff_t>(first - 1));
        std::map<std::string, int> outcomes;
        for (const Point& point : points) ++outcomes[point.outcome];
        std::cout << "[ sweep    ] " << kind_name(kind) << " " << fault << ": " << points.size()
                  << " points tried, " << outcomes["clean"] << " clean ends";
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
    std::string catalogue_;
    std::string reference_;  // the checker's reference (quoted), or empty
    std::string python_;     // the python3 interpreter's path (quoted)
    int parallel_ = 4;
};

TEST_F(FaultSweep, AnOfflineBackupKilledAtEveryStep) { sweep(Kind::Offline, "kill"); }
TEST_F(FaultSweep, AWebBackupKilledAtEveryStep) { sweep(Kind::Web, "kill"); }
TEST_F(FaultSweep, AnOfflineRestoreKilledAtEveryStep) { sweep(Kind::Restore, "kill"); }

TEST_F(FaultSweep, AnOfflineBackupPowerCutAtEveryStep) { sweep(Kind::Offline, "power"); }
TEST_F(FaultSweep, AWebBackupPowerCutAtEveryStep) { sweep(Kind::Web, "power"); }
TEST_F(FaultSweep, AnOfflineRestorePowerCutAtEveryStep) { sweep(Kind::Restore, "power"); }

// The second model of the cut: renames reach the disk before the data.
TEST_F(FaultSweep, AnOfflineBackupPowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::Offline, "power-keep");
}
TEST_F(FaultSweep, AWebBackupPowerCutKeepingRenamesAtEveryStep) { sweep(Kind::Web, "power-keep"); }
TEST_F(FaultSweep, AnOfflineRestorePowerCutKeepingRenamesAtEveryStep) {
    sweep(Kind::Restore, "power-keep");
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
