// PS/2 scan code set 2 to Linux key events, for a host whose own keymap then
// makes the characters: each make and break code becomes the press or the
// release of the key that the kernel's AT keyboard driver gives that code,
// event for event as that driver reports the same bytes. Owns the key map,
// read once from the kernel, and the state of one keyboard: the prefix being
// read and the keys held.
#pragma once

#include <cstdint>

// The key map: for each of the driver's 512 code indices, the Linux key code,
// 0 for a code that names no key, or ps2event_ignored for one the driver
// drops silently (the fake shifts around Print Screen). A byte b alone has
// index (b & 0x7f) | (b & 0x80) << 1; after E0, or the second byte after E1,
// its index has 0x80 set as well.
constexpr int ps2event_indices = 512;
constexpr std::uint16_t ps2event_ignored = 255;
extern const std::uint16_t ps2event_keymap[ps2event_indices];

// Highest Linux key code (KEY_MAX of the input layer).
constexpr int ps2event_max_key = 0x2ff;

// Where the decoded key events go: value 1 press, 0 release, 2 repeat.
class key_sink {
public:
    virtual ~key_sink() = default;
    virtual void key(int code, int value) = 0;
};

// One keyboard's decoder. ps2eventconv serves a process-wide instance;
// tests and tools make their own so each starts fresh.
struct ps2event_decoder {
    int prefix = 0;       // bytes of an E0 (1) or E1 (2) sequence still to come
    bool release = false; // an F0 came: the next code is a break
    bool down[ps2event_max_key + 1] = {};

    // Decodes n bytes of buf into key events. A code cut off by the end of
    // buf is finished by the next call's bytes.
    void convert(int n, const unsigned char *buf, key_sink &sink);

    // Releases every key held, as a keyboard that resets does.
    void release_all(key_sink &sink);
};

// Decodes n bytes of buf into key events on the process-wide decoder.
void ps2eventconv(int n, const unsigned char *buf, key_sink &sink);

// Writes 1 into declared[code] for every key the map can send; declared
// holds ps2event_max_key + 1 entries.
void ps2event_declare(unsigned char *declared);
