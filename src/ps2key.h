// PS/2 scan code set 2 decoder: turns the byte stream of a cradle keyboard
// into characters (ASCII 0 to 127 and the extended characters 128 to 135),
// following Shift, Ctrl and Alt. Owns the key table, its carry-over buffer
// and the modifier state.
#pragma once

#include <cstdint>

#include "decoder.h"

// One row of the key table: the code a key sends and what it types in each
// of the eight modifier states (index: Shift 1 | Ctrl 2 | Alt 4).
struct keyinfo_t {
    std::int32_t keynum;   // physical key number; negative only on the terminator row
    std::int32_t scancode; // key byte, or 0xE000 plus the key byte after an E0 prefix
    std::int32_t cc[8];    // character (0 to 135) or one of the CC_ markers
    unsigned char lock;    // 99 on letter rows, 255 on the terminator; not read
};

// Markers in keyinfo_t::cc. Modifiers set their shiftmode bit on make and
// clear it on break; the others type nothing.
constexpr std::int32_t CC_NONE = -1;
constexpr std::int32_t CC_CAPS = -16;
constexpr std::int32_t CC_SHIFT = -32;
constexpr std::int32_t CC_CTRL = -64;
constexpr std::int32_t CC_ALT = -128;

constexpr int keytable_rows = 75;

// The key table, terminator row last. The first row whose scancode matches
// answers a code, so later rows with an earlier scancode are never reached.
extern const keyinfo_t keytables[keytable_rows];

// The row of keytables that answers code (a key byte, or 0xE000 plus the key
// byte after an E0 prefix), or -1 when none does: the first row with that
// scancode, so that a later row with the same scancode is never answered.
// Looked up in an index built at compile time.
int keytable_row(int code);

// One decoder's state: its carry-over buffer, which holds 0, 1 or 2 bytes
// of a prefix between calls, and the modifiers held. ps2conv serves a
// process-wide instance; tests and tools make their own so each starts fresh.
struct ps2_decoder : carry_buffer {
    int shiftmode = 0; // 1 Shift, 2 Ctrl, 4 Alt, or-ed together

    // Decodes n new bytes of buf in place; returns the number of characters
    // now at the front of buf (never more than n).
    int convert(int n, unsigned char *buf);
};

// Decodes n new bytes of buf in place; returns the number of characters now
// at the front of buf (never more than n).
int ps2conv(int n, unsigned char *buf);

// New bytes the next ps2conv call takes without dropping any.
int ps2room();
