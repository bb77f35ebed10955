#include "platform/files/snapward.h"

#include "platform/win/errors.h"

bool Snapward::startBackup(wchar_t**, int, bool) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}
