#include "wirekit/http_timeouts.h"

#include <atomic>

namespace {

std::atomic<DWORD> g_connect_ms{HTTP_Timeouts::kDefaultConnectMs};
std::atomic<DWORD> g_send_ms{HTTP_Timeouts::kDefaultSendMs};
std::atomic<DWORD> g_recv_ms{HTTP_Timeouts::kDefaultRecvMs};
std::atomic<DWORD> g_exchange_ms{HTTP_Timeouts::kDefaultExchangeMs};
std::atomic<DWORD> g_min_rate{HTTP_Timeouts::kDefaultMinRate};

}  // namespace

HTTP_Timeouts http_client_timeouts() {
    return {g_connect_ms.load(), g_send_ms.load(), g_recv_ms.load(), g_exchange_ms.load(),
            g_min_rate.load()};
}

void set_http_client_timeouts(const HTTP_Timeouts& timeouts) {
    HTTP_Timeouts resolved = timeouts.resolved();
    g_connect_ms.store(resolved.connect_ms);
    g_send_ms.store(resolved.send_ms);
    g_recv_ms.store(resolved.recv_ms);
    g_exchange_ms.store(resolved.exchange_ms);
    g_min_rate.store(resolved.min_rate);
}
