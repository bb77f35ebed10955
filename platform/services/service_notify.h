// The service process's word to systemd: the sd_notify datagram, written
// directly to the socket named by NOTIFY_SOCKET. Internal.
#pragma once

#include <string>

#include "platform/win/service.h"

namespace tovel::platform::service {

// The datagram's text for a status: READY=1 (running), STOPPING=1 (stop
// pending and stopped), EXTEND_TIMEOUT_USEC from the wait hint of a pending
// state, and a STATUS= line.
std::string notify_text(const SERVICE_STATUS& status);

// Sends text as one datagram to NOTIFY_SOCKET (a path, or an abstract name
// after '@'); TRUE doing nothing when it is unset. False with the last error
// (206 for a name that does not fit, else from the send).
bool notify_service_manager(const std::string& text);

}  // namespace tovel::platform::service
