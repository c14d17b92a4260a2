// Private to the Windows files of libbase: the tables of system entry points
// resolved by name at run time (each loaded once, on first use), and the
// translation of Windows error codes into the errno values the layer's
// callers read.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <shlobj.h>

#define TB_WIN_ENTRY(name) decltype(&::name) name;

// kernel32: the entries this program relies on.
#define TB_KERNEL32_ENTRIES(X) X(RtlCaptureStackBackTrace) X(GetFileSizeEx) X(GetTickCount64)
struct tb_kernel32_t {
  TB_KERNEL32_ENTRIES(TB_WIN_ENTRY)
};

// ws2_32, in the order of resolution. Sockets are never imported: a system
// without Winsock still runs the program, without network access.
#define TB_WS2_32_ENTRIES(X)                                                                       \
  X(WSAStartup) X(WSACleanup) X(WSASocketA) X(WSAIoctl) X(WSAGetLastError) X(WSAEnumProtocolsW)   \
  X(WSASend) X(WSARecv) X(WSASendTo) X(WSARecvFrom) X(bind) X(send) X(recv) X(sendto)             \
  X(recvfrom) X(accept) X(listen) X(select) X(connect) X(shutdown) X(getsockname) X(getsockopt)   \
  X(setsockopt) X(ioctlsocket) X(closesocket) X(gethostname) X(getaddrinfo) X(freeaddrinfo)       \
  X(getnameinfo) X(gethostbyname) X(gethostbyaddr) X(__WSAFDIsSet)
struct tb_ws2_32_t {
  TB_WS2_32_ENTRIES(TB_WIN_ENTRY)
};

#define TB_SHELL32_ENTRIES(X) X(SHGetSpecialFolderLocation) X(SHGetPathFromIDListW)
struct tb_shell32_t {
  TB_SHELL32_ENTRIES(TB_WIN_ENTRY)
};

#define TB_IPHLPAPI_ENTRIES(X) X(GetNetworkParams) X(GetAdaptersInfo) X(GetAdaptersAddresses)
struct tb_iphlpapi_t {
  TB_IPHLPAPI_ENTRIES(TB_WIN_ENTRY)
};

// The tables, always (entries stay null when the library or the name is
// missing: callers test each entry before use).
const tb_kernel32_t* tb_kernel32();
const tb_ws2_32_t* tb_ws2_32();
const tb_shell32_t* tb_shell32();
const tb_iphlpapi_t* tb_iphlpapi();

// The errno value standing for a Windows or Winsock error code. Chosen so
// that the file layer's error classes come out as the system meant them: a
// bad sector (ERROR_CRC) is EIO, a vanished file or device is ENOENT, ENODEV
// or ENXIO; codes without a counterpart are EINVAL.
int tb_win_errno(unsigned long code);
// errno from GetLastError(); returns false for use in failure paths.
bool tb_win_fail();
