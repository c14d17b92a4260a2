// Private to the POSIX files of libbase: waits that also end when the
// calling thread's stop request (tb_cancel.h) is raised.
#pragma once

#include <poll.h>

// poll(2) over fds (at most 3) that also wakes when the stop request watched by the
// calling thread is raised: then -1 with errno ECANCELED (also when it was
// raised before the call). Without a watched request it is poll(2) itself.
int tb_cancel_poll(pollfd* fds, nfds_t count, int timeout_ms);
// Waits until fd is readable (or at its end) when a stop request is
// watched; 0 then, or -1 with ECANCELED. Returns 0 at once without one, so
// that a plain blocking read follows.
int tb_cancel_wait_readable(int fd);
