// Shared by the fuzz targets: the invariant check, which traps so that
// libFuzzer keeps the input, the silencing of the modules' messages, and for
// the decoder targets the caller's buffer and the chunks a stream is fed in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <sanitizer/asan_interface.h>
#include <vector>

// The stream that libFuzzer and the failed checks report on. The modules'
// messages go elsewhere (see silence_module_messages).
inline std::FILE *fuzz_report = stderr;

[[noreturn]] inline void fuzz_fail(const char *what, const char *file, int line)
{
    std::fprintf(fuzz_report, "%s:%d: invariant broken: %s\n", file, line, what);
    std::fflush(fuzz_report);
    __builtin_trap();
}

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : fuzz_fail(#cond, __FILE__, __LINE__))

// The decoders print a line for every unknown key code and every overflow,
// thousands for a long stream of noise; written out, or even formatted, they
// would take most of the fuzzing time. glibc's stderr is an assignable
// variable, so for the modules it is pointed at /dev/null, opened wide
// oriented so that glibc refuses every narrow fprintf on it at once.
// libFuzzer took its own copy of the original stream when it started, and
// the sanitizers write to descriptor 2, so their reports still appear.
inline void silence_module_messages()
{
    fuzz_report = stderr;
    if (std::FILE *null = std::fopen("/dev/null", "w")) {
        std::fwide(null, 1);
        stderr = null;
    }
}

// AddressSanitizer checks the arguments of every fprintf against the format,
// which costs more than the decoding itself; the decoders' formats are fixed
// and checked by the compiler. A target that prints defines
// KEYFERRY_FUZZ_QUIET_PRINTF before including this header.
#ifdef KEYFERRY_FUZZ_QUIET_PRINTF
// Each target is one source file, so this definition exists once per program.
// NOLINTNEXTLINE(misc-definitions-in-headers,bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" const char *__asan_default_options() { return "check_printf=0"; }
#endif

// Appends the kept bytes of one call to the stream a decoder has seen, and
// checks that what the decoder now carries is the unfinished end of it.
template <typename Decoder>
void record_kept(const Decoder &d, const unsigned char *src, int kept, std::vector<unsigned char> &seen)
{
    seen.insert(seen.end(), src, src + kept);
    FUZZ_CHECK(static_cast<std::size_t>(d.p) <= seen.size() &&
               std::equal(d.keybuf, d.keybuf + d.p, seen.end() - d.p));
}

// The caller's buffer for decoder calls. Only the bytes a call may use are
// addressable, so AddressSanitizer reports an access past them as it would
// past an exact heap block, without the cost of a heap block per call.
class call_buffer {
public:
    static constexpr std::size_t capacity = 16384;

    unsigned char *expose(std::size_t size)
    {
        if (size > capacity)
            fuzz_fail("call_buffer too small", __FILE__, __LINE__);
        ASAN_POISON_MEMORY_REGION(bytes_, exposed_);
        ASAN_UNPOISON_MEMORY_REGION(bytes_, size);
        exposed_ = size;
        return bytes_;
    }

private:
    alignas(64) unsigned char bytes_[capacity] = {};
    std::size_t exposed_ = capacity;
};

// Length of one decoder call chosen by a control byte: 0 to 223 new bytes
// as they are, 0xE0 to 0xFE a large chunk of 300 to 9300 bytes (past 8192,
// more than any decoder buffer holds), 0xFF a call with the count -1.
inline int chunk_length(std::uint8_t control)
{
    if (control == 0xFF)
        return -1;
    if (control >= 0xE0)
        return (control - 0xDF) * 300;
    return control;
}

// A decoder target's input: a header byte, 1 to 8 control bytes that choose
// the chunk lengths (used in turn, over and over), then the stream. The
// header's low three bits give the number of control bytes less one; its
// other bits are the target's to use.
struct chunked_input {
    std::uint8_t header = 0;
    std::vector<int> lengths;
    const std::uint8_t *stream = nullptr;
    std::size_t size = 0;
};

inline chunked_input split_input(const std::uint8_t *data, std::size_t size)
{
    chunked_input in;
    if (size == 0) {
        in.lengths.push_back(1);
        return in;
    }
    in.header = data[0];
    std::size_t k = (in.header & 7u) + 1;
    std::size_t at = 1;
    for (; k > 0 && at < size; --k, ++at)
        in.lengths.push_back(chunk_length(data[at]));
    if (in.lengths.empty())
        in.lengths.push_back(1);
    in.stream = data + at;
    in.size = size - at;
    return in;
}

// The stream repeated until it fills a decoder's 8192-byte buffer to within
// 100 bytes, exactly, or beyond, as the low two bits of choice say (8092,
// 8192, 8292 or 8392 bytes), so that large chunks fill the buffer and drop
// input. libFuzzer keeps inputs to 4096 bytes unless told otherwise, so this
// is how they get there.
inline std::vector<std::uint8_t> fill_buffer(const std::uint8_t *stream, std::size_t size, unsigned choice)
{
    std::vector<std::uint8_t> out;
    if (size == 0)
        return out;
    const std::size_t length = 8192 - 100 + 100 * (choice & 3u);
    out.reserve(length);
    while (out.size() < length)
        out.insert(out.end(), stream, stream + std::min(size, length - out.size()));
    return out;
}

// Feeds size bytes in chunks of 1, 2, ... 16 bytes, over and over, each cut
// to the room a decoder has left (room(): at least 1), so that nothing is
// dropped however much the decoder carries. Chunk ends fall on every
// position of a pair and of a prefix sequence.
template <typename Room, typename Call>
void for_each_small_chunk(std::size_t size, Room room, Call call)
{
    std::size_t want = 0;
    for (std::size_t at = 0; at < size;) {
        want = want % 16 + 1;
        const std::size_t n = std::min({want, size - at, static_cast<std::size_t>(room())});
        call(at, static_cast<int>(n));
        at += n;
    }
}

// Cuts size bytes into the lengths of in, in turn; calls with a count of 0
// or below come where their control byte stands. When a whole round of the
// lengths takes no byte, the rest goes in one chunk so that the loop ends.
template <typename Call>
void for_each_chunk(const std::vector<int> &lengths, std::size_t size, Call call)
{
    std::size_t at = 0;
    std::size_t k = 0;
    std::size_t idle = 0;
    while (at < size) {
        int n = lengths[k++ % lengths.size()];
        if (n <= 0) {
            call(at, n);
            if (++idle < lengths.size())
                continue;
            n = static_cast<int>(size - at);
        }
        idle = 0;
        if (static_cast<std::size_t>(n) > size - at)
            n = static_cast<int>(size - at);
        call(at, n);
        at += static_cast<std::size_t>(n);
    }
}
