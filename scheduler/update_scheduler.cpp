#include "scheduler/update_scheduler.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include "common/ace_log_wrapper.h"
#include "common/holders.h"
#include "common/win32_error.h"
#include "job/stores/options.h"

namespace {

constexpr uint64_t kClockChanged = ~0ull;
constexpr unsigned kDefaultPeriod = 14400000;  // four hours
constexpr int kDefaultStartDelay = 600000;     // ten minutes
constexpr uint64_t kTicksPerMs = 10000;

// Re-arms the handler for now + period; logs a failure.
void rearm(Update_Scheduler* handler, unsigned period) {
    uint64_t due = Io_Completion_Port_Ex::localFileTime() + period * kTicksPerMs;
    if (Iocp_Dispatcher::instance()->schedule_timer(handler, due) < 0) {
        DWORD error = GetLastError();
        log_message(LM_TRACE, "Failed to re-schedule the updater, error-code = %d, %s\n",
                    static_cast<int>(error), win32_error_text(error).text());
    }
}

// Starts the updater without waiting for it; false with the last error.
bool start_updater() {
    std::wstring path = Update_Scheduler::updater_path();
    if (path.empty()) return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        return false;
    scoped_handle processHandle(process.hProcess);
    scoped_handle threadHandle(process.hThread);
    return true;
}

}  // namespace

Update_Scheduler::Update_Scheduler() {
    int period = OptionsImpl::instance()->update_again_at();
    // A period of 0 would start the updater on every turn of the dispatcher.
    m_period = period > 0 ? static_cast<unsigned>(period) : kDefaultPeriod;
}

Update_Scheduler::~Update_Scheduler() = default;

std::wstring Update_Scheduler::updater_path() {
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
        if (length == 0) return std::wstring();
        if (length < program.size()) {
            program.resize(length);
            break;
        }
        program.resize(program.size() * 2);
    }
    size_t cut = program.find_last_of(L'\\');
    program.resize(cut == std::wstring::npos ? 0 : cut);
    return program + L"\\updater.exe";
}

bool Update_Scheduler::schedule() {
    ACE_TRACE("Update_Scheduler::schedule");
    int delay = OptionsImpl::instance()->update_start_at();
    if (delay < 0) delay = kDefaultStartDelay;
    uint64_t due =
        Io_Completion_Port_Ex::localFileTime() + static_cast<uint64_t>(delay) * kTicksPerMs;
    if (Iocp_Dispatcher::instance()->schedule_timer(this, due) >= 0) return true;
    DWORD error = GetLastError();
    log_message(LM_ERROR, "Failed to schedule the Update_Scheduler.%d, %s.\n",
                static_cast<int>(error), win32_error_text(error).text());
    return false;
}

bool Update_Scheduler::unschedule() {
    ACE_TRACE("Update_Scheduler::unschedule");
    if (Iocp_Dispatcher::instance()->cancel_timer(this) >= 0) return true;
    DWORD error = GetLastError();
    log_message(LM_ERROR, "Failed to unschedule the Update_Scheduler.%d, %s.\n",
                static_cast<int>(error), win32_error_text(error).text());
    return false;
}

void Update_Scheduler::handle_timeout(uint64_t due) {
    ACE_TRACE("Update_Scheduler::handle_timeout");
    {
        last_error_restorer keep;
        Iocp_Dispatcher::instance()->cancel_timer(this);  // normally gone already
    }
    if (due == kClockChanged) {
        log_message(LM_TRACE, "Update Scheduler: Reschedule.\n");
        rearm(this, m_period);
        return;
    }
    rearm(this, m_period);
    if (!start_updater()) {
        DWORD error = GetLastError();
        log_message(LM_TRACE, "Failed to execute the updater, error-code = %d, %s\n",
                    static_cast<int>(error), win32_error_text(error).text());
    }
}
