// Sending and receiving frames of the remote file service on a client
// connection (the frame layout is the wire library's, krp_wire.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "blobmsg.h"
#include "krp_wire.h"

struct net_conn;
struct krsd_client;

// Sends one frame: the head, then the message from its byte 4 on. KRSD_OK,
// KRSD_ERR_DATA for a message shorter than 4 bytes, KRSD_ERR_SYS when a
// write fails.
int send_request(net_conn* conn, int version, int cmd, const void* msg, size_t len);
// The client's form, version 1.
int client_send_reqest(krsd_client* ctx, int cmd, const void* msg, size_t len);
// Reads and checks the 8-byte head: KRSD_OK with the command byte, the raw
// root header word and the padded message length; KRSD_ERR_SYS,
// KRSD_ERR_TIMEOUT (nothing arrived in time) or KRSD_ERR_DATA (with
// *cut_short set when only part of the head came in time).
int recv_request_len(net_conn* conn, uint8_t* cmd, uint32_t* root_word, uint32_t* padded_len,
                     bool* cut_short = nullptr);
// Reads one response into the session's response buffer (root first, grown
// as needed): KRSD_OK with *padded_len, or the failure code.
int client_recv_response(krsd_client* ctx, uint32_t* padded_len);
