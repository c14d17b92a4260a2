// The imaging job API: one job at a time on the imaging worker thread.
#pragma once

#include "dd_verify.h"

// Starts the base layer, the remote client library and the worker; 0.
// Once per process: a later call, also after krsd_exit, does nothing.
int krsd_init();
// Sets up a job and hands it to the worker. 0 handed over; 1 no job (one
// is running, the block buffer could not be allocated, or no worker takes
// it: none started, or told to quit). A job handed over counts as busy
// until it has ended.
int krsd_get_file(const char* source, const char* target, int resume);
// Hands a verification of image (as krimg verify does it; program names the
// front end in the report) to the worker, which then counts as busy until
// it has ended; its outcome is in the log and in krsd_last_verify. 0 handed
// over; 1 refused (a job is running, or no worker takes it).
int krsd_verify_file(const char* image, const char* program);
// The outcome of the last verification that ended.
dd_verify_result krsd_last_verify();
// Asks the running job (or verification) to stop; 0.
int krsd_stop();
// Non-zero from hand-over until the job has ended.
int krsd_is_busy();
// Posts the quit request to the worker without waiting; 0.
int krsd_exit();
// After krsd_exit: waits until the worker has ended (it ends after the job
// it runs); returns at once before krsd_exit. For a front end that ends the
// process itself.
void krsd_join();
// 1 when target exists, is not empty and the examiner chose to continue.
int krsd_outfile_ask_continue(const char* target);
// The result of the last job that ended (the pass results 0..5), -1 before.
int krsd_last_result();
// For the front end's timer: while a job waits for a source that keeps
// silent (3 s or more without a block), its status line says so and since
// when, through the front end's status hook on the calling thread.
void krsd_status_tick();
