#include "common/ace_log_wrapper.h"

#include <ace/Log_Msg.h>

#include <atomic>
#include <clocale>
#include <cstdarg>
#include <mutex>
#include <string>

#include "common/holders.h"
#include "common/win32_error.h"
#include "platform/win32.h"

namespace {

// ACE prints "%W" through the C library's wide conversion, which needs a
// UTF-8 character locale to write non-ASCII text.
void use_utf8_characters() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "en_US.UTF-8");
    });
}

// "@%t@" + format, with each "%m" replaced by the error text (its own "%" doubled).
std::string expand_format(const char* format, DWORD error) {
    std::string out = "@%t@";
    std::string text;
    bool have_text = false;
    for (const char* p = format; *p; ++p) {
        if (*p != '%' || !p[1]) {
            out += *p;
            continue;
        }
        if (p[1] == 'm') {
            if (!have_text) {
                win32_error_text message(error);
                for (const char* t = message.text(); *t; ++t) {
                    if (*t == '%') text += '%';
                    text += *t;
                }
                have_text = true;
            }
            out += text;
        } else {
            out += p[0];
            out += p[1];
        }
        ++p;
    }
    return out;
}

std::atomic<std::ostream*> g_shared_stream{nullptr};

// Points this thread's log at the shared stream, or away from it once it is
// no longer shared; a stream the thread chose itself is left alone.
void follow_shared_stream(ACE_Log_Msg* log) {
    thread_local std::ostream* adopted = nullptr;
    std::ostream* shared = g_shared_stream.load(std::memory_order_acquire);
    if (shared == adopted) return;
    std::ostream* current = log->msg_ostream();
    if (current == nullptr || current == adopted) {
        if (current != shared) log->msg_ostream(shared);
        adopted = shared;
    }
}

}  // namespace

void share_log_stream(std::ostream* stream) {
    g_shared_stream.store(stream, std::memory_order_release);
}

bool log_enabled(int priority) {
    return ACE_Log_Msg::instance()->log_priority_enabled(static_cast<ACE_Log_Priority>(priority));
}

void log_message(int priority, const char* format, ...) {
    last_error_restorer keep;
    if (!format) return;
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    // A line of a priority that is off costs this test only: nothing is
    // formatted, no error text is looked up.
    if (!log->log_priority_enabled(static_cast<ACE_Log_Priority>(priority))) return;
    use_utf8_characters();
    DWORD error = keep.saved();
    std::string text = expand_format(format, error);
    follow_shared_stream(log);
    log->conditional_set("ace_log_wrapper.h", 25, 0, static_cast<int>(error));
    va_list arguments;
    va_start(arguments, format);
    log->log(text.c_str(), static_cast<ACE_Log_Priority>(priority), arguments);
    va_end(arguments);
}
