// Key codes of the handheld's keyboard simulator device: the vocabulary of the
// two-byte key events that the relay writes. Codes run from 1 to 127 without
// gaps; no key has the code 0. The relay emits only some of them; the rest are
// keys of the handheld that an external keyboard never needs.
#pragma once

#include "extchars.h"

// The codes stay laid out in rows, as the device lists them.
// clang-format off

// Letters, in alphabetical order.
enum : int {
    KEY_A = 1, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
    KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
    KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z
};

// Modifiers, editing and navigation keys.
enum : int {
    KEY_SHIFT = 27, KEY_RET, KEY_MENU, KEY_ALT, KEY_BS, KEY_KIGOU,
    KEY_LCDOFF, KEY_CANCEL, KEY_LEFT, KEY_UP, KEY_DOWN, KEY_RIGHT,
    KEY_OK, KEY_HOME
};

// Digits.
enum : int {
    KEY_ONE = 41, KEY_TWO, KEY_THREE, KEY_FOUR, KEY_FIVE, KEY_SIX,
    KEY_SEVEN, KEY_EIGHT, KEY_NINE, KEY_ZERO
};

// Punctuation on the digit row.
enum : int {
    KEY_USCORE = 51, KEY_DOT, KEY_EQUAL, KEY_YEN, KEY_SEMI, KEY_COLON,
    KEY_FN_I
};

// Punctuation, function and reserved keys.
enum : int {
    KEY_MINUS = 58, KEY_ASTER, KEY_LOCK, KEY_UNDEF, KEY_BAR, KEY_COMMA,
    KEY_PERIOD, KEY_TAB, KEY_X_2, KEY_C_2, KEY_V_2, KEY_PLUS,
    KEY_LBRACKET, KEY_LARGE, KEY_CIRCUM, KEY_RBRACKET, KEY_SMALL,
    KEY_FN_U, KEY_DARK, KEY_BRITE, KEY_UNDEF6, KEY_UNDEF7, KEY_UNDEF8,
    KEY_UNDEF9, KEY_Z_2, KEY_UNDEFA, KEY_UNDEFB, KEY_AT, KEY_LESS,
    KEY_GRATER, KEY_F9, KEY_SLASH, KEY_MAIL, KEY_SPACE, KEY_SPACE_2,
    KEY_UNDEFC, KEY_UNDEFD, KEY_KANJI
};

// Music player keys.
enum : int {
    KEY_MUSIC = 96, KEY_MUSIC2, KEY_MUSIC3, KEY_MUSIC4, KEY_MUSIC5,
    KEY_MUSIC6, KEY_UNDEFE
};

// Second modifiers, cursor keys and the rest.
enum : int {
    KEY_SHIFT_2 = 103, KEY_CTRL, KEY_CTRL_HAT, KEY_MENUX, KEY_CTRL_YEN,
    KEY_LBRACE, KEY_OFF, KEY_MAIL2, KEY_RBRACE, KEY_KIGOU2, KEY_KRIGHT,
    KEY_KLEFT, KEY_PRTSC, KEY_CTRL_US, KEY_SYNC, KEY_YEN2, KEY_UNDEFI,
    KEY_LARGE2, KEY_KANAHIRA, KEY_KANJI2, KEY_OK2, KEY_CANCEL2, KEY_KUP,
    KEY_KDOWN, KEY_UNDEFK
};

// clang-format on

// Each group must end just before the next begins.
static_assert(KEY_Z == 26 && KEY_HOME == 40 && KEY_ZERO == 50);
static_assert(KEY_FN_I == 57 && KEY_KANJI == 95 && KEY_UNDEFE == 102);
static_assert(KEY_UNDEFK == 127 && EXT_END == 135);
// A few codes checked one by one against the device's table.
static_assert(KEY_CANCEL == 34 && KEY_PLUS == 69 && KEY_AT == 85);
static_assert(KEY_GRATER == 87 && KEY_SLASH == 89 && KEY_SPACE == 91);
static_assert(KEY_CTRL == 104 && KEY_LBRACE == 108 && KEY_RBRACE == 111);
static_assert(KEY_KRIGHT == 113 && KEY_PRTSC == 115 && KEY_KUP == 125);
