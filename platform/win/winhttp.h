// WinHTTP in its asynchronous form: a session, a connection to one server,
// GET requests on it, and the status callback through which every operation
// completes. The system's caller is the job notification client, which reads
// one long chunked response; what it relies on is realised here, no more.
//
// Threads: every notification is delivered on the layer's own worker thread,
// never inside the call that started the operation, and the notifications of
// one request come one after another (one worker serves all requests, so a
// callback that blocks holds up the others). The functions may be called on
// any thread, the worker's included (from inside a callback).
//
// The order on one request: WinHttpSendRequest -> SENDREQUEST_COMPLETE;
// WinHttpReceiveResponse -> HEADERS_AVAILABLE; WinHttpQueryDataAvailable ->
// DATA_AVAILABLE with the count of body bytes that can be read at once (0:
// the body has ended); WinHttpReadData -> READ_COMPLETE. A failed operation
// completes with REQUEST_ERROR instead, whose WINHTTP_ASYNC_RESULT names it
// (API_SEND_REQUEST while the server could not be reached or the request not
// be written). Only one of them may be pending at a time; another call then
// fails with 12019. WinHttpCloseHandle on the request cancels what is pending
// without a notification for it; HANDLE_CLOSING then comes last, after any
// callback running for the request has returned, and nothing comes after it.
#pragma once

#include "platform/win/types.h"

typedef void* HINTERNET;
typedef WORD INTERNET_PORT;

// The status callback: the handle, the context of the request's last
// accepted WinHttpSendRequest (0 before one), the status, and its
// information (valid for the length of the call only):
//   SENDREQUEST_COMPLETE, HEADERS_AVAILABLE: none (null, 0)
//   DATA_AVAILABLE: a DWORD, the bytes available (length 4)
//   READ_COMPLETE: the caller's buffer and the bytes read into it
//   REQUEST_ERROR: a WINHTTP_ASYNC_RESULT
//   HANDLE_CLOSING: the closed HINTERNET (length sizeof(HINTERNET))
typedef void (*WINHTTP_STATUS_CALLBACK)(HINTERNET handle, DWORD_PTR context, DWORD status,
                                        LPVOID information, DWORD informationLength);
#define WINHTTP_INVALID_STATUS_CALLBACK \
    (reinterpret_cast<WINHTTP_STATUS_CALLBACK>(static_cast<intptr_t>(-1)))

struct WINHTTP_ASYNC_RESULT {
    DWORD_PTR dwResult;  // the API_ number of the operation that failed
    DWORD dwError;       // its Win32 or WinHTTP error
};
typedef WINHTTP_ASYNC_RESULT* LPWINHTTP_ASYNC_RESULT;

#define API_RECEIVE_RESPONSE 1u
#define API_QUERY_DATA_AVAILABLE 2u
#define API_READ_DATA 3u
#define API_WRITE_DATA 4u
#define API_SEND_REQUEST 5u

#define WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING 0x00000800u
#define WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE 0x00020000u
#define WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE 0x00040000u
#define WINHTTP_CALLBACK_STATUS_READ_COMPLETE 0x00080000u
#define WINHTTP_CALLBACK_STATUS_REQUEST_ERROR 0x00200000u
#define WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE 0x00400000u
// A notification is delivered when its status bit is in the flags given with
// the callback.
#define WINHTTP_CALLBACK_FLAG_HANDLES 0x00000C00u
#define WINHTTP_CALLBACK_FLAG_HEADERS_AVAILABLE WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE
#define WINHTTP_CALLBACK_FLAG_DATA_AVAILABLE WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE
#define WINHTTP_CALLBACK_FLAG_READ_COMPLETE WINHTTP_CALLBACK_STATUS_READ_COMPLETE
#define WINHTTP_CALLBACK_FLAG_REQUEST_ERROR WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
#define WINHTTP_CALLBACK_FLAG_SENDREQUEST_COMPLETE WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE
#define WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS 0xFFFFFFFFu

#define WINHTTP_ACCESS_TYPE_DEFAULT_PROXY 0u
#define WINHTTP_ACCESS_TYPE_NO_PROXY 1u
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_FLAG_ASYNC 0x10000000u

#define INTERNET_DEFAULT_PORT 0
#define INTERNET_DEFAULT_HTTP_PORT 80

#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr
#define WINHTTP_HEADER_NAME_BY_INDEX nullptr
#define WINHTTP_NO_HEADER_INDEX nullptr

#define WINHTTP_QUERY_STATUS_CODE 19u
#define WINHTTP_QUERY_FLAG_NUMBER 0x20000000u

// A session. Only the asynchronous form (WINHTTP_FLAG_ASYNC) is realised;
// without it: null and 50. The access type is DEFAULT_PROXY or NO_PROXY, both
// of which connect directly (no proxy, whatever the environment says); proxy
// names must be null; else null and 87. The agent is the User-Agent text
// (printable ASCII, else 87); a null agent sends none.
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                      DWORD flags);

// A connection to host:port (INTERNET_DEFAULT_PORT: 80) under a session. No
// network traffic yet. A null or empty host, or reserved not 0: 87; a host
// with characters outside letters, digits and ".-_:[]": 12005; a handle that
// is not a session: 12018; an unknown one: 6.
// For tests only: while the environment variable TOVEL_TEST_PORT_8888 names
// a port, a connection to port 8888 goes to that port instead (the tray's
// port is fixed; a test's server listens where it can).
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD reserved);

// A request on a connection. Only "GET" (or a null verb) over HTTP/1.1 (a
// null version, or L"HTTP/1.1") without flags is realised, else 87. A null
// object name is "/"; one outside visible ASCII: 12005. Referrer and accept
// types must be null (87); no Accept header is sent. The request starts with
// the session's time-outs.
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName,
                             LPCWSTR version, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags);

// Time-outs in milliseconds of a session (for requests opened later) or of a
// request (for its next send). 0 or -1: no limit; below -1: 87. Connecting
// (name resolution included) fails with 12002 after the connect limit, and a
// pending ReceiveResponse, QueryDataAvailable or ReadData after the receive
// limit without a byte from the server. The resolve limit is folded into the
// connect limit; the send limit is kept but never reached, since a request
// head here is written at once. Defaults: 0, 60000, 30000, 30000.
BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout);

// Sets the request's callback and the notifications it wants (flags above);
// returns the previous callback (null when none). Only request handles take
// a callback: another kind gives WINHTTP_INVALID_STATUS_CALLBACK and 12018.
// The change applies from the next notification delivered.
WINHTTP_STATUS_CALLBACK WinHttpSetStatusCallback(HINTERNET handle, WINHTTP_STATUS_CALLBACK callback,
                                                 DWORD flags, DWORD_PTR reserved);

// Starts sending the request: TRUE at once, then SENDREQUEST_COMPLETE or
// REQUEST_ERROR (API_SEND_REQUEST; 12029 when the server refuses the
// connection, 12007 for an unknown host, 12002 after the connect limit). The
// context is given with every later notification of the request. A request
// may be sent again, after a failure or during or after a response, which is
// then abandoned; but not while an operation is pending (12019). Additional
// headers and request data are not realised (87 unless null and 0).
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context);

// After SENDREQUEST_COMPLETE: waits for the response head: HEADERS_AVAILABLE,
// or REQUEST_ERROR (API_RECEIVE_RESPONSE; 12030 when the connection ends
// first, 12152 for a head that cannot be read). Earlier or twice: 12019.
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);

// After HEADERS_AVAILABLE. Only the status code is realised:
// WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER writes it as a DWORD
// (a buffer under 4 bytes: 122, with *bufferLength set to 4); other levels:
// 12150. Before the head: 12019. Name and index must be null (87).
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer,
                         LPDWORD bufferLength, LPDWORD index);

// After HEADERS_AVAILABLE: DATA_AVAILABLE once body bytes are buffered (the
// count of them) or the body has ended (0), or REQUEST_ERROR
// (API_QUERY_DATA_AVAILABLE) when the connection fails with nothing left to
// read. bytesAvailable is not written: the count comes with the notification.
BOOL WinHttpQueryDataAvailable(HINTERNET request, LPDWORD bytesAvailable);

// After HEADERS_AVAILABLE. With body bytes buffered (as after DATA_AVAILABLE)
// it copies min(toRead, buffered) of them into buffer before it returns, sets
// *bytesRead, and READ_COMPLETE follows with the same bytes. With none
// buffered the read is pending (*bytesRead 0): READ_COMPLETE once bytes came
// (the count in its length; 0 at the end of the body), or REQUEST_ERROR
// (API_READ_DATA). The buffer must stay valid until then. A null buffer or a
// size of 0: 87.
BOOL WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD bytesRead);

// Closes a session, connection or request handle. A request's pending
// operation is cancelled and HANDLE_CLOSING delivered (when its flag is set)
// as said above; open requests keep working when their connection or session
// is closed before them. The handle is unknown (6) from then on.
BOOL WinHttpCloseHandle(HINTERNET handle);
