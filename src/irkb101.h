// IrKB101 infrared keyboard link: the byte-and-complement frame decoder and
// the initialisation handshake run before the relay loop starts. The decoder
// owns its carry-over buffer; the handshake owns the init and response strings.
#pragma once

#include "decoder.h"

// One frame decoder's state. irkb101conv serves a process-wide instance;
// tests and tools make their own so each starts fresh.
// Its carry-over buffer holds nothing or an unfinished run between calls.
struct irkb101_decoder : carry_buffer {
    // Most payload bytes one call puts out: one per pair of a full buffer.
    static constexpr int max_output = bufsize / 2;

    // Takes the payload out of n new framed bytes of buf, in place; returns
    // the payload count at the front of buf (at most 4096, so buf must hold
    // 4096 bytes whatever n is).
    int convert(int n, unsigned char *buf);
};

// Takes the payload out of n new framed bytes of buf, in place; returns the
// payload count at the front of buf (at most 4096).
int irkb101conv(int n, unsigned char *buf);

// New framed bytes the next irkb101conv call takes without dropping any.
int irkb101room();

// Runs the initialisation handshake on the open, configured port fd.
// Returns 0 when the keyboard answered every init string, -2 when it had not
// done so within about five seconds or a byte could not be written to it.
int init_irkb101(int fd);
