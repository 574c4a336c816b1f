#include "ps2key.h"

// Placeholder until the decoder lands: bytes pass through unchanged.
int ps2conv(int n, unsigned char *) { return n < 0 ? 0 : n; }
