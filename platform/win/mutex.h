// Mutexes, named across the processes of the simulated machine.
#pragma once

#include "platform/win/types.h"

#define ERROR_NOT_OWNER 288u

// Makes a mutex, or opens the living one of that name. A mutex is owned by
// one thread at a time and is re-entrant: the owner may wait for it again,
// and each successful wait wants its ReleaseMutex.
//
// A name makes the mutex visible to every process of the machine while some
// process holds a handle to it; "Global\x" and "Local\x" are two names, a
// plain "x" is "Local\x", and names are case-sensitive. When a living mutex
// has the name already, a handle to it is returned with last error 183 and
// initialOwner is ignored; otherwise last error is 0 and, with initialOwner,
// the calling thread owns the new mutex. Without a name the mutex is of this
// process. The security descriptor is accepted and not used. Fails (null)
// with the last error of the machine's objects folder when it cannot be used.
//
// Waiting: only WaitForSingleObject (WaitForMultipleObjects refuses a mutex
// with 6). It gives WAIT_OBJECT_0 when the caller now owns the mutex,
// WAIT_TIMEOUT when another thread kept it for the whole timeout, and
// WAIT_ABANDONED_0 when the caller now owns a mutex whose previous owner
// ended (its thread or its process, killed included) without releasing it;
// the data it guarded may then be half-changed.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name);

// Gives up one level of ownership. FALSE with 288 when the calling thread
// does not own the mutex, 6 for a handle that is no mutex.
BOOL ReleaseMutex(HANDLE mutex);
