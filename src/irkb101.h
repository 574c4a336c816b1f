// IrKB101 infrared keyboard link: the byte-and-complement frame decoder and
// the initialisation handshake run before the relay loop starts.
#pragma once

// Takes the payload out of n new framed bytes of buf, in place; returns the
// payload count at the front of buf (at most 4096).
int irkb101conv(int n, unsigned char *buf);

// Runs the initialisation handshake on the open, configured port fd.
// Returns 0 when the keyboard answered every init string, else non-zero.
int init_irkb101(int fd);
