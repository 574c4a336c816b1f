// Cradle virtual keyboard, encoding side: turns text into the PS/2 scan code
// set 2 make and break sequences a cradle keyboard sends for it, with Shift
// and Ctrl pressed around each character as the relay's key table requires.
// Pure: no I/O, no state between calls.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace sim {

// Appends the bytes for each character of text, its bytes taken as 0 to 255
// (so "\x80" is cursor left): for each, the modifier makes (Ctrl, then
// Shift), the key's make and break codes, then the modifier breaks in
// reverse order. Stops at the first character that cannot be typed and
// returns its index; returns text.size() when all were typed.
std::size_t ps2_encode_text(std::string_view text, std::vector<unsigned char> &out);

} // namespace sim
