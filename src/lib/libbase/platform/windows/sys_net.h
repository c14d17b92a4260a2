// The system's socket address types on Windows, for the portable files of
// platform/ (declarations only: the socket library is resolved at run time).
#pragma once

#include <strings.h>
#include <winsock2.h>
#include <ws2tcpip.h>
