#include "uskeys.h"

#include <linux/input-event-codes.h>

#include "extchars.h"
#include "keytrans.h"

namespace {

constexpr translation make_translation()
{
    translation t{};
    auto stroke = [&t](int ch, int key) { t[ch] = {static_cast<unsigned char>(key), 0, 0}; };
    auto shifted = [&t](int ch, int key) {
        t[ch] = {static_cast<unsigned char>(key), static_cast<unsigned char>(KEY_LEFTSHIFT), 0};
    };
    auto ctrl = [&t](int ch, int key) {
        t[ch] = {static_cast<unsigned char>(key), static_cast<unsigned char>(KEY_LEFTCTRL), 0};
    };

    // The letters in alphabetical order: as characters they are consecutive,
    // as keys they follow the rows of the keyboard.
    constexpr unsigned char letters[26] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                           KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                           KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
    for (int i = 0; i < 26; ++i) {
        stroke('a' + i, letters[i]);
        shifted('A' + i, letters[i]);
        ctrl(1 + i, letters[i]); // control characters 1 to 26
    }
    // The digit row: 1 to 9 then 0, and what Shift makes of each key.
    constexpr char digit_row[] = "1234567890";
    constexpr char shifted_digit_row[] = "!@#$%^&*()";
    for (int i = 0; i < 10; ++i) {
        stroke(digit_row[i], KEY_1 + i);
        shifted(shifted_digit_row[i], KEY_1 + i);
    }
    // Punctuation keys, plain and with Shift.
    constexpr struct {
        char plain, shift;
        unsigned char key;
    } punctuation[] = {
        {'-', '_', KEY_MINUS},       {'=', '+', KEY_EQUAL},      {'[', '{', KEY_LEFTBRACE},
        {']', '}', KEY_RIGHTBRACE},  {'\\', '|', KEY_BACKSLASH}, {';', ':', KEY_SEMICOLON},
        {'\'', '"', KEY_APOSTROPHE}, {'`', '~', KEY_GRAVE},      {',', '<', KEY_COMMA},
        {'.', '>', KEY_DOT},         {'/', '?', KEY_SLASH},
    };
    for (const auto &p : punctuation) {
        stroke(p.plain, p.key);
        shifted(p.shift, p.key);
    }
    stroke(' ', KEY_SPACE);
    // Control characters with keys of their own; the rest stay Ctrl with a
    // letter (Ctrl+H for 8, Ctrl+J for 10), and those past 26 are Ctrl with
    // the key the console assigns them.
    stroke('\t', KEY_TAB);
    stroke('\r', KEY_ENTER);
    stroke(27, KEY_ESC);
    stroke(127, KEY_BACKSPACE);
    ctrl(0, KEY_2);
    ctrl(28, KEY_BACKSLASH);
    ctrl(29, KEY_RIGHTBRACE);
    ctrl(30, KEY_6);
    ctrl(31, KEY_MINUS);
    // Extended characters: keys without a character.
    stroke(EXT_LEFT, KEY_LEFT);
    stroke(EXT_RIGHT, KEY_RIGHT);
    stroke(EXT_UP, KEY_UP);
    stroke(EXT_DOWN, KEY_DOWN);
    stroke(EXT_HOME, KEY_HOME);
    stroke(EXT_KANJI, KEY_HENKAN);
    stroke(EXT_PRTSC, KEY_SYSRQ);
    stroke(EXT_END, KEY_END);
    return t;
}

constexpr translation keystrokes = make_translation();

static_assert(KEY_MAX < 1024 && KEY_END < 256 && KEY_HENKAN < 256, "every key typed fits a byte");
static_assert(keystrokes['q'].key == KEY_Q && keystrokes['Q'].outer == KEY_LEFTSHIFT);
static_assert(keystrokes[8].key == KEY_H && keystrokes[8].outer == KEY_LEFTCTRL);
static_assert(keystrokes[10].key == KEY_J && keystrokes['\t'].outer == 0);
static_assert(keystrokes['0'].key == KEY_0 && keystrokes[')'].key == KEY_0);
static_assert(keystrokes[136].key == 0 && keystrokes[255].key == 0);

} // namespace

int char2uskey(int ch, unsigned char *keybuf)
{
    if (ch < 0 || ch > 255)
        return 0;
    return stroke_events(keystrokes[static_cast<unsigned>(ch)], keybuf);
}
