// The error codes of remote failures: 0x20010000 combined with the HTTP
// status of the reply (0x20010191 for 401), and one code for a reply that
// does not have the expected form.
#pragma once

#include "platform/win32.h"

inline constexpr DWORD kHttpErrorBase = 0x20010000;
inline constexpr DWORD kMalformedReply = 0x20010258;
// An exchange whose reply cannot be taken as the service's answer, although
// it came whole (a session refusal whose cookie cannot be dropped, a page
// of something in between on the way): a network failure (WSAECONNABORTED),
// so that the run pauses and tries again later.
inline constexpr DWORD kExchangeAborted = 10053;

inline DWORD http_error_code(int status) { return kHttpErrorBase | static_cast<DWORD>(status); }

// True for a code made by http_error_code (the status in its low 16 bits).
inline bool is_http_error_code(DWORD code) { return (code & 0xFFFF0000u) == kHttpErrorBase; }
inline int http_status_of(DWORD code) { return static_cast<int>(code & 0xFFFFu); }
