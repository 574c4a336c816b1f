// Fuzz target for the IrKB101 frame decoder (input: see fuzz_input; header
// bits 3 to 6 set: the stream fills the buffer; else bit 7: it is a payload,
// framed by the stand-in keyboard's framer in runs of bits 3 to 5 pairs behind
// gaps of 1 or 2 bytes (bit 6), and comes out whole). Every call: at most 4096
// payload bytes, one per pair held; carried is nothing, or the pairs of an
// unfinished run and a lone byte, never starting with 0xFF. The payload is
// made of pairs of the stream, in order; fed again in chunks of at most the
// room, the bytes kept give the same payload where the framing says so.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#define KEYFERRY_FUZZ_DECODER
#include "fuzz_support.h"
#include "irkb101.h"
#include "irkb101_link.h"

namespace {

constexpr unsigned char gap = 0xFF;

// The payload delivered so far and that of the pairs of the carried run.
fuzz_bytes with_held_back(const fuzz_run &x, const irkb101_decoder &d)
{
    fuzz_bytes all = x.out;
    for (int k = 0; k + 1 < d.p; k += 2)
        all.push_back(d.keybuf[k]);
    return all;
}

void check_call(const irkb101_decoder &d, const unsigned char * /*payload*/, int count, int held, int kept)
{
    FUZZ_CHECK(count <= 4096 && 2 * count <= held + kept);
    FUZZ_CHECK(d.p == 0 || (d.p % 2 == 1 && d.keybuf[0] != gap));
    for (int k = 0; k + 1 < d.p; k += 2)
        FUZZ_CHECK(d.keybuf[k + 1] == gap - d.keybuf[k]);
}

// A chunk that ends right after a complete pair delivers the run, and the
// next starts where a run may start, where 0xFF is a gap; inside the run,
// FF 00 would have been the pair of the payload 0xFF. So only a stream
// without FF 00 decodes alike in any chunks. A trailing 0xFF may be held or
// skipped; any other last byte is carried alike.
void check_same(const fuzz_run &x, const irkb101_decoder &dx, const fuzz_run &y, const irkb101_decoder &dy)
{
    const fuzz_bytes &s = x.kept;
    const unsigned char ff00[] = {gap, 0x00};
    if (std::search(s.begin(), s.end(), ff00, ff00 + 2) != s.end())
        return;
    FUZZ_CHECK(with_held_back(x, dx) == with_held_back(y, dy));
    if (!s.empty() && s.back() != gap)
        FUZZ_CHECK((dx.p == 0) == (dy.p == 0) && (dx.p == 0 || dx.keybuf[dx.p - 1] == dy.keybuf[dy.p - 1]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz_input in(data, size, 0x78);
    fuzz_bytes payload = in.stream;
    const bool framed = (in.header & 0x80) != 0 && (in.header & 0x78) != 0x78;
    if (framed) {
        // Without 0xFF: in front of a chunk boundary it reads as a gap, so no
        // framing carries it through every cut.
        std::erase(payload, gap);
        in.stream.clear();
        sim::irkb101_frame(payload, in.stream, {(in.header >> 3) & 7u, 1 + ((in.header >> 6) & 1u), 1});
    }
    fuzz_run a;
    const irkb101_decoder &d = fuzz_passes<irkb101_decoder>(in, 4096, check_call, check_same, a);
    if (framed && a.kept == in.stream)
        FUZZ_CHECK(a.out == payload && d.p == 0);
    // Each payload byte b matches a pair b, 0xFF - b after the last one's: the
    // earliest that fits leaves the most stream for the rest.
    auto at = a.kept.begin();
    for (unsigned char b : with_held_back(a, d)) {
        const unsigned char pair[] = {b, static_cast<unsigned char>(gap - b)};
        at = std::search(at, a.kept.end(), pair, pair + 2);
        FUZZ_CHECK(at != a.kept.end());
        at += 2;
    }
    return 0;
}
