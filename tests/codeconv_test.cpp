// Character and string conversions on fixed cases: boundaries of every byte
// class and code range, the converters' escape handling, input cut short,
// and the separation of the four result buffers.
#include <gtest/gtest.h>

#include <string>

#include "codeconv.h"
#include "codeconv_testutil.h"

namespace {

TEST(ByteClass, RangeBoundaries)
{
    struct row {
        int ch, sjis, kana, euc;
    };
    const row rows[] = {
        {0x00, 0, 0, 0}, {0x7F, 0, 0, 0}, {0x80, 0, 0, 1}, {0x81, 1, 0, 1}, {0x8E, 1, 0, 1},
        {0x9F, 1, 0, 1}, {0xA0, 0, 0, 1}, {0xA1, 0, 1, 1}, {0xDF, 0, 1, 1}, {0xE0, 1, 0, 1},
        {0xEF, 1, 0, 1}, {0xF0, 0, 0, 1}, {0xFF, 0, 0, 1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.ch);
        EXPECT_EQ(issjis(r.ch), r.sjis);
        EXPECT_EQ(iskana(r.ch), r.kana);
        EXPECT_EQ(iseuc(r.ch), r.euc);
    }
}

TEST(ByteClass, PlainCharReadsAsUnsigned)
{
    // A caller handing over a (signed) char must get the byte's class, not
    // a negative number's.
    EXPECT_EQ(issjis(static_cast<signed char>(0x81)), 1);
    EXPECT_EQ(iskana(static_cast<signed char>(0xB1)), 1);
    EXPECT_EQ(iseuc(static_cast<signed char>(0xA4)), 1);
    EXPECT_EQ(kanakana(static_cast<signed char>(0xB1)), 0xA5A2);
}

TEST(JisShiftJis, KnownPairsBothWays)
{
    const int pairs[][2] = {
        {0x2121, 0x8140}, {0x215F, 0x817E}, {0x2160, 0x8180}, {0x217E, 0x819E}, {0x2221, 0x819F},
        {0x2422, 0x82A0}, {0x3021, 0x889F}, {0x5E7E, 0x9FFC}, {0x5F21, 0xE040}, {0x7E7E, 0xEFFC},
    };
    for (const auto &pr : pairs) {
        SCOPED_TRACE(pr[0]);
        EXPECT_EQ(jtos(pr[0]), pr[1]);
        EXPECT_EQ(stoj(pr[1]), pr[0]);
    }
}

TEST(JisShiftJis, OutsideTheCodeRangesFollowTheArithmetic)
{
    // Truncating division: flooring would make jtos(0x2000) 0x807E.
    EXPECT_EQ(jtos(0x2000), 0x817E);
    EXPECT_EQ(jtos(0x0000), 0x717E);
    EXPECT_EQ(jtos(0xFFFF), 0x301F);
    EXPECT_EQ(stoj(0x8120), 0x2101);
    EXPECT_EQ(stoj(0x8100), 0x21E1);
}

bool valid_jis(int c)
{
    int hi = c >> 8, lo = c & 0xFF;
    return hi >= 0x21 && hi <= 0x7E && lo >= 0x21 && lo <= 0x7E;
}

bool valid_sjis(int c)
{
    int lo = c & 0xFF;
    return issjis(c >> 8) && c >> 8 <= 0xEF && lo >= 0x40 && lo <= 0xFC && lo != 0x7F;
}

TEST(JisShiftJis, InversePairsOverWholeCodeSpaces)
{
    int jis_codes = 0, sjis_codes = 0;
    for (int c = 0; c <= 0xFFFF; ++c) {
        if (valid_jis(c)) {
            ++jis_codes;
            ASSERT_TRUE(valid_sjis(jtos(c))) << std::hex << c;
            ASSERT_EQ(stoj(jtos(c)), c) << std::hex << c;
        }
        if (valid_sjis(c)) {
            ++sjis_codes;
            ASSERT_TRUE(valid_jis(stoj(c))) << std::hex << c;
            ASSERT_EQ(jtos(stoj(c)), c) << std::hex << c;
        }
    }
    EXPECT_EQ(jis_codes, 94 * 94);
    EXPECT_EQ(sjis_codes, 94 * 94);
}

TEST(JisEuc, Bit7OfBothBytes)
{
    EXPECT_EQ(etoj(0xA4A2), 0x2422);
    EXPECT_EQ(etoj(0xFFFF), 0x7F7F);
    EXPECT_EQ(jtoe(0x2422), 0xA4A2);
    EXPECT_EQ(jtoe(0x0000), 0x8080);
    EXPECT_EQ(jtoe(0x12345), 0xA3C5); // kept to 16 bits
}

TEST(HalfWidthKana, WidenedOrZero)
{
    EXPECT_EQ(kanakana(0xB1), 0xA5A2);
    EXPECT_EQ(kanakana(0xA1), 0xA1A3);
    EXPECT_EQ(kanakana(0xDE), 0xA1AB);
    EXPECT_EQ(kanakana(0xDF), 0xA1AC);
    for (int ch = 0; ch < 256; ++ch)
        if (!iskana(ch)) {
            EXPECT_EQ(kanakana(ch), 0) << ch;
        }
}

TEST(PutEscape, WritesThreeBytesAtIndex)
{
    char buf[8] = "xxxxxxx";
    int p = 2;
    putescape(buf, &p, '$');
    EXPECT_EQ(p, 5);
    EXPECT_EQ(std::string(buf), "xx\x1b$Bxx");
}

struct string_case {
    converter fn;
    const char *in;
    const char *out;
};

TEST(StringConverters, Cases)
{
    const string_case cases[] = {
        // ASCII alone passes unchanged with no escape sequence.
        {sjistojis, "", ""},
        {euctojis, "", ""},
        {jistosjis, "", ""},
        {jistoeuc, "", ""},
        {sjistojis, "61 62 63", "61 62 63"},
        {euctojis, "61 62 63", "61 62 63"},
        {jistosjis, "61 62 63", "61 62 63"},
        {jistoeuc, "61 62 63", "61 62 63"},

        // Writers: one ESC $ B per run of two-byte characters, ESC ( B only
        // on the way back to ASCII, and always before the terminator.
        {sjistojis, "82 A0", "1B 24 42 24 22 1B 28 42"},
        {sjistojis, "61 82 A0 82 A2 62", "61 1B 24 42 24 22 24 24 1B 28 42 62"},
        {sjistojis, "82 A0 0A", "1B 24 42 24 22 1B 28 42 0A"},
        {sjistojis, "B1", "1B 24 42 25 22 1B 28 42"},
        {sjistojis, "B6 DE", "1B 24 42 25 2B 21 2B 1B 28 42"}, // letter and sound mark stay two
        {sjistojis, "88 9F B1", "1B 24 42 30 21 25 22 1B 28 42"},
        {sjistojis, "80 A0 F0 FF", "80 A0 F0 FF"},
        {sjistojis, "82 0A 61", "1B 24 42 23 EB 1B 28 42 61"}, // the trail byte is taken as is
        {euctojis, "A4 A2", "1B 24 42 24 22 1B 28 42"},
        {euctojis, "A4 A2 A4 A4 61 A4 A2", "1B 24 42 24 22 24 24 1B 28 42 61 1B 24 42 24 22 1B 28 42"},
        {euctojis, "8E B1", "1B 24 42 0E 31 1B 28 42"}, // single shift: an ordinary pair

        // Readers: only the selector byte counts; other escapes are data.
        {jistosjis, "1B 24 42 24 22 1B 28 42", "82 A0"},
        {jistoeuc, "1B 24 42 24 22 1B 28 42", "A4 A2"},
        {jistosjis, "1B 24 40 30 21 1B 28 4A 78", "88 9F 78"},
        {jistoeuc, "1B 24 42 30 21 1B 28 49 78", "B0 A1 78"},
        {jistosjis, "61 1B 78 62", "61 1B 78 62"},
        {jistoeuc, "1B 24 42 1B 78 1B 28 42", "9B F8"}, // in two-byte mode ESC x is a pair
        {jistoeuc, "1B 24 28 44 30 21", "C4 B0"},       // ESC $ ( D: D begins the next pair
        // In two-byte mode an escape is seen only at the start of a pair.
        {jistosjis, "1B 24 42 24 22 0A 1B 28 42", "82 A0 76 99 84 C0"},
        {jistoeuc, "1B 24 42 24 22 0A 1B 28 42", "A4 A2 8A 9B A8 C2"},
        {jistosjis, "1B 24 42 24 22 1B 28 42 61", "82 A0 61"},

        // Input cut short: the unfinished character or sequence is dropped
        // and a writer still ends in ASCII.
        {sjistojis, "82", ""},
        {sjistojis, "61 82", "61"},
        {sjistojis, "82 A0 82", "1B 24 42 24 22 1B 28 42"},
        {euctojis, "80", ""},
        {euctojis, "A4 A2 A4", "1B 24 42 24 22 1B 28 42"},
        {jistosjis, "1B 24", ""},
        {jistoeuc, "61 1B 28", "61"},
        {jistosjis, "61 1B", "61 1B"}, // ESC then the end: no sequence, copied
        {jistosjis, "1B 24 42 24", ""},
        {jistoeuc, "1B 24 42 24 22 1B", "A4 A2"},
    };
    for (const string_case &c : cases) {
        SCOPED_TRACE(std::string(name_of(c.fn)) + " of " + c.in);
        EXPECT_EQ(hex(run(c.fn, bytes(c.in))), hex(bytes(c.out)));
    }
}

TEST(StringConverters, NothingPastTheTerminatorIsRead)
{
    // The byte after the terminator would complete the cut-off character or
    // sequence if it were read. (run() also hands over an exact-size copy,
    // so AddressSanitizer sees any such read in every other case.)
    const char sjis[] = "a\x82\0\xA0";
    const char euc[] = "\xA4\0\xA2";
    const char jis_esc[] = "\x1b$\0B\x24\x22";
    const char jis_pair[] = "\x1b$B\x24\0\x22";
    EXPECT_STREQ(sjistojis(sjis), "a");
    EXPECT_STREQ(euctojis(euc), "");
    EXPECT_STREQ(jistosjis(jis_esc), "");
    EXPECT_STREQ(jistoeuc(jis_pair), "");
}

TEST(StringConverters, EachKeepsItsOwnResult)
{
    const converter all[] = {sjistojis, euctojis, jistosjis, jistoeuc};
    // Inputs that fill each buffer to its last byte.
    const std::string fill_writer(1023, 'x');
    for (converter keeper : all) {
        SCOPED_TRACE(name_of(keeper));
        const char *first = keeper("\x82\xA0");
        const std::string kept = first;
        for (converter other : all)
            if (other != keeper)
                other(fill_writer.c_str());
        EXPECT_EQ(std::string(first), kept);
        const char *second = keeper("z");
        EXPECT_EQ(second, first);
        EXPECT_STREQ(first, "z");
    }
}

} // namespace
