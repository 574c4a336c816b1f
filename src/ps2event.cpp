#include "ps2event.h"

#include <cstdio>

namespace {

// Bytes that are not codes. A reset keyboard announces itself with AA; FA
// and FE acknowledge or refuse a command nobody sent here, FF reports an
// overrun. None of them touches a prefix or a pending break.
constexpr unsigned char self_test_passed = 0xAA;
constexpr unsigned char prefix_extended = 0xE0;
constexpr unsigned char prefix_pause = 0xE1;
constexpr unsigned char prefix_release = 0xF0;
constexpr unsigned char acknowledge = 0xFA;
constexpr unsigned char resend = 0xFE;
constexpr unsigned char overrun = 0xFF;

// The Hanja and Hangeul keys of Korean keyboards send a make code (F1, F2)
// and never a break: each press is released at once.
constexpr int hanja_index = 0x171;
constexpr int hangeul_index = 0x172;

constexpr int index_of(unsigned char b) { return (b & 0x7f) | (b & 0x80) << 1; }

static_assert(index_of(0x83) == 0x103 && index_of(0xF1) == hanja_index && index_of(0xF2) == hangeul_index);

ps2event_decoder relay_decoder;

} // namespace

void ps2event_decoder::convert(int n, const unsigned char *buf, key_sink &sink)
{
    for (int i = 0; i < n; ++i) {
        const unsigned char b = buf[i];
        switch (b) {
        case self_test_passed:
            release_all(sink);
            prefix = 0;
            release = false;
            continue;
        case prefix_extended:
            prefix = 1;
            continue;
        case prefix_pause:
            prefix = 2;
            continue;
        case prefix_release:
            release = true;
            continue;
        case acknowledge:
        case resend:
        case overrun:
            continue;
        default:
            break;
        }

        // The last byte of an E0 or E1 sequence is the one that counts; the
        // first after E1 only fills a place.
        int index = index_of(b);
        if (prefix == 1)
            index |= 0x80;
        if (prefix > 0 && --prefix > 0)
            continue;

        const int code = ps2event_keymap[index];
        if (code == 0) {
            std::fprintf(stderr, "unknown keycode %02x\n", b);
        } else if (code != ps2event_ignored) {
            if (release) {
                if (down[code]) {
                    down[code] = false;
                    sink.key(code, 0);
                }
            } else if (down[code]) {
                sink.key(code, 2);
            } else {
                down[code] = true;
                sink.key(code, 1);
                if (index == hanja_index || index == hangeul_index) {
                    down[code] = false;
                    sink.key(code, 0);
                }
            }
        }
        release = false;
    }
}

void ps2event_decoder::release_all(key_sink &sink)
{
    for (int code = 1; code <= ps2event_max_key; ++code) {
        if (down[code]) {
            down[code] = false;
            sink.key(code, 0);
        }
    }
}

void ps2eventconv(int n, const unsigned char *buf, key_sink &sink) { relay_decoder.convert(n, buf, sink); }

void ps2event_declare(unsigned char *declared)
{
    for (const std::uint16_t code : ps2event_keymap)
        if (code != 0 && code != ps2event_ignored)
            declared[code] = 1;
}
