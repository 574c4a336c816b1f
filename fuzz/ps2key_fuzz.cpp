// Fuzz target for the PS/2 scan-code decoder (input: see fuzz_input; with the
// header's top five bits set the stream fills the buffer). Every call: at most
// one character per new byte kept, characters 0 to 135 only, at most E0 F0
// carried, only the three modifier bits set. Fed again in chunks of at most
// the room, the bytes kept give the same characters and final state.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#define KEYFERRY_FUZZ_DECODER
#include "fuzz_support.h"
#include "ps2key.h"

namespace {

void check_call(const ps2_decoder &d, const unsigned char *chars, int count, int /*held*/, int kept)
{
    const std::string_view carry(reinterpret_cast<const char *>(d.keybuf), static_cast<std::size_t>(d.p));
    FUZZ_CHECK(count <= kept && std::all_of(chars, chars + count, [](unsigned char c) { return c <= 135; }));
    FUZZ_CHECK(carry.empty() || carry == "\xE0" || carry == "\xF0" || carry == "\xE0\xF0");
    FUZZ_CHECK((d.shiftmode & ~7) == 0);
}

void check_same(const fuzz_run &x, const ps2_decoder &dx, const fuzz_run &y, const ps2_decoder &dy)
{
    FUZZ_CHECK(x.out == y.out && dx.p == dy.p && dx.shiftmode == dy.shiftmode &&
               std::equal(dx.keybuf, dx.keybuf + dx.p, dy.keybuf));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_run a;
    fuzz_passes<ps2_decoder>(fuzz_input(data, size, 0xF8), 0, check_call, check_same, a);
    return 0;
}
