#include "ps2_encoder.h"

#include <array>

#include "keychars.h"
#include "ps2key.h"

namespace sim {

namespace {

// Modifier codes the encoder presses (the left-hand keys).
constexpr unsigned char shift_make = 0x12;
constexpr unsigned char ctrl_make = 0x14;

// How one character is typed: the key's code (0xE000 plus the key byte for
// keys behind the E0 prefix) and the modifier column of the key table (1
// Shift, 2 Ctrl, 3 both).
struct keystroke {
    int scancode;
    int column;
};

constexpr int char_count = EXT_END + 1; // ASCII and the extended characters
constexpr int shift_bit = 1;
constexpr int ctrl_bit = 2;

struct stroke_table {
    std::array<keystroke, char_count> stroke;
    std::array<bool, char_count> typable;
};

// The inverse of the key table over the columns without Alt, fewest
// modifiers first, over the rows that answer their own code: a keyboard can
// only reach a row by its code, and a later row with an earlier row's code
// is never answered.
stroke_table invert_keytables()
{
    stroke_table t{};
    for (int column : {0, shift_bit, ctrl_bit, ctrl_bit | shift_bit}) {
        for (int row = 0; keytables[row].keynum >= 0; ++row) {
            const keyinfo_t &k = keytables[row];
            if (keytable_row(k.scancode) != row)
                continue;
            const int ch = k.cc[column];
            if (ch >= 0 && ch < char_count && !t.typable[static_cast<unsigned>(ch)]) {
                t.typable[static_cast<unsigned>(ch)] = true;
                t.stroke[static_cast<unsigned>(ch)] = {k.scancode, column};
            }
        }
    }
    return t;
}

const stroke_table &strokes()
{
    static const stroke_table t = invert_keytables();
    return t;
}

void put_key(int scancode, bool release, std::vector<unsigned char> &out)
{
    if (scancode & 0xFF00)
        out.push_back(0xE0);
    if (release)
        out.push_back(0xF0);
    out.push_back(static_cast<unsigned char>(scancode & 0xFF));
}

// How ch (0 to 135) is typed: the reachable key table row and the column with
// the fewest modifiers that yield it. False when no key types ch.
bool keystroke_for(int ch, keystroke &stroke)
{
    if (ch < 0 || ch >= char_count || !strokes().typable[static_cast<unsigned>(ch)])
        return false;
    stroke = strokes().stroke[static_cast<unsigned>(ch)];
    return true;
}

// Appends the bytes that type ch; false, appending nothing, when no key types it.
bool encode_char(int ch, std::vector<unsigned char> &out)
{
    keystroke s{};
    if (!keystroke_for(ch, s))
        return false;
    if (s.column & ctrl_bit)
        put_key(ctrl_make, false, out);
    if (s.column & shift_bit)
        put_key(shift_make, false, out);
    put_key(s.scancode, false, out);
    put_key(s.scancode, true, out);
    if (s.column & shift_bit)
        put_key(shift_make, true, out);
    if (s.column & ctrl_bit)
        put_key(ctrl_make, true, out);
    return true;
}

} // namespace

std::size_t ps2_encode_text(std::string_view text, std::vector<unsigned char> &out)
{
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (!encode_char(static_cast<unsigned char>(text[k]), out))
            return k;
    }
    return text.size();
}

} // namespace sim
