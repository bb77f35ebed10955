// The system's one logging call, over ACE's log facility.
#pragma once

#include <ace/Log_Priority.h>

// Logs one line at an ACE priority (LM_TRACE 2, LM_DEBUG 4, LM_INFO 8,
// LM_WARNING 32, LM_ERROR 128). The format is ACE's: "%s" narrow text, "%d",
// "%W" wide text, "%Q" unsigned 64-bit, "%t" the thread id, and "%m" the text
// of the Win32 last-error value current when the call was entered. Every line
// is prefixed with "@%t@". Never fails visibly; the caller's last error is
// kept. Any thread.
void log_message(int priority, const char* format, ...);
