// Service control with the files back-end, through real service processes
// (tovel_test_service, see service_program.cpp): install and removal, start,
// controls that reach the handler on the dispatcher's thread one at a time,
// stop, deletion of a running service, and the failures of a service that
// does not run, a process that was not started as a service and a socket
// path over the limit.
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/services/tests/service_helpers.h"

using namespace platform_tests;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

std::string service_folder() { return machine_root() + "/services/toveltestservice"; }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST(PlatformService, InstallTwiceRemoveAndAccess) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    ScHandle created(create_service(manager.get(), kServiceName, "\"" + service_program() + "\""));
    ASSERT_TRUE(created) << GetLastError();
    // The record, read by an independent reader.
    std::string out;
    ASSERT_EQ(run_command("python3 -c \"import sys; f=dict(l.rstrip('\\n').split(' ',1) for l in "
                          "open(sys.argv[1])); print(f['name'], f['type'], f['start_type'], "
                          "f['binary_path'])\" " +
                              shell_quote(service_folder() + "/service"),
                          &out),
              0);
    EXPECT_EQ(out, std::string(kServiceName) + " 272 2 \"" + service_program() + "\"\n");

    // Names match without regard to case, as on Windows.
    SetLastError(0);
    EXPECT_EQ(create_service(manager.get(), "toveltestSERVICE", service_program()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(create_service(manager.get(), "bad/name", service_program()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(created.get(), &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(status.dwServiceType, 0x110u);

    // Rights are those the handle was opened with.
    ScHandle deleting(OpenServiceA(manager.get(), "TOVELTESTSERVICE", DELETE));
    ASSERT_TRUE(deleting);
    EXPECT_FALSE(ControlService(deleting.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(QueryServiceStatus(deleting.get(), &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ScHandle connected(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ(create_service(connected.get(), "Other", service_program()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    ASSERT_TRUE(DeleteService(deleting.get()));
    EXPECT_EQ(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(DeleteService(created.get()));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(std::filesystem::exists(service_folder()));
    // Installed again after the removal.
    ScHandle again(create_service(manager.get(), kServiceName, service_program()));
    EXPECT_TRUE(again);
}

TEST(PlatformService, StartControlAndStopThroughTheHandler) {
    ScHandle manager(OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS));
    ScHandle service(create_service(manager.get(), kServiceName, "\"" + service_program() + "\""));
    ASSERT_TRUE(service) << GetLastError();
    ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
    KillAtEnd cleanup(service_process_id("toveltestservice"));
    ASSERT_TRUE(wait_until([&] { return state_of(service.get()) == SERVICE_RUNNING; }))
        << state_of(service.get()) << " " << service_log();
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(lines_of(service_log()).at(0), "main 1 TovelTestService");

    // Only the service's user may reach its control socket.
    struct stat st;
    ASSERT_EQ(::stat((service_folder() + "/control.sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // ControlService returns once the handler has run: its last line is there.
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service.get(), 200, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(lines_of(service_log()).back(), "leave 200");

    // Controls sent at once run one after the other on the dispatcher's thread.
    std::vector<std::thread> senders;
    std::vector<BOOL> results(4, FALSE);
    for (size_t i = 0; i < results.size(); ++i)
        senders.emplace_back([&, i] {
            SERVICE_STATUS s = {};
            results[i] = ControlService(service.get(), 200, &s);
        });
    for (auto& t : senders) t.join();
    for (BOOL r : results) EXPECT_TRUE(r);
    std::vector<std::string> lines = lines_of(service_log());
    ASSERT_EQ(lines.size(), 11u) << service_log();
    for (size_t i = 1; i < lines.size(); i += 2) {
        EXPECT_EQ(lines[i], "enter 200 dispatcher");
        EXPECT_EQ(lines[i + 1], "leave 200");
    }
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_SHUTDOWN, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ControlService(service.get(), 256, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // The service does not accept pause.
    EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);

    // Deleted while it runs: it stays controllable and goes when it ends.
    ASSERT_TRUE(DeleteService(service.get()));
    EXPECT_FALSE(DeleteService(service.get()));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(create_service(manager.get(), kServiceName, service_program()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

    // Stop: STOP_PENDING while the handler holds, then STOPPED when it returns.
    write_host_file(machine_root() + "/hold-stop", "");
    SERVICE_STATUS stopStatus = {};
    BOOL stopped = FALSE;
    DWORD stopError = 0;
    std::thread stopper([&] {
        stopped = ControlService(service.get(), SERVICE_CONTROL_STOP, &stopStatus);
        stopError = GetLastError();
    });
    EXPECT_TRUE(wait_until([&] { return state_of(service.get()) == SERVICE_STOP_PENDING; }));
    EXPECT_FALSE(ControlService(service.get(), 200, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwWaitHint, 5000u);
    write_host_file(machine_root() + "/release-stop", "");
    stopper.join();
    EXPECT_TRUE(stopped) << stopError;
    EXPECT_EQ(stopStatus.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(stopStatus.dwWin32ExitCode, 0u);

    // The dispatcher returned after the main function, and the process took
    // the deleted service's folder with it.
    ASSERT_TRUE(wait_until([] {
        return service_log().find("dispatcher returned") != std::string::npos;
    })) << service_log();
    EXPECT_FALSE(std::filesystem::exists(service_folder()));
    lines = lines_of(service_log());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 4], "enter 1 dispatcher");
    std::set<std::string> ends = {lines[lines.size() - 3], lines[lines.size() - 2]};
    EXPECT_EQ(ends, (std::set<std::string>{"leave 1", "main returned"}));
    EXPECT_EQ(lines.back(), "dispatcher returned");
    EXPECT_EQ(OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(PlatformService, NoServiceProcessAndNoServiceManager) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(create_service(manager.get(), kServiceName, service_program()));
    ASSERT_TRUE(service);
    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service.get(), 130, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);

    // A process that the manager did not start: the dispatcher fails at once.
    // The process's exit status keeps only the code's low 8 bits.
    std::string host = TOVEL_TEST_SERVICE_PROGRAM;
    std::string out;
    int exitStatus =
        run_command("env -u TOVEL_SERVICE_PROCESS " + shell_quote(host) + " 2>&1", &out);
    EXPECT_EQ(out, "dispatcher failed 1063\n");
    EXPECT_EQ(exitStatus, 1063 & 0xFF);
    EXPECT_EQ(read_host_file(machine_root() + "/service.log"), "");

    // A disabled service does not start; nor does one whose program is missing.
    ScHandle disabled(
        create_service(manager.get(), "Disabled", service_program(), SERVICE_DISABLED));
    EXPECT_FALSE(StartServiceA(disabled.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
    ScHandle missing(create_service(manager.get(), "Missing", "C:\\Program Files\\none.exe"));
    EXPECT_FALSE(StartServiceA(missing.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(PlatformService, SocketPathOverTheLimitIsRefusedNotCut) {
    // A root deep enough that the control socket's path passes 107 bytes.
    std::string root = machine_root() + "/" + std::string(60, 'r') + "/" + std::string(20, 's');
    std::filesystem::create_directories(root);
    setenv("TOVEL_ROOT", root.c_str(), 1);
    std::string socketPath = root + "/services/toveltestservice/control.sock";
    ASSERT_GT(socketPath.size(), 107u);

    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(create_service(manager.get(), kServiceName, service_program()));
    ASSERT_TRUE(service) << GetLastError();
    EXPECT_FALSE(StartServiceA(service.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    std::string output;
    EXPECT_TRUE(wait_until([&] {
        output = read_host_file(root + "/services/toveltestservice/output.log");
        return output.find("dispatcher failed 206") != std::string::npos;
    })) << output;
    EXPECT_NE(output.find("over the limit of 107 bytes"), std::string::npos) << output;
    EXPECT_NE(output.find(socketPath), std::string::npos) << output;

    SERVICE_STATUS status = {};
    EXPECT_FALSE(ControlService(service.get(), 130, &status));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    // No socket was made anywhere, at a cut path or elsewhere.
    std::string sockets;
    run_command("find " + shell_quote(machine_root()) + " -type s", &sockets);
    EXPECT_EQ(sockets, "");
    EXPECT_TRUE(wait_until([&] { return state_of(service.get()) == SERVICE_STOPPED; }));
}
