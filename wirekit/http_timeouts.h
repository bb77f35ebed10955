// The time-outs of the HTTP client.
#pragma once

#include <ace/Time_Value.h>

#include <cstdint>

#include "platform/win32.h"

// Time-outs in milliseconds; a field of 0 stands for its default. A connect
// that has not completed within connect_ms, and a send or receive that waits
// longer than send_ms or recv_ms for the connection to take or give the next
// bytes, fails with 10060 (WSAETIMEDOUT).
//
// A whole exchange (connect, request, response) is bounded as well, so that
// a server that trickles bytes, each within the waits above, cannot hold it
// for ever: exchange_ms, plus one second for every min_rate bytes the
// exchange is expected to carry (see exchange_deadline_ms).
struct HTTP_Timeouts {
    static constexpr DWORD kDefaultConnectMs = 30000;
    static constexpr DWORD kDefaultSendMs = 60000;
    static constexpr DWORD kDefaultRecvMs = 60000;
    static constexpr DWORD kDefaultExchangeMs = 180000;
    static constexpr DWORD kDefaultMinRate = 32768;  // bytes per second

    DWORD connect_ms = kDefaultConnectMs;
    DWORD send_ms = kDefaultSendMs;
    DWORD recv_ms = kDefaultRecvMs;
    DWORD exchange_ms = kDefaultExchangeMs;
    DWORD min_rate = kDefaultMinRate;

    // The same with every 0 replaced by its default.
    HTTP_Timeouts resolved() const {
        return {connect_ms ? connect_ms : kDefaultConnectMs, send_ms ? send_ms : kDefaultSendMs,
                recv_ms ? recv_ms : kDefaultRecvMs, exchange_ms ? exchange_ms : kDefaultExchangeMs,
                min_rate ? min_rate : kDefaultMinRate};
    }

    // The time an exchange that carries about bytes (request and expected
    // reply) may take in all: exchange_ms + bytes / min_rate seconds, at
    // most a week.
    uint64_t exchange_deadline_ms(uint64_t bytes) const {
        HTTP_Timeouts r = resolved();
        uint64_t ms =
            r.exchange_ms + bytes / r.min_rate * 1000 + bytes % r.min_rate * 1000 / r.min_rate;
        constexpr uint64_t kWeek = uint64_t{7} * 24 * 3600 * 1000;
        return ms < kWeek ? ms : kWeek;
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
