// Private to libbase: the system boundary of start-up, addresses, name
// lookup and the socket stream. One implementation per OS under
// platform/<os>/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tb_socket.h"

// Index of the network interface with this name, 0 when there is none.
uint32_t tb_sys_ifname_index(const char* name);

// Starts and stops the socket library (nothing to do on POSIX); true when
// sockets can be used.
bool tb_sys_socket_init();
void tb_sys_socket_exit();

// The DNS server list of the system, guarded by its own spin lock. Loading
// replaces the list with the nameservers of the file (never fails: an
// unreadable file leaves the list empty); clearing empties it.
void tb_sys_dns_load(const char* path);
void tb_sys_dns_clear();

// What the socket stream needs beyond tb_socket_recv, which cannot tell a
// closed peer from an empty socket: bytes received (> 0); 0 when nothing has
// arrived or the peer has closed its side (*closed is then true); -1 on an
// error, with errno set. A request of 0 bytes gives 0 and never says closed.
long tb_sys_socket_recv(tb_socket_ref_t sock, void* buf, size_t size, bool* closed);

// The socket's pending error as an errno value, taken from the socket (a
// second call gives 0); 0 when there is none; -1 when it cannot be read,
// with errno set.
int tb_sys_socket_error(tb_socket_ref_t sock);
