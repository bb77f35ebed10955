// Winsock's error channel. The system reaches its sockets through ACE; this is
// what it asks of Winsock itself.
#pragma once

#include "platform/win/errors.h"

// The Winsock code of the calling thread's last failed socket call: 10060 for
// a time-out, 10061 for a refused connect, 10054 for a connection that the
// other side reset, and so on. Here the sockets are BSD sockets, so the code is
// the errno that the failed call left, translated (ACE's time-out errno, ETIME,
// gives 10060 as ETIMEDOUT does; ENOMEM gives 8). An errno without a Winsock
// counterpart gives 31; errno 0 gives 0. Read it right after the failed call.
int WSAGetLastError();
