// Key translation for a Linux host: how each character (0 to 255) is typed
// with the kernel's default US keymap, as Linux key codes (all below 256),
// so that the host's console gives back the same byte. Owns the translation
// table; keeps no state.
#pragma once

// Writes the events that type ch (0 to 255) into keybuf, two bytes each
// (Linux key code, then 1 press or 0 release), and returns how many it
// wrote: 0, 2 or 4. Bytes 136 to 255 type nothing.
int char2uskey(int ch, unsigned char *keybuf);
