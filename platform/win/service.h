// Service control: installing, starting, stopping and controlling services,
// and the service process's side (the dispatcher, the control handler and
// status reports).
//
// Two back-ends, chosen at run time by every call from the environment:
// - TOVEL_SERVICE_BACKEND=files or =systemd chooses one; any other value makes
//   OpenSCManagerA and StartServiceCtrlDispatcherA fail with 50.
// - Unset: the files back-end when TOVEL_ROOT is set (tests, local runs), else
//   systemd when it manages the host (/run/systemd/system exists), else files
//   under the default root.
//
// The files back-end keeps each service under the machine's root, in
// services/<name>/ (the name in lower case): "service" holds the record
// (name, display name, type, start type, error control, and the binary path
// as registered, in its quotes when it was given quoted; lines "key value";
// StartServiceA runs the program inside the quotes), "status" the last reported status (lines "key
// value", written whole by rename, with "process <pid>" while a service process runs), "output.log"
// the service process's standard output and error, and "control.sock" the control socket while the
// service process runs. StartServiceA starts the binary as a child in a session of its own, with
// the caller's environment plus TOVEL_SERVICE_PROCESS=<name> (and
// TOVEL_SERVICE_STARTED_FD, the pipe on which the dispatcher reports its
// start), the folder "/" and standard input from /dev/null.
//
// The systemd back-end writes the unit <name in lower case>.service into
// TOVEL_SYSTEMD_UNIT_DIR (default /etc/systemd/system): Type=notify, the
// display name as Description, ExecStart the binary's host path in double
// quotes (spaces kept; '%' doubled), Environment= with TOVEL_SERVICE_PROCESS,
// TOVEL_SERVICE_BACKEND=systemd and the caller's TOVEL_ROOT when set, and
// WantedBy=multi-user.target. It runs "systemctl" as found on PATH: CreateServiceA
// runs "daemon-reload" and, for SERVICE_AUTO_START, "enable <unit>";
// DeleteService "disable <unit>", removes the unit and runs "daemon-reload";
// StartServiceA "start <unit>"; ControlService with SERVICE_CONTROL_STOP
// "stop <unit>"; the state comes from "show -p ActiveState <unit>". A
// systemctl that cannot be run fails with 2, one that exits non-zero with
// 1053. In the service process, SetServiceStatus sends the state to the
// service manager as datagrams on NOTIFY_SOCKET (a path, or '@' for an
// abstract name): READY=1 for SERVICE_RUNNING, STOPPING=1 for
// SERVICE_STOP_PENDING and SERVICE_STOPPED, EXTEND_TIMEOUT_USEC from the wait
// hint of a pending state, and STATUS= with a text for every state.
//
// In both back-ends every other control (interrogate, pause, continue and the
// service's own codes 128 to 255) travels over the service process's control
// socket, services/<name>/control.sock under the root, of mode 0600 (only the
// service's user and root may connect; the service also refuses a peer of
// another user). Its path must fit a socket address (107 bytes): a longer one
// fails the dispatcher and ControlService with 206 and a line on standard
// error naming it; it is never cut.
//
// Service names are 1 to 256 letters, digits, '_', '-' and '.', not starting
// with '.', matched without regard to case as on Windows (else 123).
//
// Exit codes: a POSIX process keeps only the low 8 bits of its exit status
// (an exit with 1060 is seen as 36). Code that ends a process with a Win32
// code returns the full code from its functions, and tests check that.
#pragma once

#include "platform/win/types.h"

typedef struct SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

#define SERVICES_ACTIVE_DATABASEA "ServicesActive"

// Access to the service control manager.
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004u
#define SC_MANAGER_LOCK 0x0008u
#define SC_MANAGER_QUERY_LOCK_STATUS 0x0010u
#define SC_MANAGER_MODIFY_BOOT_CONFIG 0x0020u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu

// Access to one service (DELETE, 0x10000, is in platform/win/files.h).
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_ENUMERATE_DEPENDENTS 0x0008u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_PAUSE_CONTINUE 0x0040u
#define SERVICE_INTERROGATE 0x0080u
#define SERVICE_USER_DEFINED_CONTROL 0x0100u
#define SERVICE_ALL_ACCESS 0xF01FFu

// Service types.
#define SERVICE_KERNEL_DRIVER 0x001u
#define SERVICE_FILE_SYSTEM_DRIVER 0x002u
#define SERVICE_WIN32_OWN_PROCESS 0x010u
#define SERVICE_WIN32_SHARE_PROCESS 0x020u
#define SERVICE_WIN32 0x030u
#define SERVICE_INTERACTIVE_PROCESS 0x100u

// Start types and error controls.
#define SERVICE_BOOT_START 0u
#define SERVICE_SYSTEM_START 1u
#define SERVICE_AUTO_START 2u
#define SERVICE_DEMAND_START 3u
#define SERVICE_DISABLED 4u
#define SERVICE_ERROR_IGNORE 0u
#define SERVICE_ERROR_NORMAL 1u
#define SERVICE_ERROR_SEVERE 2u
#define SERVICE_ERROR_CRITICAL 3u

// States.
#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_CONTINUE_PENDING 5u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u

// Controls, and the controls a service accepts.
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_CONTROL_INTERROGATE 4u
#define SERVICE_CONTROL_SHUTDOWN 5u
#define SERVICE_ACCEPT_STOP 0x1u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x2u
#define SERVICE_ACCEPT_SHUTDOWN 0x4u

// The errors of service control.
#define ERROR_INVALID_SERVICE_CONTROL 1052u
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053u
#define ERROR_SERVICE_ALREADY_RUNNING 1056u
#define ERROR_SERVICE_DISABLED 1058u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_DATABASE_DOES_NOT_EXIST 1065u
#define ERROR_SERVICE_SPECIFIC_ERROR 1066u
#define ERROR_PROCESS_ABORTED 1067u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_SERVICE_EXISTS 1073u
#define ERROR_SERVICE_NOT_IN_EXE 1083u

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;

typedef void (*LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR* argv);
typedef void (*LPHANDLER_FUNCTION)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};
typedef SERVICE_TABLE_ENTRYA* LPSERVICE_TABLE_ENTRYA;

// The manager of this machine's services. machineName must be null or empty
// (another machine: 50), databaseName null or SERVICES_ACTIVE_DATABASEA (else
// 1065). Asking for SC_MANAGER_CREATE_SERVICE fails with 5 when the caller
// may not write where services are recorded (the root's services folder, or
// the unit folder); 50 for an unknown TOVEL_SERVICE_BACKEND. Close the handle
// with CloseServiceHandle. Any thread.
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);

// Records a new service and returns a handle to it with desiredAccess. The
// binary path is the program's Windows path (in double quotes or not; no
// arguments). Supported: types SERVICE_WIN32_OWN_PROCESS or
// SERVICE_WIN32_SHARE_PROCESS, each optionally with
// SERVICE_INTERACTIVE_PROCESS (which changes nothing here); start types
// SERVICE_AUTO_START, SERVICE_DEMAND_START and SERVICE_DISABLED; error
// controls 0 to 3; no load-order group, dependencies, account or password
// (null or empty, else 50); tagId null. Fails with 1073 when a service of that
// name exists (whatever the case), 1072 while a deleted one still runs, 5
// without SC_MANAGER_CREATE_SERVICE, 87 for other bad arguments (a control
// character in the path, a line break in the display name), 3 or 53 for a
// binary path on no drive of the machine, 123 for a bad name, 6 for a bad
// manager handle. The program need not exist yet.
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);

// A handle to an installed service; 1060 when there is none of that name,
// 123 for a bad name, 6 for a bad manager handle.
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);

// Closes a handle of OpenSCManagerA, CreateServiceA or OpenServiceA (6 for
// any other value). Closing never stops or deletes a service.
BOOL CloseServiceHandle(SC_HANDLE handle);

// Removes the service's record (needs DELETE, else 5). A stopped service is
// gone at once: OpenServiceA then gives 1060. A running service is marked
// for deletion (files back-end): it can still be controlled through open
// handles, a second DeleteService and CreateServiceA of the name give 1072,
// and its record goes when its process ends. Under systemd the unit is
// removed at once and a running service goes on until it stops. 1060 when
// the service is already gone.
BOOL DeleteService(SC_HANDLE service);

// Starts the service (needs SERVICE_START, else 5). Only argc 0 is supported
// (else 50): the service's main function gets the service's name alone.
// Files back-end: returns once the new process's StartServiceCtrlDispatcherA
// has started the service's main function, or fails with the dispatcher's own
// error, 1067 when the process ended before, 1053 when it did not get there
// within 30 seconds (it is then killed). 1056 when the service's process
// already runs, 1058 for a disabled service, 1072 for a deleted one, 2 or 3
// for a missing program. Blocks the calling thread meanwhile.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);

// Sends a control to the service and returns once its handler has run (and
// returned), with the service's status then in *status. Needs SERVICE_STOP,
// SERVICE_PAUSE_CONTINUE, SERVICE_INTERROGATE or, for the codes 128 to 255,
// SERVICE_USER_DEFINED_CONTROL (else 5). Other codes (SERVICE_CONTROL_SHUTDOWN
// among them, which only the system sends) and a null status fail with 87.
// Fails with 1062 when the service's process does not run (or ends before
// its handler answers), 1061 while it is starting or stopping, 1052 when it
// does not accept the stop or pause; in these cases *status holds the status
// as known. There is no time limit: a handler that waits keeps the caller
// waiting. 206 when the control socket's path is too long.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);

// The service's status (needs SERVICE_QUERY_STATUS, else 5). A service whose
// process ended without reporting SERVICE_STOPPED shows SERVICE_STOPPED with
// the Win32 exit code 1067. 1060 when the service is gone, 87 for a null
// status.
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// The service process's side. In a process that the service manager started
// (its environment holds TOVEL_SERVICE_PROCESS=<name>), runs the table's entry
// of that name (1083 when the table has none): it records the process as the
// service's (1056 when another process of the service runs; 1060 when the
// service is not installed, files back-end), opens the control socket,
// reports SERVICE_START_PENDING, starts the entry's main function on a
// thread of its own with argc 1 and argv {name}, and then runs the registered
// handler on the calling thread, one control after the other, for every
// control received. It returns TRUE only after the main function has
// returned, closing the socket then; a service that has not reported
// SERVICE_STOPPED by then is reported stopped with 1067. Without the
// environment marker: FALSE with 1063 at once. 87 for a null or empty table;
// 1056 when called again in the process while it runs; 206 when the control
// socket's path is too long.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable);

// Registers the handler of the service that the dispatcher runs in this
// process, called from its main function. Controls reach the handler once
// the service reports a state that is not pending (until then they are
// refused with 1061). Null with 1060 when serviceName is not the dispatched
// service (or no dispatcher runs), 87 for a null handler. The handle needs no
// closing and is valid until the dispatcher returns.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);

// Reports the service's status: the files back-end writes the status file
// whole (by rename), the systemd back-end sends the datagram described above
// (none when NOTIFY_SOCKET is unset). Any thread; reports are applied in the
// order of the calls. 6 for a stale or bad handle, 87 for a null status, 13
// for a state outside 1 to 7; a status file that cannot be written gives its
// error.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
