#include "platform/win/heap.h"

#include <malloc.h>

#include "platform/win/errors.h"

namespace {

int g_processHeap;

}  // namespace

HANDLE GetProcessHeap() { return &g_processHeap; }

SIZE_T HeapCompact(HANDLE heap, DWORD) {
    if (heap != &g_processHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // malloc_trim walks every arena (the main heap and those of other threads) and returns
    // their free pages, not only the top of the main heap.
    malloc_trim(0);
    struct mallinfo2 info = mallinfo2();
    SetLastError(0);
    return info.fordblks;
}
