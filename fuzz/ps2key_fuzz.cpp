// Fuzz target for the PS/2 scan-code decoder. The input chooses the stream
// and the chunks it arrives in; with the top five bits of its header set,
// the stream is repeated to about the size of the decoder's buffer (rarely:
// such a stream takes a hundred times longer to check).
//
// Every call is checked: at most one character per new byte kept, characters
// 0 to 135 only, the caller's bytes behind the characters untouched, at most
// E0 F0 carried over, taken from the end of the stream, only the three
// modifier bits set. Every stream is then decoded again in small chunks and
// in large ones: the characters and the final state must not change. (That
// the indexed lookup answers as the table walk does is proved at compile
// time, for every code.)
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#define KEYFERRY_FUZZ_QUIET_PRINTF
#include "fuzz_support.h"
#include "ps2key.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr int capacity = ps2_decoder::bufsize;
constexpr int prefix_extended = 0xE0;
constexpr int prefix_release = 0xF0;
constexpr unsigned char highest_character = 135;

// What a decoder made of a stream fed in some chunks.
struct decoding {
    explicit decoding(std::size_t size) // room for a stream of size bytes
    {
        chars.reserve(size);
        kept.reserve(size);
    }

    bytes chars; // every call's characters, in order
    bytes kept;  // the new bytes the decoder kept, in order: the stream it saw
};

bool carry_is_a_prefix(const ps2_decoder &d)
{
    switch (d.p) {
    case 0:
        return true;
    case 1:
        return d.keybuf[0] == prefix_extended || d.keybuf[0] == prefix_release;
    case 2:
        return d.keybuf[0] == prefix_extended && d.keybuf[1] == prefix_release;
    default:
        return false;
    }
}

// One call with n new bytes from src (n may be 0 or -1), through a buffer of
// which only the bytes given are addressable.
void call(ps2_decoder &d, const unsigned char *src, int n, decoding &out)
{
    static call_buffer scratch;
    const int given = std::max(n, 0);
    unsigned char *buf = scratch.expose(static_cast<std::size_t>(given));
    std::copy(src, src + given, buf);
    const int room = capacity - d.p;
    const int kept = std::min(given, room);
    const bytes carried(d.keybuf, d.keybuf + (n <= 0 ? d.p : 0));
    const int shiftmode = d.shiftmode;

    const int r = d.convert(n, buf);

    // Every character takes a key byte from the new input that was kept;
    // carried bytes are only prefixes.
    FUZZ_CHECK(r >= 0 && r <= kept);
    for (int k = 0; k < r; ++k)
        FUZZ_CHECK(buf[k] <= highest_character);
    FUZZ_CHECK(std::equal(buf + r, buf + given, src + r));
    FUZZ_CHECK(carry_is_a_prefix(d));
    FUZZ_CHECK((d.shiftmode & ~7) == 0);
    if (n <= 0)
        FUZZ_CHECK(r == 0 && bytes(d.keybuf, d.keybuf + d.p) == carried && d.shiftmode == shiftmode);

    out.chars.insert(out.chars.end(), buf, buf + r);
    record_kept(d, src, kept, out.kept);
}

// A decoder as it starts. The three decoders live for the whole run and are
// reset for every input: fresh ones from the heap each time would cost more
// than the decoding under AddressSanitizer.
ps2_decoder &fresh(ps2_decoder &d)
{
    std::memset(d.keybuf, 0, sizeof d.keybuf);
    d.p = 0;
    d.shiftmode = 0;
    return d;
}

ps2_decoder decoders[3];

bool same_state(const ps2_decoder &a, const ps2_decoder &b)
{
    return a.p == b.p && a.shiftmode == b.shiftmode && std::equal(a.keybuf, a.keybuf + a.p, b.keybuf);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silence_module_messages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const chunked_input in = split_input(data, size);
    const bool fill = (in.header & 0xF8) == 0xF8;
    const bytes stream = fill ? fill_buffer(in.stream, in.size, static_cast<unsigned>(in.size))
                              : bytes(in.stream, in.stream + in.size);

    // The chunks the input chose, with chunks too large for the buffer.
    ps2_decoder *chosen = &fresh(decoders[0]);
    decoding a(stream.size());
    for_each_chunk(in.lengths, stream.size(),
                   [&](std::size_t at, int n) { call(*chosen, stream.data() + at, n, a); });
    call(*chosen, stream.data(), 0, a); // a call without new bytes changes nothing

    // The bytes it kept, in small chunks that end at every place in a
    // sequence.
    ps2_decoder *small = &fresh(decoders[1]);
    decoding b(stream.size());
    for_each_small_chunk(
        a.kept.size(), [&] { return capacity - small->p; },
        [&](std::size_t at, int n) { call(*small, a.kept.data() + at, n, b); });
    FUZZ_CHECK(b.kept == a.kept);
    FUZZ_CHECK(b.chars == a.chars);
    FUZZ_CHECK(same_state(*small, *chosen));

    // The same bytes in chunks that fill the buffer behind the longest carry
    // exactly.
    ps2_decoder *large = &fresh(decoders[2]);
    decoding c(stream.size());
    constexpr std::size_t largest = capacity - 2;
    for (std::size_t at = 0; at < a.kept.size(); at += largest) {
        const int n = static_cast<int>(std::min(largest, a.kept.size() - at));
        call(*large, a.kept.data() + at, n, c);
    }
    FUZZ_CHECK(c.kept == a.kept);
    FUZZ_CHECK(c.chars == a.chars);
    FUZZ_CHECK(same_state(*large, *chosen));
    return 0;
}
