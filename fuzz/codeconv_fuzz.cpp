// Fuzz target for the string converters on any bytes, where the fixed cases
// and iconv (valid text only) cannot go. Each takes the input up to its first
// zero byte from a heap copy that ends there, for AddressSanitizer. Results end
// inside the 1024-byte buffer; a reader's is never longer than its input; a
// writer's ends in single-byte mode. Valid Shift_JIS and EUC-JP made from the
// bytes, unassigned codes too, comes back from JIS whole if short enough.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codeconv.h"
#include "fuzz_support.h"

namespace {

std::string run(const char *(*fn)(const char *), const std::string &s)
{
    const std::vector<char> copy(s.c_str(), s.c_str() + s.size() + 1);
    const char *r = fn(copy.data());
    const void *end = std::memchr(r, 0, 1024);
    FUZZ_CHECK(end != nullptr);
    return std::string(r, static_cast<const char *>(end));
}

// A byte below 0x80 is itself (zero and ESC left out); a byte from 0x80 on
// and the next one choose a lead byte and a trail byte.
std::string valid_text(const std::uint8_t *data, std::size_t size, bool sjis)
{
    std::string t;
    for (std::size_t k = 0; k < size; ++k)
        if (data[k] < 0x80 && data[k] != 0 && data[k] != 0x1B) {
            t += static_cast<char>(data[k]);
        } else if (data[k] >= 0x80 && k + 1 < size) {
            const int lead = data[k] % 47, trail = data[++k] % 188; // Shift_JIS has 47 and 188
            t += static_cast<char>(sjis ? lead + (lead < 31 ? 0x81 : 0xE0 - 31) : 0xA1 + data[k - 1] % 94);
            t += static_cast<char>(sjis ? trail + (trail < 63 ? 0x40 : 0x80 - 63) : 0xA1 + data[k] % 94);
        }
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto *chars = reinterpret_cast<const char *>(data);
    const std::string s(chars, strnlen(chars, size));
    FUZZ_CHECK(run(jistosjis, s).size() <= s.size() && run(jistoeuc, s).size() <= s.size());
    // After the last ESC $ B comes an ESC ( B, unless the input has an ESC,
    // which a writer copies, or a byte that turns into a zero byte and so ends
    // the result early (Shift_JIS trail byte 0x1F, EUC-JP byte 0x80).
    for (const std::string &jis : {run(sjistojis, s), run(euctojis, s)})
        FUZZ_CHECK(s.find_first_of("\x1b\x1f\x80") != std::string::npos ||
                   jis.rfind("\x1b$B") == std::string::npos ||
                   jis.find("\x1b(B", jis.rfind("\x1b$B")) != std::string::npos);
    for (const bool sjis : {true, false}) {
        const std::string t = valid_text(data, size, sjis);
        const std::string back = run(sjis ? jistosjis : jistoeuc, run(sjis ? sjistojis : euctojis, t));
        FUZZ_CHECK(t.size() <= (sjis ? 226u : 340u) ? back == t : t.compare(0, back.size(), back) == 0);
    }
    return 0;
}
