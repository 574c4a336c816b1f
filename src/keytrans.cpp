#include "keytrans.h"

#include "keychars.h"

namespace {

constexpr translation make_translation()
{
    translation t{};
    auto stroke = [&t](int ch, int key) { t[ch] = {static_cast<unsigned char>(key), 0, 0}; };
    auto with = [&t](int ch, int key, int mod) {
        t[ch] = {static_cast<unsigned char>(key), static_cast<unsigned char>(mod), 0};
    };

    with(0, KEY_SPACE, KEY_CTRL);
    // Control characters are Ctrl with the letter of the same number, tab
    // and line feed included; backspace and carriage return have own keys.
    for (int ch = 1; ch <= 26; ++ch)
        with(ch, KEY_A + ch - 1, KEY_CTRL);
    stroke(8, KEY_BS);
    stroke(13, KEY_RET);
    stroke(27, KEY_CANCEL);
    stroke(' ', KEY_SPACE);
    for (int ch = '!'; ch <= ')'; ++ch)
        with(ch, KEY_ONE + ch - '!', KEY_SHIFT);
    stroke('*', KEY_ASTER);
    stroke('+', KEY_PLUS);
    stroke(',', KEY_COMMA);
    stroke('-', KEY_MINUS);
    stroke('.', KEY_PERIOD);
    stroke('/', KEY_SLASH);
    stroke('0', KEY_ZERO);
    for (int ch = '1'; ch <= '9'; ++ch)
        stroke(ch, KEY_ONE + ch - '1');
    stroke(':', KEY_COLON);
    stroke(';', KEY_SEMI);
    stroke('<', KEY_LESS);
    stroke('=', KEY_EQUAL);
    stroke('>', KEY_GRATER);
    with('?', KEY_PERIOD, KEY_SHIFT);
    stroke('@', KEY_AT);
    for (int ch = 'A'; ch <= 'Z'; ++ch)
        with(ch, KEY_A + ch - 'A', KEY_SHIFT);
    stroke('[', KEY_LBRACKET);
    stroke('\\', KEY_YEN);
    stroke(']', KEY_RBRACKET);
    stroke('^', KEY_CIRCUM);
    stroke('_', KEY_USCORE);
    t['`'] = {KEY_MINUS, KEY_ALT, KEY_SHIFT};
    for (int ch = 'a'; ch <= 'z'; ++ch)
        stroke(ch, KEY_A + ch - 'a');
    stroke('{', KEY_LBRACE);
    stroke('|', KEY_BAR);
    stroke('}', KEY_RBRACE);
    with('~', KEY_ZERO, KEY_SHIFT);
    with(127, KEY_BS, KEY_ALT);
    // Extended characters from the PS/2 decoder: keys without a character.
    stroke(EXT_LEFT, KEY_KLEFT);
    stroke(EXT_RIGHT, KEY_KRIGHT);
    stroke(EXT_UP, KEY_KUP);
    stroke(EXT_DOWN, KEY_KDOWN);
    stroke(EXT_HOME, KEY_HOME);
    stroke(EXT_KANJI, KEY_KANJI);
    stroke(EXT_PRTSC, KEY_PRTSC);
    stroke(EXT_END, KEY_MENU);
    return t;
}

constexpr translation keystrokes = make_translation();

static_assert(keystrokes['a'].key == KEY_A && keystrokes['a'].outer == 0);
static_assert(keystrokes['\t'].key == KEY_I && keystrokes['\t'].outer == KEY_CTRL);
static_assert(keystrokes[28].key == 0 && keystrokes[136].key == 0 && keystrokes[255].key == 0);

} // namespace

int stroke_events(const keystroke &k, unsigned char *keybuf)
{
    if (k.key == 0)
        return 0;
    unsigned char *out = keybuf;
    const auto put = [&out](int key, int state) {
        out[0] = static_cast<unsigned char>(key);
        out[1] = static_cast<unsigned char>(state);
        out += 2;
    };
    if (k.outer)
        put(k.outer, 1);
    if (k.inner)
        put(k.inner, 1);
    put(k.key, 1);
    put(k.key, 0);
    if (k.inner)
        put(k.inner, 0);
    if (k.outer)
        put(k.outer, 0);
    return static_cast<int>(out - keybuf) / 2;
}

int char2key(int ch, unsigned char *keybuf)
{
    if (ch < 0 || ch > 255)
        return 0;
    return stroke_events(keystrokes[static_cast<unsigned>(ch)], keybuf);
}
