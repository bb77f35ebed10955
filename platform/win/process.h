// Starting programs as child processes.
#pragma once

#include "platform/win/types.h"

#define CREATE_NO_WINDOW 0x08000000u

// What a caller tells CreateProcessW about the new process's start. Only cb
// is read here: every caller sets the size and leaves the rest zero.
struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
typedef STARTUPINFOW* LPSTARTUPINFOW;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
typedef PROCESS_INFORMATION* LPPROCESS_INFORMATION;

// Starts the program at the Windows path applicationName as a child process
// with the caller's environment, current folder and standard input, output
// and error, and returns without waiting for it. The child holds no other
// descriptor of this process (close-on-exec or not), starts with every signal
// at its default action and none blocked, and with CREATE_NO_WINDOW runs in a
// session of its own (it has no terminal).
//
// TRUE fills *processInformation: two new handles (the process and its main
// thread; close both with CloseHandle, in any order, at any time) and the
// host's process id. The child is reaped by the layer when it ends, whether
// or not its handles are still open; no other child of the process (popen,
// posix_spawn of other code) is ever waited for.
//
// FALSE with the last error: 87 for a null applicationName, startupInfo or
// processInformation; 50 for what no caller uses here (a command line,
// security attributes, inherited handles, an environment block, a current
// folder, creation flags other than CREATE_NO_WINDOW, start-up flags); 2 for
// a missing file, 3 for a missing folder or a path on no drive, 5 for a
// folder or a file without execute permission, 193 for a file that is no
// program; 8 when the process or its waiter cannot be made. Any thread.
BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
