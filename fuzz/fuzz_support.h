// Shared by the fuzz targets: the invariant check, which traps so that libFuzzer
// keeps the input; for decoder targets (KEYFERRY_FUZZ_DECODER) input and passes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <new>
#include <sanitizer/asan_interface.h>
#include <vector>

// The stream that libFuzzer and the failed checks report on.
inline std::FILE *fuzz_report = stderr;

[[noreturn]] inline void fuzz_fail(const char *what, const char *file, int line)
{
    std::fprintf(fuzz_report, "%s:%d: invariant broken: %s\n", file, line, what);
    std::fflush(fuzz_report);
    __builtin_trap();
}

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_fail(#cond, __FILE__, __LINE__))

#ifdef KEYFERRY_FUZZ_DECODER
using fuzz_bytes = std::vector<unsigned char>;

// Printing the decoders' messages (a line per unknown code) would take most
// of the time: their stderr becomes /dev/null opened wide oriented, where
// glibc refuses narrow output at once (libFuzzer has its own copy of the
// stream, the sanitizers use descriptor 2), and ASan's printf check is off.
// NOLINTBEGIN(misc-definitions-in-headers,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    stderr = std::fopen("/dev/null", "w");
    return stderr != nullptr && std::fwide(stderr, 1) > 0 ? 0 : -1;
}
extern "C" const char *__asan_default_options() { return "check_printf=0"; }
// NOLINTEND(misc-definitions-in-headers,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// A decoder target's input: a header byte, 1 to 8 control bytes (its low
// three bits, plus one) that give the counts of the calls in turn, then the
// stream. A control byte 0 to 223 is that many new bytes, 0xE0 to 0xFE 300 to
// 9300 (past the room: dropped by design), 0xFF the count -1. A header with
// all fill_bits set repeats the stream to 8092 to 8392 bytes, filling the
// buffer, which inputs of libFuzzer's usual 4096 bytes at most cannot.
struct fuzz_input {
    std::uint8_t header;
    std::vector<int> counts;
    fuzz_bytes stream;

    fuzz_input(const std::uint8_t *data, std::size_t size, unsigned fill_bits) : header(size ? data[0] : 0)
    {
        std::size_t at = size ? 1 : 0;
        for (; at < size && counts.size() <= (header & 7u); ++at)
            counts.push_back(data[at] == 0xFF ? -1 : data[at] >= 0xE0 ? (data[at] - 0xDF) * 300 : data[at]);
        stream.assign(data + at, data + size);
        const std::size_t period = stream.size(), length = 8092 + 100 * (period % 4);
        for (std::size_t k = 0; (header & fill_bits) == fill_bits && period && stream.size() < length; ++k)
            stream.push_back(stream[k]);
    }
};

struct fuzz_run {
    fuzz_bytes out;  // every call's output, in order
    fuzz_bytes kept; // the new bytes the decoder took, in order
    explicit fuzz_run(std::size_t size = 0) { out.reserve(size), kept.reserve(size); }
};

// Feeds stream to d, reset, in calls of the counts next(d) gives (cut to what
// is left), through a buffer with max(count, spare) bytes addressable to ASan.
// check(d, output, count, held, kept) judges each call; the carry must end
// the bytes kept so far, and a call without new bytes must change nothing.
template <typename Decoder, typename Next, typename Check>
fuzz_run feed(Decoder &d, const fuzz_bytes &stream, std::size_t spare, Next next, Check check)
{
    alignas(8) static unsigned char buffer[16384];
    static std::size_t exposed = sizeof buffer;
    ::new (static_cast<void *>(&d)) Decoder; // as it starts (nothing carried), keeping the bytes
    fuzz_run run(stream.size());
    for (std::size_t at = 0, idle = 0; at < stream.size() && idle < 8;) {
        const int n = std::min(next(d), static_cast<int>(stream.size() - at));
        const auto given = static_cast<std::size_t>(std::max(n, 0));
        const auto from = stream.begin() + static_cast<std::ptrdiff_t>(at);
        ASAN_POISON_MEMORY_REGION(buffer, exposed);
        exposed = std::max(given, spare);
        ASAN_UNPOISON_MEMORY_REGION(buffer, exposed);
        std::copy_n(from, given, buffer);
        const int held = d.p, kept = std::clamp(n, 0, d.room());
        const fuzz_bytes carried(d.keybuf, d.keybuf + (n > 0 ? 0 : held));
        const int r = d.convert(n, buffer);
        FUZZ_CHECK(r >= 0);
        check(d, buffer, r, held, kept);
        if (n <= 0)
            FUZZ_CHECK(r == 0 && fuzz_bytes(d.keybuf, d.keybuf + d.p) == carried);
        run.out.insert(run.out.end(), buffer, buffer + r);
        run.kept.insert(run.kept.end(), from, from + kept);
        FUZZ_CHECK(d.p >= 0 && static_cast<std::size_t>(d.p) <= run.kept.size() &&
                   std::equal(d.keybuf, d.keybuf + d.p, run.kept.end() - d.p));
        at += given;
        idle = given > 0 ? 0 : idle + 1;
    }
    return run;
}

// A decoder target's passes: a in the counts the input chose, then what a
// kept in chunks of at most the room, as the relay reads, where nothing may
// be dropped: b in small ones ending at every place in a sequence, c in ones
// of the whole room (the unsplit stream, if it fits). same(x, dx, y, dy)
// compares a with b and with c. Returns a's decoder, as a left it.
template <typename Decoder, typename Check, typename Same>
const Decoder &fuzz_passes(const fuzz_input &in, std::size_t spare, Check check, Same same, fuzz_run &a)
{
    static Decoder d[3]; // new ones for every input would cost more than the decoding under ASan
    std::size_t k = 0, small = 15;
    auto chosen = [&](const Decoder &) { return in.counts[k++ % in.counts.size()]; };
    auto smaller = [&](const Decoder &x) { return std::min(static_cast<int>(++small % 16 + 1), x.room()); };
    auto whole_room = [](const Decoder &x) { return x.room(); };
    a = feed(d[0], in.stream, spare, chosen, check);
    const fuzz_run b = feed(d[1], a.kept, spare, smaller, check);
    const fuzz_run c = feed(d[2], a.kept, spare, whole_room, check);
    FUZZ_CHECK(b.kept == a.kept && c.kept == a.kept);
    same(a, d[0], b, d[1]);
    same(a, d[0], c, d[2]);
    return d[0];
}
#endif
