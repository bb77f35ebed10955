#include "tray/app/single_instance.h"

#include "common/ace_log_wrapper.h"

InstanceClaim claim_instance(HANDLE& event, void (*afterOpen)()) {
    event = nullptr;
    HANDLE found = OpenEventW(EVENT_MODIFY_STATE, FALSE, kInstanceEventName);
    if (found) {
        log_message(LM_INFO, "An instance of Tovel Tray is exists, exit this instance.\n");
        CloseHandle(found);
        return InstanceClaim::another;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
        log_message(LM_INFO,
                    "An instance of Tovel Tray is exists and OpenEvent failed, exit this "
                    "instance, error-code = %d, %m\n",
                    static_cast<int>(error));
        return InstanceClaim::open_failed;
    }
    if (afterOpen) afterOpen();
    HANDLE made = CreateEventW(nullptr, FALSE, FALSE, kInstanceEventName);
    if (!made) {
        log_message(LM_ERROR, "Failed to create instance event,exit. error-code = %d, %m\n",
                    static_cast<int>(GetLastError()));
        return InstanceClaim::create_failed;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // Another tray made it between our open and our creation.
        log_message(LM_INFO, "An instance of Tovel Tray is exists, exit this instance.\n");
        CloseHandle(made);
        return InstanceClaim::another;
    }
    event = made;
    return InstanceClaim::first;
}
