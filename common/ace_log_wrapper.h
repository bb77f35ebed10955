// The system's one logging call, over ACE's log facility.
#pragma once

#include <ace/Log_Priority.h>

#include <ostream>

// Logs one line at an ACE priority (LM_TRACE 2, LM_DEBUG 4, LM_INFO 8,
// LM_WARNING 32, LM_ERROR 128). The format is ACE's: "%s" narrow text, "%d",
// "%W" wide text, "%Q" unsigned 64-bit, "%t" the thread id, and "%m" the text
// of the Win32 last-error value current when the call was entered. Every line
// is prefixed with "@%t@". Never fails visibly; the caller's last error is
// kept. Any thread.
void log_message(int priority, const char* format, ...);

// Whether a line of priority would be written now: lets a caller skip making
// the texts of a line that is off. Any thread.
bool log_enabled(int priority);

// ACE keeps an output stream per thread, and only the thread that opened the
// logging strategy holds its log file. After share_log_stream(stream), every
// thread that has no stream of its own writes its lines to stream too (ACE
// writes each line under its process-wide log lock); share_log_stream(nullptr)
// ends that at each thread's next line. The stream must outlive every line
// logged while it is shared. Any thread.
void share_log_stream(std::ostream* stream);
