// IrKB101 infrared keyboard link: the byte-and-complement frame decoder and
// the initialisation handshake run before the relay loop starts. The decoder
// owns its carry-over buffer; the handshake owns the init and response strings.
#pragma once

// One frame decoder's state. irkb101conv serves a process-wide instance;
// tests and tools make their own so each starts fresh.
struct irkb101_decoder {
    static constexpr int bufsize = 8192;

    unsigned char keybuf[bufsize]; // carried-over run, then the new input
    int p = 0;                     // bytes carried over: 0, or an unfinished run

    // Takes the payload out of n new framed bytes of buf, in place; returns
    // the payload count at the front of buf (at most 4096, so buf must hold
    // 4096 bytes whatever n is).
    int convert(int n, unsigned char *buf);
};

// Takes the payload out of n new framed bytes of buf, in place; returns the
// payload count at the front of buf (at most 4096).
int irkb101conv(int n, unsigned char *buf);

// Runs the initialisation handshake on the open, configured port fd.
// Returns 0 when the keyboard answered every init string, -2 when it had not
// done so within about five seconds.
int init_irkb101(int fd);
