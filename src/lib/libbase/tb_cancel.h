// Stop requests that end waits at once. A thread watches at most one stop
// request; while it is raised, that thread's socket waits and its reads of
// pipes, FIFOs and terminals fail at once with ECANCELED instead of waiting
// out their time-out. Raising it from another thread wakes a wait already in
// progress, so a stop takes effect however long the wait would have been.
#pragma once

typedef struct tb_cancel_s* tb_cancel_ref_t;

// A new stop request, not raised; null when the system has no room for it
// (errno tells why).
tb_cancel_ref_t tb_cancel_init();
// Releases it; no thread may watch it any more.
void tb_cancel_exit(tb_cancel_ref_t cancel);
// Raises it: from any thread, also from a signal handler.
void tb_cancel_raise(tb_cancel_ref_t cancel);
// Lowers it again, for the next piece of work.
void tb_cancel_clear(tb_cancel_ref_t cancel);
bool tb_cancel_raised(tb_cancel_ref_t cancel);
// The calling thread's waits watch cancel from now on (null: none); returns
// the stop request watched before, to be restored when the work ends.
tb_cancel_ref_t tb_cancel_watch(tb_cancel_ref_t cancel);
