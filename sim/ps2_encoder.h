// Cradle virtual keyboard, encoding side: turns text into the PS/2 scan code
// set 2 make and break sequences a cradle keyboard sends for it, with Shift
// and Ctrl pressed around each character as the relay's key table requires.
// Pure: no I/O, no state between calls.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// Modifier codes the encoder presses (the left-hand keys).
constexpr unsigned char ps2_shift_make = 0x12;
constexpr unsigned char ps2_ctrl_make = 0x14;

// How one character is typed: the key's code (0xE000 plus the key byte for
// keys behind the E0 prefix) and the modifier column of the key table (1
// Shift, 2 Ctrl, 3 both).
struct ps2_keystroke {
    int scancode;
    int column;
};

// How ch (0 to 135) is typed: the reachable key table row and the column with
// the fewest modifiers that yield it. False when no key types ch.
bool ps2_keystroke_for(int ch, ps2_keystroke &stroke);

// Appends the bytes that type ch: modifier makes (Ctrl, then Shift), the key's
// make and break codes, then the modifier breaks in reverse order. Returns
// false and appends nothing when no key types ch.
bool ps2_encode_char(int ch, std::vector<unsigned char> &out);

// Appends the bytes for each character of text, its bytes taken as 0 to 255
// (so "\x80" is cursor left). Stops at the first character that cannot be
// typed and returns its index; returns text.size() when all were typed.
std::size_t ps2_encode_text(std::string_view text, std::vector<unsigned char> &out);
