// Fuzz target for the four string converters.
//
// The input, up to its first zero byte, goes through all four as it is, in
// a heap copy that ends at its terminator so that a read past it shows. For
// every converter: the result is terminated within its 1024 bytes, at the
// same address on every call, and no longer than its input allows; plain
// ASCII comes back unchanged; results of different converters do not
// disturb one another. A JIS writer's result ends in single-byte mode.
//
// From the same input, valid Shift_JIS and EUC-JP text is made (ASCII other
// than ESC, and two-byte codes with valid lead and trail bytes). Converted to
// JIS and back it must give the text again when it fits the size limit, and
// otherwise the longest prefix, ending between characters, whose JIS text
// fits in 1024 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codeconv.h"
#include "fuzz_support.h"

namespace {

using converter = const char *(*)(const char *);

constexpr std::size_t result_size = 1024;
constexpr char esc = 0x1B;

// Inputs of up to this many bytes always convert whole.
constexpr std::size_t sjis_fits = 226;
constexpr std::size_t euc_fits = 340;
constexpr std::size_t jis_fits = 1023;

// Runs fn on a heap copy of s that ends at its terminator; at receives the
// result's address.
std::string run(converter fn, const std::string &s, const char **at = nullptr)
{
    auto copy = std::make_unique<char[]>(s.size() + 1);
    std::memcpy(copy.get(), s.c_str(), s.size() + 1);
    const char *r = fn(copy.get());

    // Each converter has one result buffer, handed out on every call.
    static const char *first[4];
    static const converter order[4] = {sjistojis, euctojis, jistosjis, jistoeuc};
    const auto slot = static_cast<std::size_t>(std::find(order, order + 4, fn) - order);
    FUZZ_CHECK(r != nullptr);
    FUZZ_CHECK(first[slot] == nullptr || first[slot] == r);
    first[slot] = r;

    const void *end = std::memchr(r, 0, result_size);
    FUZZ_CHECK(end != nullptr);
    if (at != nullptr)
        *at = r;
    return std::string(r, static_cast<std::size_t>(static_cast<const char *>(end) - r));
}

// The result of a JIS writer, as far as its first zero byte, ends in
// single-byte mode: after the last ESC $ B there is an ESC ( B. Checked only
// on inputs without ESC, which the writers copy as ASCII (an ESC $ B in the
// input comes out as it went in), and without the bytes that an invalid
// two-byte code can turn into a zero byte inside the result, which would
// end the string before the closing ESC ( B.
void check_ends_in_ascii(const std::string &result)
{
    const std::size_t to_double = result.rfind("\x1b$B");
    if (to_double != std::string::npos)
        FUZZ_CHECK(result.find("\x1b(B", to_double + 3) != std::string::npos);
}

bool has_byte(const std::string &s, unsigned char b)
{
    return s.find(static_cast<char>(b)) != std::string::npos;
}

bool plain_ascii(const std::string &s)
{
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != esc; });
}

void check_any(const std::string &s)
{
    const char *sj_at = nullptr;
    const std::string sj = run(sjistojis, s, &sj_at);
    const std::string ej = run(euctojis, s);
    const std::string js = run(jistosjis, s);
    const std::string je = run(jistoeuc, s);

    // A writer's worst case is 4.5 bytes (Shift_JIS) or 3 bytes (EUC-JP) for
    // each input byte and the terminator; a reader never adds bytes.
    FUZZ_CHECK(2 * (sj.size() + 1) <= 9 * (s.size() + 1));
    FUZZ_CHECK(ej.size() + 1 <= 3 * (s.size() + 1));
    FUZZ_CHECK(js.size() <= s.size() && je.size() <= s.size());

    if (!has_byte(s, esc) && !has_byte(s, 0x1F))
        check_ends_in_ascii(sj);
    if (!has_byte(s, esc) && !has_byte(s, 0x80))
        check_ends_in_ascii(ej);

    if (plain_ascii(s) && s.size() <= jis_fits)
        FUZZ_CHECK(sj == s && ej == s && js == s && je == s);

    // The other three converters ran since; the first result is intact.
    FUZZ_CHECK(sj.compare(0, std::string::npos, sj_at, sj.size()) == 0 && sj_at[sj.size()] == '\0');
}

// Valid text made from data: a byte below 0x80 is itself (ESC and zero are
// left out), a byte from 0x80 on and the next byte choose the lead and trail
// byte of a two-byte code. bounds receives the offsets where characters end.
template <typename Code>
std::string valid_text(const std::uint8_t *data, std::size_t size, Code code,
                       std::vector<std::size_t> &bounds)
{
    std::string text;
    bounds.push_back(0);
    for (std::size_t k = 0; k < size; ++k) {
        const std::uint8_t b = data[k];
        if (b < 0x80) {
            if (b == 0 || b == esc)
                continue;
            text += static_cast<char>(b);
        } else {
            if (k + 1 == size)
                break;
            code(b, data[++k], text);
        }
        bounds.push_back(text.size());
    }
    return text;
}

void sjis_code(std::uint8_t a, std::uint8_t b, std::string &text)
{
    // Lead 0x81-0x9F, 0xE0-0xEF (47 values); trail 0x40-0x7E, 0x80-0xFC (188).
    const int lead = a % 47;
    const int trail = b % 188;
    text += static_cast<char>(lead < 31 ? 0x81 + lead : 0xE0 + lead - 31);
    text += static_cast<char>(trail < 63 ? 0x40 + trail : 0x80 + trail - 63);
}

void euc_code(std::uint8_t a, std::uint8_t b, std::string &text)
{
    text += static_cast<char>(0xA1 + a % 94);
    text += static_cast<char>(0xA1 + b % 94);
}

// Bytes that the JIS text of text[0, end) takes, terminator included: each
// character, an escape sequence at each change between ASCII and two-byte
// codes, and the return to ASCII at the end.
std::size_t jis_size(const std::string &text, std::size_t end)
{
    std::size_t size = 0;
    bool two_byte = false;
    for (std::size_t k = 0; k < end;) {
        const bool lead = static_cast<unsigned char>(text[k]) >= 0x80;
        if (lead != two_byte)
            size += 3;
        two_byte = lead;
        size += lead ? 2 : 1;
        k += lead ? 2 : 1;
    }
    return size + (two_byte ? 3 : 0) + 1;
}

// to_jis then from_jis gives text back when it fits, and otherwise the
// longest prefix, ending between characters, whose JIS text fits: a writer
// stops before the first character that would not fit.
void check_round_trip(converter to_jis, converter from_jis, const std::string &text,
                      const std::vector<std::size_t> &bounds, std::size_t fits)
{
    const std::string jis = run(to_jis, text);
    const std::string back = run(from_jis, jis);
    if (text.size() <= fits)
        FUZZ_CHECK(back == text);
    std::size_t cut = 0;
    for (std::size_t end : bounds) {
        if (jis_size(text, end) > result_size)
            break;
        cut = end;
    }
    FUZZ_CHECK(back.size() == cut && text.compare(0, cut, back) == 0);
    FUZZ_CHECK(jis.size() + 1 == jis_size(text, cut));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto *chars = reinterpret_cast<const char *>(data);
    const std::size_t length = std::find(chars, chars + size, '\0') - chars;
    check_any(std::string(chars, length));

    std::vector<std::size_t> bounds;
    const std::string sjis = valid_text(data, size, sjis_code, bounds);
    check_round_trip(sjistojis, jistosjis, sjis, bounds, sjis_fits);

    bounds.clear();
    const std::string euc = valid_text(data, size, euc_code, bounds);
    check_round_trip(euctojis, jistoeuc, euc, bounds, euc_fits);

    // Valid EUC-JP text that fits converts to the same JIS text as the
    // Shift_JIS text it gives, which cannot be longer than itself.
    if (euc.size() <= euc_fits) {
        const std::string jis = run(euctojis, euc);
        const std::string sj = run(jistosjis, jis);
        FUZZ_CHECK(sj.size() == euc.size());
        FUZZ_CHECK(run(sjistojis, sj) == jis);
    }
    return 0;
}
