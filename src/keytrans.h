// Key translation: how each character (0 to 255) is typed on the handheld's
// keyboard simulator device, as key presses and releases with the Shift, Ctrl
// or Alt it needs. Owns the translation table; keeps no state.
#pragma once

#include <array>

// Largest number of events one character yields, and the event buffer size.
constexpr int max_events_per_char = 6;
constexpr int event_buffer_size = 8192;

// How one character is typed: an optional outer and inner modifier held
// around a stroke of key. key 0 means the character types nothing.
struct keystroke {
    unsigned char key = 0;
    unsigned char outer = 0; // pressed first, released last
    unsigned char inner = 0; // pressed second, released first
};

// A translation: the stroke of every character 0 to 255.
using translation = std::array<keystroke, 256>;

// Writes the events of one stroke into keybuf, two bytes each (key code, then
// 1 press or 0 release): the modifiers pressed outer first, the key pressed
// and released, the modifiers released inner first. Returns the count.
int stroke_events(const keystroke &k, unsigned char *keybuf);

// Writes the events that type ch (0 to 255) into keybuf, two bytes each (key
// code, then 1 press or 0 release), and returns how many events it wrote: 0,
// 2, 4 or 6. Every modifier pressed is released within the same character, in
// reverse order.
int char2key(int ch, unsigned char *keybuf);
