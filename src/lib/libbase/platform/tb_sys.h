// Private to libbase: the system boundary of start-up, addresses and name
// lookup. One implementation per OS under platform/<os>/.
#pragma once

#include <cstddef>
#include <cstdint>

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
