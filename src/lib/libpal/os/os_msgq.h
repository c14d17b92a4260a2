// A worker's message queue: what stands in for a thread message queue.
// A message posted before the worker waits is kept until it is taken.
#pragma once

enum {
  OS_MSG_QUIT = 0x12,   // ends the worker's loop
  OS_MSG_WORK = 1025,   // start one request (WM_USER + 1)
};

struct os_msgq;
// Null when memory runs out.
os_msgq* os_msgq_new();
void os_msgq_free(os_msgq* q);
// Queues msg; returns 0, -1 for a null queue.
int os_msgq_post(os_msgq* q, unsigned msg);
// Blocks until a message is there and takes it, oldest first; a null queue
// gives OS_MSG_QUIT at once, so that a worker without a queue ends.
unsigned os_msgq_wait(os_msgq* q);
