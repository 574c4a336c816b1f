// Fuzz target for the IrKB101 frame decoder. The input chooses the stream and
// the chunks it arrives in; with bit 7 of its header set, the stream is
// instead the rest of the input framed as a keyboard frames its payload, and
// otherwise, with bits 3 to 6 set, the stream is repeated to about the size
// of the decoder's buffer (rarely, since such a long stream takes a hundred
// times longer to check).
//
// Every call is checked: at most 4096 payload bytes, one per pair held,
// written within the 4096 bytes the caller must provide; what is carried is
// nothing, or the complete pairs of an unfinished run and one lone byte, an
// odd count of at most 8191 that never starts with 0xFF, taken from the end
// of the stream. Every stream is checked: its payload is made of pairs of
// the stream, in order and without overlap; decoded again in small chunks,
// and in one call, it gives the same payload (see same_payload_expected for
// the one place where a chunk boundary may change it). A framed payload must
// come out whole, however it is cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#define KEYFERRY_FUZZ_QUIET_PRINTF
#include "fuzz_support.h"
#include "irkb101.h"

namespace {

using bytes = std::vector<unsigned char>;

constexpr int capacity = irkb101_decoder::bufsize;
constexpr int most_payload = capacity / 2;
constexpr unsigned char gap = 0xFF;

struct decoding {
    explicit decoding(std::size_t size) // room for a stream of size bytes
    {
        payload.reserve(size);
        kept.reserve(size);
    }

    bytes payload; // every call's payload, in order
    bytes kept;    // the new bytes the decoder kept, in order
};

// Payload of the complete pairs of the carried run: delivered only once the
// run is finished, or taken back if the lone byte ends the run.
bytes held_back(const irkb101_decoder &d)
{
    bytes held;
    for (int k = 0; k + 1 < d.p; k += 2)
        held.push_back(d.keybuf[k]);
    return held;
}

// One call with n new bytes from src (n may be 0 or -1), through a buffer of
// which only max(n, 4096) bytes are addressable: the room the decoder may use.
void call(irkb101_decoder &d, const unsigned char *src, int n, decoding &out)
{
    static call_buffer scratch;
    const int given = std::max(n, 0);
    unsigned char *buf = scratch.expose(static_cast<std::size_t>(std::max(given, most_payload)));
    std::copy(src, src + given, buf);
    const int held = d.p;
    const int kept = std::min(given, capacity - held);
    const bytes carried(d.keybuf, d.keybuf + (n <= 0 ? d.p : 0));

    const int r = d.convert(n, buf);

    FUZZ_CHECK(r >= 0 && r <= most_payload);
    FUZZ_CHECK(2 * r <= held + kept);
    FUZZ_CHECK(d.p == 0 || (d.p % 2 == 1 && d.p <= capacity - 1 && d.keybuf[0] != gap));
    for (int k = 0; k + 1 < d.p; k += 2)
        FUZZ_CHECK(d.keybuf[k + 1] == gap - d.keybuf[k]);
    if (n <= 0)
        FUZZ_CHECK(r == 0 && bytes(d.keybuf, d.keybuf + d.p) == carried);

    out.payload.insert(out.payload.end(), buf, buf + r);
    record_kept(d, src, kept, out.kept);
}

// A decoder as it starts. The three decoders live for the whole run and are
// reset for every input: fresh ones from the heap each time would cost more
// than the decoding under AddressSanitizer.
irkb101_decoder &fresh(irkb101_decoder &d)
{
    std::memset(d.keybuf, 0, sizeof d.keybuf);
    d.p = 0;
    return d;
}

irkb101_decoder decoders[3];

// Whether payload can be taken from stream as pairs b, 0xFF - b, in order
// and without overlap. Taking the earliest pair that fits each byte leaves
// the most stream for the rest, so the greedy match finds one if any exists.
bool made_of_pairs(const bytes &payload, const bytes &stream)
{
    std::size_t at = 0;
    for (unsigned char b : payload) {
        while (at + 1 < stream.size() && !(stream[at] == b && stream[at + 1] == gap - b))
            ++at;
        if (at + 1 >= stream.size())
            return false;
        at += 2;
    }
    return true;
}

// Whether two decodings of the same stream in different chunks must agree.
// A chunk that ends right after a complete pair delivers the run, and the
// next chunk starts where a run may start, where 0xFF is a gap; inside the
// run, FF 00 would have been the pair of the payload 0xFF. So a stream with
// FF 00 in it can decode differently in other chunks, as the framing rules
// have it. Without FF 00 the payload agrees, counting what is held back.
bool same_payload_expected(const bytes &stream)
{
    for (std::size_t k = 0; k + 1 < stream.size(); ++k) {
        if (stream[k] == gap && stream[k + 1] == 0x00)
            return false;
    }
    return true;
}

void check_same_payload(const bytes &stream, const decoding &x, const irkb101_decoder &dx, const decoding &y,
                        const irkb101_decoder &dy)
{
    FUZZ_CHECK(x.kept == stream && y.kept == stream);
    if (!same_payload_expected(stream))
        return;
    bytes px = x.payload;
    bytes py = y.payload;
    const bytes hx = held_back(dx);
    const bytes hy = held_back(dy);
    px.insert(px.end(), hx.begin(), hx.end());
    py.insert(py.end(), hy.begin(), hy.end());
    FUZZ_CHECK(px == py);
    // A trailing 0xFF is held as a possible first byte of a pair inside a
    // run, and skipped where a run may start; otherwise the lone byte
    // waiting for its partner is the same.
    if (!stream.empty() && stream.back() != gap) {
        FUZZ_CHECK((dx.p == 0) == (dy.p == 0));
        FUZZ_CHECK(dx.p == 0 || dx.keybuf[dx.p - 1] == dy.keybuf[dy.p - 1]);
    }
}

// Frames payload as the keyboard does: each byte b as b, 0xFF - b, in runs of
// pairs_per_run pairs (0: one run) with gap_length 0xFF bytes in front of
// each. A payload 0xFF at the start of a run would read as a gap, and so it
// does inside a run when a chunk boundary falls in front of it: no framing
// carries it through every cut, so it is left out. A lone gap byte in front
// of a run that starts with 0x00 would pair with it, so that gap gets a
// second byte.
bytes frame(const std::uint8_t *data, std::size_t size, std::size_t pairs_per_run, std::size_t gap_length,
            bytes &payload)
{
    bytes framed;
    std::size_t in_run = 0;
    for (std::size_t k = 0; k < size; ++k) {
        const unsigned char b = data[k];
        if (b == gap)
            continue;
        if (payload.empty() || (pairs_per_run != 0 && in_run == pairs_per_run)) {
            framed.insert(framed.end(), gap_length == 1 && b == 0x00 ? 2 : gap_length, gap);
            in_run = 0;
        }
        framed.push_back(b);
        framed.push_back(static_cast<unsigned char>(gap - b));
        payload.push_back(b);
        ++in_run;
    }
    return framed;
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
    const bool framed = (in.header & 0x80) != 0;
    bytes payload;
    bytes stream;
    if (framed)
        stream = frame(in.stream, in.size, (in.header >> 3) & 7u, 1 + ((in.header >> 6) & 1u), payload);
    else if ((in.header & 0x78) == 0x78)
        stream = fill_buffer(in.stream, in.size, static_cast<unsigned>(in.size));
    else
        stream.assign(in.stream, in.stream + in.size);

    irkb101_decoder *chosen = &fresh(decoders[0]);
    decoding a(stream.size());
    for_each_chunk(in.lengths, stream.size(),
                   [&](std::size_t at, int n) { call(*chosen, stream.data() + at, n, a); });
    call(*chosen, stream.data(), 0, a); // a call without new bytes changes nothing
    bytes all = a.payload;
    const bytes held = held_back(*chosen);
    all.insert(all.end(), held.begin(), held.end());
    FUZZ_CHECK(made_of_pairs(all, a.kept));
    if (framed && a.kept == stream) {
        FUZZ_CHECK(a.payload == payload);
        FUZZ_CHECK(chosen->p == 0);
    }

    // The bytes it kept, in small chunks that never overfill the buffer.
    irkb101_decoder *small = &fresh(decoders[1]);
    decoding b(stream.size());
    for_each_small_chunk(
        a.kept.size(), [&] { return capacity - small->p; },
        [&](std::size_t at, int n) { call(*small, a.kept.data() + at, n, b); });
    check_same_payload(a.kept, a, *chosen, b, *small);

    if (a.kept.size() <= static_cast<std::size_t>(capacity)) {
        irkb101_decoder *whole = &fresh(decoders[2]);
        decoding c(stream.size());
        call(*whole, a.kept.data(), static_cast<int>(a.kept.size()), c);
        check_same_payload(a.kept, a, *chosen, c, *whole);
    }
    return 0;
}
