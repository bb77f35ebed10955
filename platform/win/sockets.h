// Winsock's sockets for datagrams and raw ICMP, and the host name. Not part of win32.h: the
// calls keep Winsock's names and forms, which overload the host's own, so only the code that
// uses them includes this header (after ACE's, as every platform header).
#pragma once

#include "platform/win/winsock.h"

// gethostname(name, size): the host's own call, whose contract is Winsock's: 0 with the
// computer's host name in name (NUL-terminated), or -1 (SOCKET_ERROR) when it does not fit.
#include <unistd.h>

// The host's socket calls serve where their contract is Winsock's (inet_addr, getaddrinfo,
// freeaddrinfo, select, the fd_set macros). A SOCKET is the host's descriptor; select takes the
// highest descriptor + 1 here as its first argument (Windows ignores it).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (~static_cast<SOCKET>(0))

// Opens a socket (close-on-exec); INVALID_SOCKET on failure, the reason in WSAGetLastError.
// (AF_INET, SOCK_RAW, IPPROTO_ICMP) opens a raw ICMP socket when the process may; otherwise an
// unprivileged ICMP datagram socket, which the layer presents as a raw one: what recvfrom gives
// starts with a 20-byte IPv4 header, and an echo reply carries the identifier that the request
// was sent with (the host puts its own in its place on the wire). protocolInfo, group and flags
// are not used.
SOCKET WSASocketW(int af, int type, int protocol, void* protocolInfo, unsigned group, DWORD flags);

// Winsock's forms of sending and receiving one datagram: the byte count, or SOCKET_ERROR with
// the reason in WSAGetLastError.
int sendto(SOCKET s, const char* buffer, int length, int flags, const sockaddr* to, int toLength);
int recvfrom(SOCKET s, char* buffer, int length, int flags, sockaddr* from, int* fromLength);

// Closes a socket: 0, or SOCKET_ERROR (an unknown socket).
int closesocket(SOCKET s);
