// The service host as the service manager's file back-end runs it, with real
// processes on a fresh machine: installing and removing the service, the
// custom requests 130 and 131, stopping by the service manager (a SIGTERM is
// its stop request), a start that fails, and a backup that the stop pauses
// and the next start completes.
#include "starter/service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "job/core/job_state.h"
#include "platform/win32.h"
#include "starter/tests/backup_fixture.h"
#include "starter/tests/captured_output.h"
#include "starter/tests/exit_event_watcher.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using namespace tovel::starter::testing;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::RemoteService;
using tovel::testing::write_host_file;

namespace {

std::string data_folder() { return host_of(L"C:\\ProgramData\\morvask\\Tovel"); }

void write_options(const std::string& text = "ports 127.0.0.1:0\n") {
    std::filesystem::create_directories(data_folder());
    write_host_file(data_folder() + "/mongoose.conf", text);
}

struct Ended {
    int status;
    std::string errors;
};

Ended run_starter(const std::vector<std::string>& arguments) {
    StarterProcess starter(arguments);
    int status = starter.wait();
    return {status, starter.errors()};
}

// The service's status as the service manager reports it; dwCurrentState 0
// when it cannot be had.
SERVICE_STATUS service_status() {
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return status;
    SC_HANDLE service = OpenServiceA(manager, tovel::starter::kServiceName, SERVICE_QUERY_STATUS);
    if (service) {
        if (!QueryServiceStatus(service, &status)) status = {};
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return status;
}

DWORD service_state() { return service_status().dwCurrentState; }

// The service's process as the service manager starts it.
class ServiceProcess : public StarterProcess {
public:
    ServiceProcess()
        : StarterProcess({},
                         {std::string("TOVEL_SERVICE_PROCESS=") + tovel::starter::kServiceName}) {}
};

class StarterService : public ::testing::Test {
protected:
    void SetUp() override {
        Ended installed = run_starter({"-i"});
        ASSERT_EQ(installed.status, 0) << installed.errors;
    }
    // Waits for the service's state; false when it does not come.
    static bool reaches(DWORD state, int seconds = 60) {
        return eventually([state] { return service_state() == state; }, seconds);
    }
};

// Installing twice gives ERROR_SERVICE_EXISTS; a request to an installed
// service that does not run gives ERROR_SERVICE_NOT_ACTIVE; removing twice,
// or sending a request to a removed service, gives
// ERROR_SERVICE_DOES_NOT_EXIST, which the request's exit status carries in
// its low 8 bits (the role itself returns the whole code).
TEST_F(StarterService, InstallRequestAndRemove) {
    // The program is registered in quotes, read back by an independent reader.
    std::string registered = tovel::testing::python(
        std::string("f = dict(l.rstrip('\\n').split(' ', 1) for l in open('") +
        tovel::testing::machine_root() + "/services/morvasktovelagent/service'))\n" +
        "print(f['binary_path'])");
    // The whole path in quotes, and nothing beside it.
    while (!registered.empty() && registered.back() == '\n') registered.pop_back();
    ASSERT_GE(registered.size(), 2u);
    EXPECT_EQ(registered.front(), '"') << registered;
    EXPECT_EQ(registered.back(), '"') << registered;
    EXPECT_EQ(registered.find('"', 1), registered.size() - 1) << registered;
    EXPECT_NE(registered.find(' '), std::string::npos) << "a path with a space: " << registered;
    Ended again = run_starter({"-i"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.errors, "Failed to create service, err=1073.\n");
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));

    Ended idle = run_starter({"--update"});
    EXPECT_EQ(idle.status, 1);
    EXPECT_EQ(idle.errors, "Failed to control service(for \"--update\"), error=1062.\n");

    EXPECT_EQ(run_starter({"-u"}).status, 0);
    Ended removed = run_starter({"-u"});
    EXPECT_EQ(removed.status, 1);
    EXPECT_EQ(removed.errors, "Failed to open service, err=1060.\n");
    Ended request = run_starter({"--remove"});
    EXPECT_EQ(request.status, 1060 & 0xFF);
    EXPECT_EQ(request.errors, "Failed to open service, err=1060.\n");
    CapturedOutput errors(2);
    EXPECT_EQ(control_service("--remove"), 1060);
    EXPECT_EQ(errors.text(), "Failed to open service, err=1060.\n");
}

// The service runs, reports RUNNING, and the service manager's stop (a
// SIGTERM to its process) reports STOP_PENDING, then STOPPED once the agent
// has shut down; the agent prints the stop as signal 1, and the process ends
// with 0.
TEST_F(StarterService, RunsUntilTheServiceManagerStopsIt) {
    write_options();
    ServiceProcess service;
    ASSERT_TRUE(reaches(SERVICE_RUNNING)) << service.errors();
    ASSERT_NE(service.waitFor("serving directory"), std::string::npos) << service.errors();
    unsigned short port = listening_port(service.output());
    EXPECT_EQ(status_of(http_get(port, "/")), 307);
    // Only the service's user may send it a control.
    struct stat socket;
    ASSERT_EQ(stat((machine_root() + "/services/morvasktovelagent/control.sock").c_str(), &socket),
              0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 0777, 0600u);
    std::set<DWORD> seen;
    service.signal(SIGTERM);
    EXPECT_TRUE(eventually([&] {
        seen.insert(service_state());
        return seen.count(SERVICE_STOPPED) != 0;
    }));
    EXPECT_EQ(service.wait(), 0);
    EXPECT_NE(
        service.output().find("Exiting on signal 1, waiting for all threads to finish... done.\n"),
        std::string::npos)
        << service.output();
    EXPECT_EQ(service_status().dwWin32ExitCode, 0u);
}

// A stop that comes while the agent still starts ends the run as soon as its
// loop runs: the loop's queue and thread id were known before the control
// handler was registered.
TEST_F(StarterService, StopDuringTheStart) {
    write_options();
    ServiceProcess service;
    ASSERT_NE(service.waitFor("Loading config file"), std::string::npos) << service.errors();
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(60000), 0) << service.output() << service.errors();
    EXPECT_NE(service.output().find("Exiting on signal 1"), std::string::npos);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
}

// A start that fails (the port is taken) no longer leaves the service
// RUNNING for a stop that would never end: it reports STOPPED with a
// service-specific error and the run's result, and the process ends.
TEST_F(StarterService, FailedStartReportsStopped) {
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 4), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    write_options("ports 127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "\n");
    ServiceProcess service;
    EXPECT_EQ(service.wait(60000), 0) << service.errors();
    SERVICE_STATUS status = service_status();
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
    close(taken);
}

class StarterServiceJobs : public StarterService {
protected:
    StarterServiceJobs() : simulator_(backup_service_arguments()) {}
    void SetUp() override {
        StarterService::SetUp();
        tree_ = prepare_interrupted_backup(simulator_);
        write_options();
    }
    void fault(const std::string& json) {
        EXPECT_NE(simulator_.control("POST", "faults", json).find("\"faults\""), std::string::npos);
    }

    RemoteService simulator_;
    std::vector<TreeItem> tree_;
};

// "--update" (131) locks every job and pauses it, as the system pauses, and
// sets the exit event, while the service goes on RUNNING. A stop after it
// finds the event set and reports STOPPED at once, but the process still
// ends only after the agent's shutdown has ended.
TEST_F(StarterServiceJobs, UpdateRequestPausesEveryJob) {
    fault(R"({"kind":"upload_data","action":"delay","seconds":1})");
    ExitEventWatcher watcher;
    ServiceProcess service;
    ASSERT_TRUE(reaches(SERVICE_RUNNING)) << service.errors();
    ASSERT_TRUE(watcher.opened());
    ASSERT_TRUE(eventually([&] { return block_uploads(simulator_) >= 2; })) << service.errors();
    Ended update = run_starter({"--update"});
    EXPECT_EQ(update.status, 0) << update.errors;
    EXPECT_TRUE(watcher.set());
    EXPECT_TRUE(eventually([] { return job_record()->state == JS_PAUSED; }));
    EXPECT_EQ(job_record()->pausedManually, 0u);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));

    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
    EXPECT_NE(service.output().find(" done.\n"), std::string::npos) << service.output();
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
}

// "--remove" (130) locks every job and stops it, and sets the exit event,
// while the service goes on RUNNING.
TEST_F(StarterServiceJobs, RemoveRequestStopsEveryJob) {
    fault(R"({"kind":"upload_data","action":"delay","seconds":1})");
    ExitEventWatcher watcher;
    ServiceProcess service;
    ASSERT_TRUE(reaches(SERVICE_RUNNING)) << service.errors();
    ASSERT_TRUE(watcher.opened());
    ASSERT_TRUE(eventually([&] { return block_uploads(simulator_) >= 2; })) << service.errors();
    Ended remove = run_starter({"--remove"});
    EXPECT_EQ(remove.status, 0) << remove.errors;
    EXPECT_TRUE(watcher.set());
    // The run's end writes the last run's state before the job's own.
    EXPECT_TRUE(eventually([] {
        RecordView record = job_record();
        return record->lastRunState == JS_CANCELLED && record->state == JS_IDLE;
    })) << "state "
        << job_record()->state << ", last run " << job_record()->lastRunState << "\n"
        << service.errors();
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_RUNNING));
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
}

// A backup that runs against a slow service when the service stops is paused
// as the system pauses (not by hand) while the stop is pending; the next
// start resumes it, and it completes with every file stored once and
// byte-exact.
TEST_F(StarterServiceJobs, StopPausesTheBackupAndTheNextStartCompletesIt) {
    fault(R"({"kind":"upload_data","action":"delay","seconds":0.5})");
    {
        ServiceProcess service;
        ASSERT_TRUE(reaches(SERVICE_RUNNING)) << service.errors();
        ASSERT_TRUE(eventually([&] { return block_uploads(simulator_) >= 3; })) << service.errors();
        std::set<DWORD> seen;
        service.signal(SIGTERM);
        EXPECT_TRUE(eventually([&] {
            seen.insert(service_state());
            return seen.count(SERVICE_STOPPED) != 0;
        }));
        EXPECT_EQ(seen.count(SERVICE_STOP_PENDING), 1u) << "the stop waits for the job to pause";
        EXPECT_EQ(service.wait(), 0);
    }
    RecordView paused = job_record();
    EXPECT_EQ(paused->state, JS_PAUSED);
    EXPECT_EQ(paused->pausedManually, 0u);
    EXPECT_LT(block_uploads(simulator_), 17u) << "the stop came after the last block";

    simulator_.control("POST", "faults/clear", "{}");
    ServiceProcess again;
    ASSERT_TRUE(reaches(SERVICE_RUNNING)) << again.errors();
    EXPECT_TRUE(eventually([] { return job_record()->lastRunState == JS_COMPLETED; }, 120))
        << again.errors();
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(), 0);
    check_stored_once(simulator_, tree_);
}

}  // namespace
