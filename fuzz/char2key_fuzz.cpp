// Fuzz target for the key translation. Each input byte is translated as the
// character it is (0 to 255) and as a plain char widened to int (-128 to
// 127), every four bytes also as an int of any value, and the input's length
// too. Checked: 0, 2, 4 or
// 6 events, written only into their own bytes of a buffer that holds the
// most one character needs; presses first, then the releases of the same
// keys in reverse order, so nothing stays down; key codes 1 to 127, no key
// pressed twice, only Shift, Ctrl and Alt held around the one key struck;
// nothing for a value outside 0 to 255; the same events on every call.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "keychars.h"
#include "keyferry.h"

namespace {

constexpr int event_bytes = 2 * max_events_per_char;
constexpr unsigned char untouched = 0xA5;

bool is_modifier(int code) { return code == KEY_SHIFT || code == KEY_CTRL || code == KEY_ALT; }

void check(int ch)
{
    // Exactly the bytes of six events, on the heap: AddressSanitizer reports
    // a seventh.
    auto events = std::make_unique<unsigned char[]>(event_bytes);
    std::fill(events.get(), events.get() + event_bytes, untouched);
    const int n = char2key(ch, events.get());

    FUZZ_CHECK(n == 0 || n == 2 || n == 4 || n == 6);
    if (ch < 0 || ch > 255)
        FUZZ_CHECK(n == 0);
    for (int k = 2 * n; k < event_bytes; ++k)
        FUZZ_CHECK(events[k] == untouched);

    const int presses = n / 2;
    for (int k = 0; k < n; ++k) {
        const int code = events[2 * k];
        const int state = events[2 * k + 1];
        FUZZ_CHECK(code >= 1 && code <= 127);
        FUZZ_CHECK(state == (k < presses ? 1 : 0));
        if (k >= presses)
            FUZZ_CHECK(code == events[2 * (n - 1 - k)]);
    }
    for (int k = 0; k < presses; ++k) {
        for (int j = k + 1; j < presses; ++j)
            FUZZ_CHECK(events[2 * k] != events[2 * j]);
        // The last key pressed is the one struck; those before it are held.
        FUZZ_CHECK(is_modifier(events[2 * k]) == (k + 1 < presses));
    }

    unsigned char again[event_bytes];
    std::memset(again, untouched, sizeof again);
    FUZZ_CHECK(char2key(ch, again) == n);
    FUZZ_CHECK(std::memcmp(again, events.get(), event_bytes) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    check(static_cast<int>(size));
    for (std::size_t k = 0; k < size; ++k) {
        check(data[k]);
        check(static_cast<signed char>(data[k]));
    }
    for (std::size_t k = 0; k + 4 <= size; k += 4) {
        std::int32_t value;
        std::memcpy(&value, data + k, sizeof value);
        check(value);
    }
    return 0;
}
