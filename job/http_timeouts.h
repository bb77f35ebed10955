// The time-outs of the HTTP client.
#pragma once

#include <ace/Time_Value.h>

#include "platform/win32.h"

// Time-outs in milliseconds; a field of 0 stands for its default. A connect
// that has not completed within connect_ms, and a send or receive that waits
// longer than send_ms or recv_ms for the connection to take or give the next
// bytes, fails with 10060 (WSAETIMEDOUT).
struct HTTP_Timeouts {
    static constexpr DWORD kDefaultConnectMs = 30000;
    static constexpr DWORD kDefaultSendMs = 60000;
    static constexpr DWORD kDefaultRecvMs = 60000;

    DWORD connect_ms = kDefaultConnectMs;
    DWORD send_ms = kDefaultSendMs;
    DWORD recv_ms = kDefaultRecvMs;

    // The same with every 0 replaced by its default.
    HTTP_Timeouts resolved() const {
        return {connect_ms ? connect_ms : kDefaultConnectMs, send_ms ? send_ms : kDefaultSendMs,
                recv_ms ? recv_ms : kDefaultRecvMs};
    }
};

// The process-wide time-outs that every HTTP invoker starts with; the
// settings store sets them when it loads. Invokers that exist keep theirs.
// Any thread.
HTTP_Timeouts http_client_timeouts();
void set_http_client_timeouts(const HTTP_Timeouts& timeouts);

inline ACE_Time_Value http_time_value(DWORD milliseconds) {
    return ACE_Time_Value(static_cast<time_t>(milliseconds / 1000),
                          static_cast<suseconds_t>(milliseconds % 1000) * 1000);
}
