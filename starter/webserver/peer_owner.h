// Who opened the other end of a connection that comes from this machine.
#pragma once

namespace tovel::web {

// The user id of the local account whose socket is the client's end of the TCP connection from
// peer_address:peer_port (numeric IPv4 or IPv6 text) to this machine's server_port, read from
// the kernel's table of this machine's sockets. -1 when no live socket of this machine is that
// end (the client is elsewhere, or has closed its end) or the table cannot be read. Unlike the
// peer's address, which any local program chooses freely among 127.0.0.0/8, the owner is the
// kernel's record and cannot be claimed by another account. Any thread; reads the table each call.
long long local_socket_owner(const char* peer_address, int peer_port, int server_port);

}  // namespace tovel::web
