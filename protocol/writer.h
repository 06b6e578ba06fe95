// writer: the frame writer. Every message of one host frame is appended to it, then the frame goes
// to the channel in records of whole messages of up to WRITER_RECORD_BYTES (a small frame is one
// record), after whatever parts a big frame already sent while it was being encoded. The host session owns one and hands it to the encoder and the overlays; its
// buffer grows and stays, so steady streaming allocates nothing.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct channel;

#define WRITER_RECORD_BYTES 65536   // a frame's records carry whole messages up to about this many bytes

struct FrameWriter {
    uint8_t *data;   // grows to twice the needed size plus 65536 when full, never shrinks
    size_t len;      // bytes appended since the last send or reset
    size_t cap;      // allocated bytes
    size_t sent;     // bytes of this frame already handed to the channel (writer_send_part)
};

// Room for n more bytes at the end (len not advanced); NULL when the buffer cannot grow.
uint8_t *writer_reserve(FrameWriter *w, size_t n);
// The n bytes written at the last writer_reserve pointer become part of the frame.
void writer_commit(FrameWriter *w, size_t n);
int writer_append(FrameWriter *w, const void *bytes, size_t n);   // 1, or 0 when it cannot grow
// Header and payload; 1, or 0 when it cannot grow (nothing appended then).
int writer_append_msg(FrameWriter *w, uint8_t type, const void *payload, uint32_t length);
void writer_reset(FrameWriter *w);   // empty, keep the allocation
void writer_free(FrameWriter *w);    // release the allocation

// What the frame holds beyond its parts already sent, as one record of its own (the frame goes on
// filling after it). 1 (also when there is nothing new), or 0 when the send failed.
int writer_send_part(FrameWriter *w, channel *ch);
// The frame, beyond its parts already sent, in records of whole messages of up to
// WRITER_RECORD_BYTES (a bigger message alone), then the writer is empty whatever happened. An empty writer sends nothing and gives 1; 0 when the send failed.
int writer_send(FrameWriter *w, channel *ch);
