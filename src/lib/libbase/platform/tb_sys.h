// Private to libbase: the system boundary of start-up, addresses, name
// lookup and the socket stream. One implementation per OS under
// platform/<os>/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tb_socket.h"

// Index of the network interface with this name, 0 when there is none.
uint32_t tb_sys_ifname_index(const char* name);

// The system resolver: the first address of name (of the address's family,
// any family when it has none) into *addr, port included; false when there
// is none.
bool tb_sys_name_lookup(const char* name, tb_ipaddr_t* addr);

// Starts and stops the socket library (nothing to do on POSIX); true when
// sockets can be used.
bool tb_sys_socket_init();
void tb_sys_socket_exit();

// The system's DNS servers (port 53), at most TB_SYS_DNS_SERVERS_MAX: on
// POSIX the nameserver lines of the resolver file path (null: the system's);
// on Windows the system's network parameters (path is not used). Never
// fails: nothing readable gives an empty list.
constexpr size_t TB_SYS_DNS_SERVERS_MAX = 64;
std::vector<tb_ipaddr_t> tb_sys_dns_read(const char* path);

// The DNS server list of the base layer, guarded by its own spin lock. Loading
// replaces the list with the nameservers of the file (never fails: an
// unreadable file leaves the list empty); clearing empties it.
void tb_sys_dns_load(const char* path);
void tb_sys_dns_clear();

// An int socket option: set (set true) or read into *value (a failed read
// stores 0); false on failure. Levels and names are the system's.
bool tb_sys_socket_opt(tb_socket_ref_t sock, int level, int name, bool set, int* value);
// The system's socket kind and protocol of a tb_socket_init type (kind in
// bits 8-15: stream, datagram, raw; protocol in bits 0-7: TCP, UDP, ICMP of
// the family); false with errno EINVAL for an unknown one.
bool tb_sys_socket_kind(size_t type, bool v6, int* kind, int* protocol);
// Blocking (true) or non-blocking socket calls; false on failure.
bool tb_sys_socket_block(tb_socket_ref_t sock, bool block);

// What the socket stream needs beyond tb_socket_recv, which cannot tell a
// closed peer from an empty socket: bytes received (> 0); 0 when nothing has
// arrived or the peer has closed its side (*closed is then true); -1 on an
// error, with errno set. A request of 0 bytes gives 0 and never says closed.
long tb_sys_socket_recv(tb_socket_ref_t sock, void* buf, size_t size, bool* closed);

// The socket's pending error as an errno value, taken from the socket (a
// second call gives 0); 0 when there is none; -1 when it cannot be read,
// with errno set.
int tb_sys_socket_error(tb_socket_ref_t sock);
