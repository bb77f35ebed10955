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

#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
#undef SOCKET_ERROR
#define SOCKET_ERROR (-1)

// What WSAStartup tells its caller.
struct WSADATA {
    WORD wVersion;      // the version the caller is to use
    WORD wHighVersion;  // the highest version the layer offers (2.2)
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
typedef WSADATA* LPWSADATA;

// Sockets need no start-up here; the calls count, as Windows does, so that
// every successful WSAStartup wants its WSACleanup. WSAStartup returns 0, or
// (as its result, not as the last error) WSAVERNOTSUPPORTED for a version
// below 1.1 and WSAEFAULT for a null data. WSACleanup returns 0, or
// SOCKET_ERROR with the last error WSANOTINITIALISED when no start-up is
// left. Any thread.
int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup();
