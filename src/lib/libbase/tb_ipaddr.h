// Addresses with port, their text forms, and name lookup.
#pragma once

#include <cstddef>
#include <cstdint>

struct sockaddr_storage;

enum { TB_IPADDR_FAMILY_NONE = 0, TB_IPADDR_FAMILY_IPV4 = 1, TB_IPADDR_FAMILY_IPV6 = 2 };

struct tb_ipv4_t {
  uint32_t u32;  // network byte order: first dotted component in the lowest byte
};
struct tb_ipv6_t {
  uint32_t scope_id;
  uint8_t u8[16];  // network order
};
struct tb_ipaddr_t {
  uint8_t family : 7;
  uint8_t have_ip : 1;
  uint16_t port;  // host order
  union {
    tb_ipv4_t ipv4;
    tb_ipv6_t ipv6;
  } u;
};

// Family IPv4, no address part, port 0.
void tb_ipaddr_clear(tb_ipaddr_t* addr);
// Without an address part only family and port are copied.
void tb_ipaddr_copy(tb_ipaddr_t* dst, const tb_ipaddr_t* src);
bool tb_ipaddr_is_equal(const tb_ipaddr_t* a, const tb_ipaddr_t* b);
void tb_ipaddr_port_set(tb_ipaddr_t* addr, uint16_t port);
uint16_t tb_ipaddr_port(const tb_ipaddr_t* addr);
// family 0 tries IPv4 then IPv6; a null text only sets the family. The port
// stays. A failed parse leaves the address unchanged.
bool tb_ipaddr_ip_text_set(tb_ipaddr_t* addr, const char* text, int family);

// Texts; each returns buf, or null when the buffer is too small or the
// address cannot be printed. tb_ipaddr_text needs 80 bytes,
// tb_ipv4_text 16, tb_ipv6_text 60.
const char* tb_ipaddr_text(const tb_ipaddr_t* addr, char* buf, size_t size);
const char* tb_ipaddr_ip_text(const tb_ipaddr_t* addr, char* buf, size_t size);
const char* tb_ipv4_text(const tb_ipv4_t* ip, char* buf, size_t size);
const char* tb_ipv6_text(const tb_ipv6_t* ip, char* buf, size_t size);
bool tb_ipv4_text_set(tb_ipv4_t* ip, const char* text);
bool tb_ipv6_text_set(tb_ipv6_t* ip, const char* text);
// Link-local unicast (fe80::/10) or link-local multicast (ff?2::/16): the
// kinds whose scope id is printed and passed to the system.
bool tb_ipv6_is_linklocal(const tb_ipv6_t* ip);

// System socket address <-> address; 16 (IPv4), 28 (IPv6) or 0.
size_t tb_sockaddr_from_ipaddr(sockaddr_storage* saddr, const tb_ipaddr_t* addr);
size_t tb_sockaddr_to_ipaddr(const sockaddr_storage* saddr, tb_ipaddr_t* addr);

// Resolves a name or address text into the address part; the port stays.
bool tb_addrinfo_addr(const char* name, tb_ipaddr_t* addr);

// The DNS servers of the system (port 53), from /etc/resolv.conf at start-up;
// copies at most max into out and returns how many there are.
size_t tb_dns_servers(tb_ipaddr_t* out, size_t max);
// Replaces the list with the nameserver lines of another file (for tests;
// null reads /etc/resolv.conf again);
// returns how many servers it now holds.
size_t tb_dns_servers_reload(const char* path);
