// Critical sections, events, semaphores, threads, waits and completion ports.
// Objects here are of this process, but for named events, which every
// process of the machine can open by name (so are named mutexes and file
// mappings, platform/win/mutex.h and mapping.h).
#pragma once

#include "platform/win/types.h"

// A re-entrant lock of one process. Initialise before use, delete after.
struct CRITICAL_SECTION {
    void* impl;  // owned by the layer between Initialize... and DeleteCriticalSection
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
// Fails (FALSE, 8) only when no memory is left; the spin count is ignored.
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED_0 0x80u
#define WAIT_FAILED 0xFFFFFFFFu
#undef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64u

// Events. A manual-reset event stays signalled until reset; an auto-reset
// event releases one waiter.
//
// Without a name (or with an empty one) the event is of this process. A name
// makes it visible to every process of the machine while some process holds
// a handle to it, as for named mutexes: "Global\x" and "Local\x" are two
// names, a plain "x" is "Local\x", names are case-sensitive. When a living
// event has the name already, a handle to it is returned with last error 183
// and manualReset and initialState are ignored; otherwise last error is 0.
// SetEvent and ResetEvent through any process's handle change the one event,
// and waits in every process see it (WaitForMultipleObjects included).
//
// Who may open a named event: with a security descriptor whose access list
// is null (SetSecurityDescriptorDacl with a null list, or
// "D:NO_ACCESS_CONTROL"), any local user; with an access list of
// ConvertStringSecurityDescriptorToSecurityDescriptorW, whom it lets wait
// (SYNCHRONIZE, or a read or execute right) or set (EVENT_MODIFY_STATE, or a
// write right); otherwise the user who made it (and the machine's
// administrator). The maker's user may always do both. Fails (null) with 5 when the name is
// held by an event of another user that does not let this one in, 87 for a
// descriptor of no kind the layer makes, 206 for a name too long, or the last
// error of the machine's objects folder.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
// The name in UTF-8.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);

#define SYNCHRONIZE 0x00100000u
#define EVENT_MODIFY_STATE 0x0002u
#define EVENT_ALL_ACCESS 0x001F0003u

// Opens the living named event of that name: null with 2 when none lives, 5
// when its maker does not let this user in with the access asked for, 87 for
// a null name or an access that asks for neither SYNCHRONIZE nor
// EVENT_MODIFY_STATE. A handle without EVENT_MODIFY_STATE may only wait:
// SetEvent and ResetEvent on it fail with 5, and an auto-reset event (whose
// wait would take it) cannot be opened so (5). inheritHandle is accepted and
// not used.
HANDLE OpenEventW(DWORD access, BOOL inheritHandle, LPCWSTR name);
HANDLE OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name);

BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES security, LONG initialCount, LONG maximumCount,
                        LPCWSTR name);
// Fails with 298 when the count would pass the maximum.
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);
#define CREATE_SUSPENDED 0x4u
// A thread whose handle is signalled when its function returns; any number of
// threads may wait on it. The thread is detached from its handle: closing the
// handle does not end or join it, and the thread's resources go when it ends.
// A stack size of 0 takes the default; others are rounded up (at least 256 KiB).
// CREATE_SUSPENDED holds the thread before its function until ResumeThread;
// other flags fail with 87, as does a null start.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
// The previous suspend count, or (DWORD)-1 (last error 6) for a bad handle.
DWORD ResumeThread(HANDLE thread);
// STILL_ACTIVE while the thread function runs, then what it returned.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Non-zero, never reused in a process; the id CreateThread gives for its thread.
DWORD GetCurrentThreadId();
// A pseudo-handle that stands for the calling thread (the same value on every
// thread). It needs no closing, and no call of the layer takes it for now.
HANDLE GetCurrentThread();
// The process's id, as the host gives it.
DWORD GetCurrentProcessId();
#define STILL_ACTIVE 259u

// Waits for events, semaphores and threads. WaitForMultipleObjects with
// waitAll FALSE returns WAIT_OBJECT_0 + the lowest index that is signalled
// and consumes only that object; with waitAll TRUE it waits until all are
// signalled at once and then consumes them all (an object named twice: 87).
// WAIT_TIMEOUT (258) after the timeout (INFINITE: none); WAIT_FAILED with 6
// for a handle that is not of a waitable object, 87 for 0 or more than
// MAXIMUM_WAIT_OBJECTS handles.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);

// An in-process completion port: a FIFO of packets. CreateIoCompletionPort
// with INVALID_HANDLE_VALUE and no port makes a new port (associating files
// is not supported: 87). A post to a closed or unknown port fails with 6.
// GetQueuedCompletionStatus (all out-pointers needed, else 87): TRUE with a packet; FALSE with 258
// and *overlapped null after the timeout; FALSE with 6 (735 once closed while waiting) when the
// port is gone. A packet posted with an error is not expressible by PostQueuedCompletionStatus, so
// dequeued packets always succeed. Packets still queued when the port is closed are dropped.
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existingPort, ULONG_PTR key, DWORD threads);
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, LPOVERLAPPED overlapped);
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, ULONG_PTR* key, LPOVERLAPPED* overlapped,
                               DWORD milliseconds);
#define ERROR_ABANDONED_WAIT_0 735u
#define ERROR_TOO_MANY_POSTS 298u

// COM start-up of a thread; nothing to do here but count. S_OK on a thread's
// first call, S_FALSE when it is already initialised (each call wants its
// CoUninitialize).
HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
