// The service host's roles other than the console run: installing and
// removing its Windows service, sending the running service a custom control
// request, editing a password file of the web server, and running as the
// service. Messages go to standard error; each role returns the process's
// exit code in full (the process keeps its low 8 bits: 1060 ends as 36).
#pragma once

#include "platform/win32.h"

namespace tovel::starter {

inline constexpr char kServiceName[] = "MorvaskTovelAgent";
inline constexpr char kServiceDisplayName[] = "Morvask Tovel Agent";
// Custom control requests: lock every job, then stop (130) or pause (131)
// them all and set the exit event; the service goes on running.
inline constexpr DWORD AGENT_CONTROL_REMOVE = 130;
inline constexpr DWORD AGENT_CONTROL_UPDATE = 131;

}  // namespace tovel::starter

// The web server's usage text on standard error; 1.
int print_usage_and_exit();
// Installs the service for the running program (auto start, LocalSystem):
// 0, or 1 after a failure.
int install_service();
// Deletes the service: 0, or 1 after a failure.
int uninstall_service();
// Sends "--remove" (130) or "--update" (131) to the running service: 0 on
// success; the Win32 error itself when the service manager or the service
// cannot be opened; 1 when the request fails.
int control_service(const char* command);
// Sets user's entry of the web server's password file for realm: 0 on
// success, 1 on failure.
int edit_passwords_file(const char* file, const char* realm, const char* user,
                        const char* password);
// Hands the process to the service dispatcher, which runs
// agent_service_main on a thread of its own and the control handler on this
// one. 0 once the service's main function has returned, 1 (after a message)
// when the dispatcher cannot start, as in a process not started as the
// service (1063).
int run_service_dispatcher();

// The service's main function: reports RUNNING, runs the agent and, when the
// run ended without a stop request having reported STOPPED, reports STOPPED
// itself (with 1066 and the run's result after a failed start).
void agent_service_main(DWORD argc, LPSTR* argv);
// The service's control handler, on the dispatcher's thread: stop and
// shutdown end the run and report STOPPED once the exit event is set; 130 and
// 131 lock every job and stop or pause them, and set the exit event.
void service_control_handler(DWORD control);

// The role chosen by the command line; its exit code.
int dispatch_command_line(int argc, char** argv);
