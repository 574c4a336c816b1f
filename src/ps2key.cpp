#include "ps2key.h"

#include <cstdio>

#include "keychars.h"

namespace {

constexpr std::int32_t N = CC_NONE;
constexpr std::int32_t S = CC_SHIFT;
constexpr std::int32_t C = CC_CTRL;
constexpr std::int32_t A = CC_ALT;
constexpr std::int32_t L = CC_CAPS;

} // namespace

// Columns: none, Shift, Ctrl, Ctrl+Shift, Alt, Alt+Shift, Alt+Ctrl,
// Alt+Ctrl+Shift. The Alt columns repeat the others except for Space and
// Esc with Ctrl+Alt, which type nothing. One row per key, kept on one line.
// clang-format off
constexpr keyinfo_t keytables[keytable_rows] = {
    {0, 0x00, {N, N, N, N, N, N, N, N}, 0},
    {1, 0x0E, {96, '~', N, N, 96, '~', N, N}, 0},
    {2, 0x16, {'1', '!', N, N, '1', '!', N, N}, 0},
    {3, 0x1E, {'2', '@', 0, 0, '2', '@', 0, 0}, 0},
    {4, 0x26, {'3', '#', N, N, '3', '#', N, N}, 0},
    {5, 0x25, {'4', '$', N, N, '4', '$', N, N}, 0},
    {6, 0x2E, {'5', '%', N, N, '5', '%', N, N}, 0},
    {7, 0x36, {'6', '^', 30, 30, '6', '^', 30, 30}, 0},
    {8, 0x3D, {'7', '&', N, N, '7', '&', N, N}, 0},
    {9, 0x3E, {'8', '*', N, N, '8', '*', N, N}, 0},
    {10, 0x46, {'9', '(', N, N, '9', '(', N, N}, 0},
    {11, 0x45, {'0', ')', N, N, '0', ')', N, N}, 0},
    {12, 0x4E, {'-', '_', 31, 31, '-', '_', 31, 31}, 0},
    {13, 0x55, {'=', '+', N, N, '=', '+', N, N}, 0},
    {14, 0x6A, {92, 124, 28, 28, 92, 124, 28, 28}, 0},
    {15, 0x66, {127, 127, 8, 8, 127, 127, 8, 8}, 0},
    {16, 0x0D, {9, 9, N, N, 9, 9, N, N}, 0},
    {17, 0x15, {'q', 'Q', 17, 17, 'q', 'Q', 17, 17}, 99},
    {18, 0x1D, {'w', 'W', 23, 23, 'w', 'W', 23, 23}, 99},
    {19, 0x24, {'e', 'E', 5, 5, 'e', 'E', 5, 5}, 99},
    {20, 0x2D, {'r', 'R', 18, 18, 'r', 'R', 18, 18}, 99},
    {21, 0x2C, {'t', 'T', 20, 20, 't', 'T', 20, 20}, 99},
    {22, 0x35, {'y', 'Y', 25, 25, 'y', 'Y', 25, 25}, 99},
    {23, 0x3C, {'u', 'U', 21, 21, 'u', 'U', 21, 21}, 99},
    {24, 0x43, {'i', 'I', 9, 9, 'i', 'I', 9, 9}, 99},
    {25, 0x44, {'o', 'O', 15, 15, 'o', 'O', 15, 15}, 99},
    {26, 0x4D, {'p', 'P', 16, 16, 'p', 'P', 16, 16}, 99},
    {27, 0x54, {'[', '{', 27, 27, '[', '{', 27, 27}, 0},
    {28, 0x5B, {']', '}', 29, 29, ']', '}', 29, 29}, 0},
    {29, 0x5D, {92, 124, 28, 28, 92, 124, 28, 28}, 0},
    {30, 0x58, {L, L, L, L, L, L, L, L}, 0},
    {31, 0x1C, {'a', 'A', 1, 1, 'a', 'A', 1, 1}, 99},
    {32, 0x1B, {'s', 'S', 19, 19, 's', 'S', 19, 19}, 99},
    {33, 0x23, {'d', 'D', 4, 4, 'd', 'D', 4, 4}, 99},
    {34, 0x2B, {'f', 'F', 6, 6, 'f', 'F', 6, 6}, 99},
    {35, 0x34, {'g', 'G', 7, 7, 'g', 'G', 7, 7}, 99},
    {36, 0x33, {'h', 'H', 8, 8, 'h', 'H', 8, 8}, 99},
    {37, 0x3B, {'j', 'J', 10, 10, 'j', 'J', 10, 10}, 99},
    {38, 0x42, {'k', 'K', 11, 11, 'k', 'K', 11, 11}, 99},
    {39, 0x4B, {'l', 'L', 12, 12, 'l', 'L', 12, 12}, 99},
    {40, 0x4C, {';', ':', N, N, ';', ':', N, N}, 0},
    {41, 0x52, {39, 34, N, N, 39, 34, N, N}, 0},
    {42, 0x5D, {27, 27, 27, 27, 27, 27, N, 27}, 0},
    {43, 0x5A, {13, 13, 10, 10, 13, 13, 10, 10}, 0},
    {44, 0x12, {S, S, S, S, S, S, S, S}, 0},
    {45, 0x61, {92, 124, 28, 28, 92, 124, 28, 28}, 0},
    {46, 0x1A, {'z', 'Z', 26, 26, 'z', 'Z', 26, 26}, 99},
    {47, 0x22, {'x', 'X', 24, 24, 'x', 'X', 24, 24}, 99},
    {48, 0x21, {'c', 'C', 3, 3, 'c', 'C', 3, 3}, 99},
    {49, 0x2A, {'v', 'V', 22, 22, 'v', 'V', 22, 22}, 99},
    {50, 0x32, {'b', 'B', 2, 2, 'b', 'B', 2, 2}, 99},
    {51, 0x31, {'n', 'N', 14, 14, 'n', 'N', 14, 14}, 99},
    {52, 0x3A, {'m', 'M', 13, 13, 'm', 'M', 13, 13}, 99},
    {53, 0x41, {',', '<', N, N, ',', '<', N, N}, 0},
    {54, 0x49, {'.', '>', N, N, '.', '>', N, N}, 0},
    {55, 0x4A, {'/', '?', N, N, '/', '?', N, N}, 0},
    {56, 0x51, {92, '_', 28, 31, 92, '_', 28, 31}, 0},
    {57, 0x59, {S, S, S, S, S, S, S, S}, 0},
    {58, 0x14, {C, C, C, C, C, C, C, C}, 0},
    {59, 0x00, {N, N, N, N, N, N, N, N}, 0},
    {60, 0x11, {A, A, A, A, A, A, A, A}, 0},
    {61, 0x29, {' ', ' ', 0, ' ', ' ', ' ', N, ' '}, 0},
    {62, 0xE011, {A, A, A, A, A, A, A, A}, 0},
    {63, 0x00, {N, N, N, N, N, N, N, N}, 0},
    {64, 0xE014, {C, C, C, C, C, C, C, C}, 0},
    {100, 0xE06B, {EXT_LEFT, EXT_LEFT, EXT_LEFT, EXT_LEFT, EXT_LEFT, EXT_LEFT, EXT_LEFT, EXT_LEFT}, 0},
    {101, 0xE072, {EXT_DOWN, EXT_DOWN, EXT_DOWN, EXT_DOWN, EXT_DOWN, EXT_DOWN, EXT_DOWN, EXT_DOWN}, 0},
    {102, 0xE074, {EXT_RIGHT, EXT_RIGHT, EXT_RIGHT, EXT_RIGHT, EXT_RIGHT, EXT_RIGHT, EXT_RIGHT, EXT_RIGHT}, 0},
    {103, 0xE075, {EXT_UP, EXT_UP, EXT_UP, EXT_UP, EXT_UP, EXT_UP, EXT_UP, EXT_UP}, 0},
    {104, 0xE06C, {EXT_HOME, EXT_HOME, EXT_HOME, EXT_HOME, EXT_HOME, EXT_HOME, EXT_HOME, EXT_HOME}, 0},
    {105, 0x64, {EXT_KANJI, EXT_KANJI, EXT_KANJI, EXT_KANJI, EXT_KANJI, EXT_KANJI, EXT_KANJI, EXT_KANJI}, 0},
    {106, 0xE07C, {EXT_PRTSC, EXT_PRTSC, EXT_PRTSC, EXT_PRTSC, EXT_PRTSC, EXT_PRTSC, EXT_PRTSC, EXT_PRTSC}, 0},
    {106, 0xE069, {EXT_END, EXT_END, EXT_END, EXT_END, EXT_END, EXT_END, EXT_END, EXT_END}, 0},
    {110, 0x76, {27, 27, 27, 27, 27, 27, N, 27}, 0},
    {-1, -1, {N, N, N, N, N, N, N, N}, 255},
};
// clang-format on

namespace {

constexpr const keyinfo_t &terminator = keytables[keytable_rows - 1];
static_assert(sizeof keytables / sizeof keytables[0] == 75);
static_assert(terminator.keynum == -1 && terminator.scancode == -1 && terminator.lock == 255);
static_assert(terminator.cc[0] == -1 && terminator.cc[7] == -1);
static_assert(keytables[31].scancode == 0x1C && keytables[31].cc[0] == 'a' && keytables[31].cc[1] == 'A');
static_assert(keytables[3].cc[2] == 0 && keytables[61].cc[2] == 0 && keytables[61].cc[6] == CC_NONE);
static_assert(keytables[73].scancode == 0x76 && keytables[73].cc[6] == CC_NONE && keytables[73].cc[7] == 27);
static_assert(keytables[44].cc[5] == CC_SHIFT && keytables[58].cc[0] == CC_CTRL);
static_assert(keytables[62].scancode == 0xE011 && keytables[62].cc[3] == CC_ALT);
static_assert(keytables[30].cc[4] == CC_CAPS && keytables[70].cc[0] == EXT_KANJI);
static_assert(keytables[56].cc[3] == 31 && keytables[72].cc[0] == EXT_END && keytables[72].keynum == 106);

// Every code the decoder can form: a key byte, or E0 and a key byte.
constexpr int codes_per_group = 256;
constexpr int extended_group = 0xE000;

constexpr int walk(int code)
{
    int row = 0;
    while (keytables[row].keynum >= 0 && keytables[row].scancode != code)
        ++row;
    return keytables[row].scancode == code ? row : -1;
}

// Row that answers each code, found by the same walk from the top so that the
// first match wins and shadowed rows stay unreachable. Plain codes first,
// then those after E0.
struct row_index {
    signed char row[2 * codes_per_group];
};

constexpr row_index make_index()
{
    row_index index{};
    for (int b = 0; b < codes_per_group; ++b) {
        index.row[b] = static_cast<signed char>(walk(b));
        index.row[codes_per_group + b] = static_cast<signed char>(walk(extended_group | b));
    }
    return index;
}

constexpr row_index lookup = make_index();

static_assert(keytable_rows <= 127, "row numbers must fit the index");
static_assert(lookup.row[0x00] == 0 && lookup.row[0x5D] == 29 && lookup.row[0x76] == 73);
static_assert(lookup.row[codes_per_group + 0x6B] == 65 && lookup.row[0x6B] == -1);
static_assert(lookup.row[codes_per_group + 0x12] == -1 && lookup.row[0xAA] == -1);

constexpr int prefix_extended = 0xE0;
constexpr int prefix_release = 0xF0;

// One decoding pass over the carried bytes and n new ones. Output goes to
// buf, which is free once the input is copied.
int decode(ps2_decoder &d, int n, unsigned char *buf)
{
    const int m = d.append(buf, n, "ps2conv");

    int out = 0;
    int pos = 0;
    int unfinished = -1; // start of a sequence cut off by the end of the data
    while (pos < m) {
        const int start = pos;
        int release = 0;
        int code = 0;
        if (d.keybuf[pos] == prefix_extended) {
            if (pos + 1 == m) {
                unfinished = start;
                break;
            }
            ++pos;
            code = extended_group;
        }
        if (d.keybuf[pos] == prefix_release) {
            if (pos + 1 == m) {
                unfinished = start;
                break;
            }
            ++pos;
            release = 1;
        }
        const unsigned char keybyte = d.keybuf[pos];
        code |= keybyte;

        const int row = keytable_row(code);
        if (row < 0) {
            std::fprintf(stderr, "unknown keycode %02x\n", keybyte);
        } else {
            const int key = keytables[row].cc[d.shiftmode & 7];
            int bit = 0;
            if (key == CC_SHIFT)
                bit = 1;
            else if (key == CC_CTRL)
                bit = 2;
            else if (key == CC_ALT)
                bit = 4;
            if (bit)
                d.shiftmode = release ? (d.shiftmode & ~bit) : (d.shiftmode | bit);
            if (!release && key >= 0)
                buf[out++] = static_cast<unsigned char>(key);
        }
        ++pos;
    }

    d.carry(unfinished >= 0 ? unfinished : m, m);
    return out;
}

ps2_decoder relay_decoder;

} // namespace

int keytable_row(int code)
{
    const int group = (code & extended_group) ? codes_per_group : 0;
    return lookup.row[group + (code & 0xFF)];
}

int ps2_decoder::convert(int n, unsigned char *buf) { return decode(*this, n, buf); }

int ps2conv(int n, unsigned char *buf) { return relay_decoder.convert(n, buf); }

int ps2room() { return relay_decoder.room(); }
