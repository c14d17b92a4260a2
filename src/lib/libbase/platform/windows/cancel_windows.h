// Private to the Windows files of libbase: the stop request (tb_cancel.h)
// of the calling thread.
#pragma once

// True when the calling thread watches a stop request and it is raised.
bool tb_cancel_watched_raised();
