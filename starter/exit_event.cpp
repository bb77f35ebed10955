#include "starter/exit_event.h"

namespace tovel::starter {

ExitEvent& ExitEvent::instance() {
    static ExitEvent event;
    return event;
}

ExitEvent::~ExitEvent() {
    if (handle_) CloseHandle(handle_);
}

void ExitEvent::create() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE made = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kExitEventAccess, SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        SECURITY_ATTRIBUTES attributes;
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor;
        attributes.bInheritHandle = FALSE;
        made = CreateEventA(&attributes, TRUE, FALSE, kExitEventName);
        LocalFree(descriptor);
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (handle_) CloseHandle(handle_);
    handle_ = made;
}

bool ExitEvent::set() {
    std::lock_guard<std::mutex> guard(lock_);
    return handle_ && SetEvent(handle_);
}

bool ExitEvent::wait() {
    HANDLE handle;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!handle_) return false;
        handle = handle_;
        ++waiters_;
    }
    DWORD woken = WaitForSingleObject(handle, INFINITE);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (--waiters_ == 0) idle_.notify_all();
    }
    return woken == WAIT_OBJECT_0;
}

bool ExitEvent::isSet() {
    std::lock_guard<std::mutex> guard(lock_);
    return handle_ && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

void ExitEvent::close() {
    std::unique_lock<std::mutex> guard(lock_);
    idle_.wait(guard, [this] { return waiters_ == 0; });
    if (handle_) CloseHandle(handle_);
    handle_ = nullptr;
}

}  // namespace tovel::starter
