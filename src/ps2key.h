// PS/2 scan code set 2 decoder: turns the byte stream of a cradle keyboard
// into characters (ASCII 0 to 127 and the extended characters 128 to 135),
// following Shift, Ctrl and Alt. Owns its carry-over buffer and modifier state.
#pragma once

// Decodes n new bytes of buf in place; returns the number of characters now
// at the front of buf (never more than n).
int ps2conv(int n, unsigned char *buf);
