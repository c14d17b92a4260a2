// The system's socket address types on POSIX, for the portable files of
// platform/.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
