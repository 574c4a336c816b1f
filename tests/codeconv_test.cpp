// Fixed cases where glibc iconv cannot serve as the oracle (it does in
// codeconv_iconv_test.cpp): byte class edges, codes outside the ranges, bytes
// iconv rejects or reads otherwise, escapes, input cut short, the buffers.
// Needs no iconv, so it runs on the target as well.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codeconv.h"

namespace {

using namespace std::literals;
using converter = const char *(*)(const char *);

TEST(CharacterFunctions, ByteClassesAsUnsignedAndAsSignedChar)
{
    // A byte; issjis, iskana, iseuc; the EUC-JP code of its full-width kana.
    const int rows[][5] = {{0x7F, 0, 0, 0, 0},      {0x80, 0, 0, 1, 0},      {0x81, 1, 0, 1, 0},
                           {0x9F, 1, 0, 1, 0},      {0xA0, 0, 0, 1, 0},      {0xA1, 0, 1, 1, 0xA1A3},
                           {0xB1, 0, 1, 1, 0xA5A2}, {0xDF, 0, 1, 1, 0xA1AC}, {0xE0, 1, 0, 1, 0},
                           {0xEF, 1, 0, 1, 0},      {0xF0, 0, 0, 1, 0},      {0xFF, 0, 0, 1, 0}};
    for (const auto &r : rows)
        for (int ch : {r[0], static_cast<int>(static_cast<signed char>(r[0]))})
            EXPECT_EQ((std::vector{issjis(ch), iskana(ch), iseuc(ch), kanakana(ch)}),
                      (std::vector{r[1], r[2], r[3], r[4]}))
                << ch;
}

TEST(CharacterFunctions, CodesAtAndOutsideTheRangeEdges)
{
    // Outside the code ranges the result is what the arithmetic gives, with
    // truncating division (flooring would make jtos(0x2000) 0x807E) and each
    // byte kept to 8 bits.
    const struct {
        int (*fn)(int);
        int in, out;
    } rows[] = {
        {jtos, 0x215F, 0x817E},
        {jtos, 0x2160, 0x8180},
        {jtos, 0x2221, 0x819F},
        {jtos, 0x5F21, 0xE040},
        {stoj, 0x817E, 0x215F},
        {stoj, 0x8180, 0x2160},
        {stoj, 0x819F, 0x2221},
        {stoj, 0xE040, 0x5F21},
        {jtos, 0x2000, 0x817E},
        {jtos, 0x0000, 0x717E},
        {jtos, 0xFFFF, 0x301F},
        {stoj, 0x8120, 0x2101},
        {stoj, 0x8100, 0x21E1},
        {etoj, 0xFFFF, 0x7F7F},
        {jtoe, 0x0000, 0x8080},
        {jtoe, 0x12345, 0xA3C5},
        // Just outside the lead and trail ranges: 0xDF is below the gap, and
        // 0x7F stands where the trail bytes skip a code.
        {stoj, 0xDF40, 0xDD21},
        {stoj, 0x817F, 0x2160},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.fn(r.in), r.out) << std::hex << r.in;
}

TEST(StringConverters, Cases)
{
    // clang-format off
    const struct {
        converter fn;
        std::string_view in, out;
    } rows[] = {
        {sjistojis, "", ""}, {euctojis, "", ""}, {jistosjis, "", ""}, {jistoeuc, "", ""},
        // Half-width katakana widen one by one; bytes that start no character
        // are copied, 0x5C and 0x7E as ASCII; a lead byte takes the next byte
        // whatever it is; EUC-JP single shift 0x8E starts an ordinary pair.
        {sjistojis, "\xB6\xDE", "\x1b$B%+!+\x1b(B"},
        {sjistojis, "\\~\x80\xA0\xF0\xFF", "\\~\x80\xA0\xF0\xFF"},
        {sjistojis, "\x82\n", "\x1b$B#\xEB\x1b(B"}, {euctojis, "\x8E\xB1", "\x1b$B\x0E\x31\x1b(B"},
        // Readers go by the selector byte alone, take any other ESC for data
        // and look for an escape only where a pair would start.
        {jistosjis, "\x1b$@0!\x1b(Jx", "\x88\x9Fx"}, {jistoeuc, "\x1b$B0!\x1b(Ix", "\xB0\xA1x"},
        {jistosjis, "a\x1bxb", "a\x1bxb"}, {jistoeuc, "\x1b$B\x1bx\x1b(B", "\x9B\xF8"},
        {jistoeuc, "\x1b$(D0!", "\xC4\xB0"}, {jistosjis, "\x1b$B$\"\n\x1b(B", "\x82\xA0\x76\x99\x84\xC0"},
        // Input cut short: the unfinished character or escape is dropped, a
        // writer still ends in ASCII, and the bytes past the terminator,
        // which would complete it, are not read.
        {sjistojis, "\x82\xA0\x82\0\xA0"sv, "\x1b$B$\"\x1b(B"},
        {euctojis, "\xA4\xA2\xA4\0\xA2"sv, "\x1b$B$\"\x1b(B"},
        {jistosjis, "\x1b$\0B$\""sv, ""}, {jistoeuc, "a\x1b(\0Bz"sv, "a"}, {jistosjis, "a\x1b", "a\x1b"},
        {jistoeuc, "\x1b$B$\"\x1b\0(B"sv, "\xA4\xA2"},
    };
    // clang-format on
    for (const auto &r : rows) {
        // A heap copy that ends where the input does, for AddressSanitizer.
        const auto copy = std::make_unique<char[]>(r.in.size() + 1);
        r.in.copy(copy.get(), r.in.size());
        EXPECT_EQ(r.fn(copy.get()), r.out) << testing::PrintToString(std::string(r.in));
    }
}

TEST(StringConverters, EachKeepsItsOwnBuffer)
{
    const converter all[] = {sjistojis, euctojis, jistosjis, jistoeuc};
    const std::string fill(1023, 'x'); // fills a buffer to its last byte
    for (const converter &keeper : all) {
        const char *first = keeper("z");
        for (converter other : all)
            if (other != keeper)
                other(fill.c_str());
        EXPECT_STREQ(first, "z") << &keeper - all;
        EXPECT_EQ(keeper("y"), first) << &keeper - all;
    }
}

} // namespace
