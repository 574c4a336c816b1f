#include "ps2_encoder.h"

#include <array>

#include "keychars.h"
#include "ps2key.h"

namespace {

constexpr int char_count = EXT_END + 1; // ASCII and the extended characters
constexpr int shift_bit = 1;
constexpr int ctrl_bit = 2;

// Whether row is the one the decoder finds for its code: the first row of
// the table with that code. A later row with the same code is shadowed.
bool reachable(int row)
{
    for (int r = 0; r < row; ++r)
        if (keytables[r].scancode == keytables[row].scancode)
            return false;
    return true;
}

struct stroke_table {
    std::array<ps2_keystroke, char_count> stroke;
    std::array<bool, char_count> typable;
};

// The inverse of the key table over the columns without Alt, fewest
// modifiers first, skipping rows that an earlier row with the same code
// shadows: a keyboard can only reach a row by its code.
stroke_table invert_keytables()
{
    stroke_table t{};
    for (int column : {0, shift_bit, ctrl_bit, ctrl_bit | shift_bit}) {
        for (int row = 0; keytables[row].keynum >= 0; ++row) {
            const keyinfo_t &k = keytables[row];
            if (!reachable(row))
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

} // namespace

bool ps2_keystroke_for(int ch, ps2_keystroke &stroke)
{
    if (ch < 0 || ch >= char_count || !strokes().typable[static_cast<unsigned>(ch)])
        return false;
    stroke = strokes().stroke[static_cast<unsigned>(ch)];
    return true;
}

bool ps2_encode_char(int ch, std::vector<unsigned char> &out)
{
    ps2_keystroke s{};
    if (!ps2_keystroke_for(ch, s))
        return false;
    if (s.column & ctrl_bit)
        put_key(ps2_ctrl_make, false, out);
    if (s.column & shift_bit)
        put_key(ps2_shift_make, false, out);
    put_key(s.scancode, false, out);
    put_key(s.scancode, true, out);
    if (s.column & shift_bit)
        put_key(ps2_shift_make, true, out);
    if (s.column & ctrl_bit)
        put_key(ps2_ctrl_make, true, out);
    return true;
}

std::size_t ps2_encode_text(std::string_view text, std::vector<unsigned char> &out)
{
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (!ps2_encode_char(static_cast<unsigned char>(text[k]), out))
            return k;
    }
    return text.size();
}
