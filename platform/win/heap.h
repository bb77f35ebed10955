// The process heap: its handle and its compaction.
#pragma once

#include "platform/win/types.h"

// The heap of the process (a pseudo handle, never closed).
HANDLE GetProcessHeap();
// Gives the free memory of the process's heap back to the system: every
// allocator arena of the process is trimmed, so that the peak of one large
// piece of work (a long reply built and freed on a worker thread) does not
// stay resident. Returns the bytes that stay free in the heap afterwards (0
// when none), with the last error 0; 0 with 6 (ERROR_INVALID_HANDLE) for
// another handle. Any thread.
SIZE_T HeapCompact(HANDLE heap, DWORD flags);
