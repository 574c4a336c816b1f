// Extended characters: what the PS/2 decoder emits, in the same stream as
// ASCII, for keys that have no character, and what the key translations then
// type as keys of their own. Apart from the handheld's key codes, so that the
// translation for a Linux host can use the kernel's names beside them.
#pragma once

enum : int { EXT_LEFT = 128, EXT_RIGHT, EXT_UP, EXT_DOWN, EXT_HOME, EXT_KANJI, EXT_PRTSC, EXT_END };
static_assert(EXT_END == 135, "eight extended characters, 128 to 135");
