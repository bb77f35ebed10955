#include "starter/logger_setup.h"

#include <ace/Log_Msg.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Thread.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "platform/win32.h"
#include "starter/host_path.h"

namespace {

// The default configuration: the directive that loads ACE's logging
// strategy and, in double quotes, its arguments, with the log file's path in
// inner quotes. Written as plain bytes, without a final line break.
constexpr char kConfigHead[] =
    "dynamic Logger Service_Object * ACE:_make_ACE_Logging_Strategy()\r\n\"-s \"";
constexpr char kConfigTail[] =
    "\" -f OSTREAM|STDERR|VERBOSE_LITE "
    "-p INFO|DEBUG|WARNING|NOTICE|ERROR|CRITICAL|ALERT|EMERGENCY -i 30 -m 2048 -N 5\"";
constexpr char kLoggerKey[] = "localhost:20012";

// The thread that runs ACE's reactor for the strategy's size checks.
std::thread g_reactor_thread;

// Formats into a buffer of 256 bytes, cut at 255 characters.
int vformat_debug_text(char* buffer, const char* format, va_list values) {
    return std::vsnprintf(buffer, 256, format, values);
}

// Sends a debug message: no log exists yet.
void debug_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_text(const char* format, ...) {
    char text[256];
    std::memset(text, 0, sizeof text);
    va_list values;
    va_start(values, format);
    vformat_debug_text(text, format, values);
    va_end(values);
    OutputDebugStringA(text);
}

// Writes the default configuration naming logHost as the log file. False,
// reported, when it cannot be written whole; a partly written file stays.
bool write_default_config(const std::string& configPath, const std::string& logHost) {
    std::string text = std::string(kConfigHead) + logHost + kConfigTail;
    HANDLE file =
        CreateFileA(configPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        debug_text("Failed to create %s file to write, error-code = %d.", configPath.c_str(),
                   static_cast<int>(GetLastError()));
        return false;
    }
    DWORD written = 0;
    DWORD length = static_cast<DWORD>(text.size());
    bool whole = false;
    if (!WriteFile(file, text.data(), length, &written, nullptr)) {
        debug_text("Failed to write %s, error-code = %d.", configPath.c_str(),
                   static_cast<int>(GetLastError()));
    } else if (written < length) {
        debug_text(
            "Failed to write %s, bytes to write is %d, bytes written is %d, error-code = %d.",
            configPath.c_str(), static_cast<int>(length), static_cast<int>(written),
            static_cast<int>(GetLastError()));
    } else {
        FlushFileBuffers(file);
        whole = true;
    }
    CloseHandle(file);
    return whole;
}

}  // namespace

int format_debug_text(char* buffer, const char* format, ...) {
    va_list values;
    va_start(values, format);
    int count = vformat_debug_text(buffer, format, values);
    va_end(values);
    return count;
}

void setup_ace_logger(const char* configName, const char* logName) {
    // The data folder is made first: on a fresh machine it does not exist,
    // and neither the configuration nor the log could be written.
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kDataSubFolder)) {
        debug_text("Failed to get the application data folder, error-code = %d.",
                   static_cast<int>(GetLastError()));
        return;
    }
    std::string narrowFolder = to_utf8(folder) + "\\";
    std::string configPath = narrowFolder + configName;
    std::string configHost = tovel::starter::host_file_path(folder + L"\\" + from_utf8(configName));
    if (!PathFileExistsA(configPath.c_str())) {
        debug_text("%s file not exists, create a default one.", configName);
        std::string logHost = tovel::starter::host_file_path(folder + L"\\" + from_utf8(logName));
        if (!write_default_config(configPath, logHost)) return;
    }

    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    // ACE's process-wide mask lets every priority through, and the strategy's
    // "-p" only adds to it: LM_TRACE is taken out first, so that only the
    // priorities the configuration names reach the log.
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->priority_mask(log->priority_mask(ACE_Log_Msg::PROCESS) & ~LM_TRACE, ACE_Log_Msg::PROCESS);
    ACE_TCHAR* arguments[] = {program, const_cast<ACE_TCHAR*>("-f"), configHost.data(), nullptr};
    if (ACE_Service_Config::open(3, arguments, kLoggerKey, true, false, true) < 0) {
        debug_text("Failed initialize the ACE logger, error-code = %d.",
                   static_cast<int>(GetLastError()));
        return;
    }
    // The strategy opened its file on this thread's log only.
    if (std::ostream* stream = log->msg_ostream()) share_log_stream(stream);
    // The strategy's size check is a timer of ACE's reactor, which only a
    // running event loop fires.
    if (!g_reactor_thread.joinable()) {
        g_reactor_thread = std::thread([] {
            ACE_Reactor* reactor = ACE_Reactor::instance();
            reactor->owner(ACE_Thread::self());
            reactor->run_reactor_event_loop();
        });
    }
}

void close_ace_logger() {
    if (!g_reactor_thread.joinable()) return;
    ACE_Reactor::instance()->end_reactor_event_loop();
    g_reactor_thread.join();
}
