// The session's pack layer over the wire library's codecs (zcomp.h).
#pragma once

#include "zcomp.h"

// The session's codec (krsd_client.h).
struct krsd_client;
// Closes the session codec, opens the one named by the session's pack name;
// 0, or -1 when there is no such codec.
int sdcomp_open(krsd_client* ctx);
int sdcomp_pack(krsd_client* ctx, const void* in, int in_len, void* out, int out_cap);
int sdcomp_unpack(krsd_client* ctx, const void* in, int in_len, void* out, int out_cap);
void sdcomp_close(krsd_client* ctx);
