// The code conversions checked against glibc iconv as an independent
// converter: every JIS X 0208 character one by one, random mixed texts, and
// results cut at the 1024-byte limit, which must equal iconv's conversion of
// the longest prefix that fits.
//
// Texts are made in UTF-8 and handed to iconv for each encoding, so no test
// input is derived from the code under test. Where glibc and this module
// differ on purpose, the tests check the module's behaviour:
// - half-width katakana: glibc's ISO-2022-JP has no JIS X 0201 katakana and
//   rejects them; the module widens each to its full-width counterpart, so
//   the expected JIS text is iconv's conversion of the widened text.
// - Shift_JIS bytes 0x5C and 0x7E: glibc reads them as YEN SIGN and OVERLINE
//   and writes them back after ESC ( J; the module copies every byte below
//   0x80 as ASCII. The random texts go through Unicode backslash and tilde,
//   which glibc encodes as those same bytes, so they compare equal.
// - ESC $ @ and ESC ( J: glibc distinguishes them; the module reads only the
//   selector byte (fixed cases in codeconv_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codeconv.h"
#include "codeconv_testutil.h"

namespace {

constexpr std::size_t limit = 1023; // longest result, terminator excluded

struct jis_char {
    int jis;
    std::string utf8, sjis, euc;
};

// Every JIS X 0208 code that glibc maps, with its UTF-8, Shift_JIS and
// EUC-JP forms as glibc converts them.
const std::vector<jis_char> &jis_chars()
{
    static const std::vector<jis_char> chars = [] {
        std::vector<jis_char> v;
        for (int hi = 0x21; hi <= 0x7E; ++hi)
            for (int lo = 0x21; lo <= 0x7E; ++lo) {
                std::string jis = "\x1b$B";
                jis += static_cast<char>(hi);
                jis += static_cast<char>(lo);
                jis += "\x1b(B";
                jis_char c;
                c.jis = hi << 8 | lo;
                if (!iconv_text("UTF-8", "ISO-2022-JP", jis, c.utf8))
                    continue; // unassigned code
                c.sjis = iconv_text("SHIFT_JIS", "UTF-8", c.utf8);
                c.euc = iconv_text("EUC-JP", "UTF-8", c.utf8);
                v.push_back(c);
            }
        return v;
    }();
    return chars;
}

int code_of(const std::string &two)
{
    return static_cast<unsigned char>(two[0]) << 8 | static_cast<unsigned char>(two[1]);
}

TEST(IconvOracle, EveryJisX0208Character)
{
    int compared = 0;
    for (const jis_char &c : jis_chars()) {
        SCOPED_TRACE(hex(c.utf8));
        ASSERT_EQ(c.sjis.size(), 2u);
        ASSERT_EQ(c.euc.size(), 2u);
        EXPECT_EQ(jtos(c.jis), code_of(c.sjis));
        EXPECT_EQ(stoj(code_of(c.sjis)), c.jis);
        EXPECT_EQ(jtoe(c.jis), code_of(c.euc));
        EXPECT_EQ(etoj(code_of(c.euc)), c.jis);

        const std::string jis = iconv_text("ISO-2022-JP", "UTF-8", c.utf8);
        EXPECT_EQ(run(sjistojis, c.sjis), jis);
        EXPECT_EQ(run(euctojis, c.euc), jis);
        EXPECT_EQ(run(jistosjis, jis), c.sjis);
        EXPECT_EQ(run(jistoeuc, jis), c.euc);
        ++compared;
    }
    std::printf("iconv oracle: %d JIS X 0208 characters compared\n", compared);
    RecordProperty("characters_compared", compared);
    EXPECT_EQ(compared, 6879); // the whole of JIS X 0208:1997
}

// The full-width counterparts of the half-width katakana U+FF61 to U+FF9F,
// in order, written out as text.
constexpr char fullwidth_kana[] =
    "。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノ"
    "ハヒフヘホマミムメモヤユヨラリルレロワン゛゜";

struct kana_char {
    int byte;
    std::string half, full; // UTF-8
};

const std::vector<kana_char> &kana_chars()
{
    static const std::vector<kana_char> chars = [] {
        std::vector<kana_char> v;
        for (int b = 0xA1; b <= 0xDF; ++b) {
            kana_char k;
            k.byte = b;
            k.half = iconv_text("UTF-8", "SHIFT_JIS", std::string(1, static_cast<char>(b)));
            k.full = std::string(fullwidth_kana + 3 * (b - 0xA1), 3);
            v.push_back(k);
        }
        return v;
    }();
    return chars;
}

TEST(IconvOracle, HalfWidthKanaWidenedOneByOne)
{
    static_assert(sizeof fullwidth_kana == 63 * 3 + 1);
    std::string all_half_sjis, all_full;
    for (const kana_char &k : kana_chars()) {
        SCOPED_TRACE(k.byte);
        int cp = 0xFF61 + k.byte - 0xA1;
        std::string expect_half = {static_cast<char>(0xEF), static_cast<char>(0x80 | (cp >> 6 & 0x3F)),
                                   static_cast<char>(0x80 | (cp & 0x3F))};
        ASSERT_EQ(k.half, expect_half);
        EXPECT_EQ(kanakana(k.byte), code_of(iconv_text("EUC-JP", "UTF-8", k.full)));
        all_half_sjis += static_cast<char>(k.byte);
        all_full += k.full;
    }
    // A whole run of them: each byte becomes one full-width character, sound
    // marks included, under one ESC $ B.
    EXPECT_EQ(run(sjistojis, all_half_sjis), iconv_text("ISO-2022-JP", "UTF-8", all_full));
}

// A text as a list of characters in UTF-8, so that it can be cut at any
// character and encoded by iconv.
using text = std::vector<std::string>;

std::string join(const text &t, std::size_t n, bool widen)
{
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string *c = &t[i];
        if (widen)
            for (const kana_char &k : kana_chars())
                if (k.half == t[i])
                    c = &k.full;
        s += *c;
    }
    return s;
}

struct direction {
    converter fn;
    const char *from, *to;
};

const direction directions[] = {
    {sjistojis, "SHIFT_JIS", "ISO-2022-JP"},
    {euctojis, "EUC-JP", "ISO-2022-JP"},
    {jistosjis, "ISO-2022-JP", "SHIFT_JIS"},
    {jistoeuc, "ISO-2022-JP", "EUC-JP"},
};

// Runs d.fn on the whole of t and checks that it returns iconv's conversion
// of the longest prefix of t whose conversion fits (half-width katakana
// widened for the comparison). Returns how many characters were dropped.
std::size_t check_prefix(const direction &d, const text &t)
{
    bool widen = d.fn == sjistojis;
    auto expected = [&](std::size_t n) { return iconv_text(d.to, "UTF-8", join(t, n, widen)); };
    // A conversion grows with every character, so search for the cut.
    std::size_t lo = 0, hi = t.size();
    if (expected(hi).size() <= limit)
        lo = hi;
    while (lo < hi) {
        std::size_t mid = (lo + hi + 1) / 2;
        if (expected(mid).size() <= limit)
            lo = mid;
        else
            hi = mid - 1;
    }
    std::string input = iconv_text(d.from, "UTF-8", join(t, t.size(), false));
    EXPECT_EQ(hex(run(d.fn, input)), hex(expected(lo)))
        << name_of(d.fn) << ", " << t.size() << " characters, " << input.size() << " bytes";
    return t.size() - lo;
}

TEST(IconvOracle, RandomTexts)
{
    const auto &kanji = jis_chars();
    const auto &kana = kana_chars();
    std::mt19937 rng(20240605);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const std::string ascii = "\t\n !\"#$%&'()*+,-./0123456789:;<=>?@ABCXYZ[\\]^_`abcxyz{|}~";

    int texts = 0, characters = 0;
    for (int round = 0; round < 3000; ++round) {
        // Runs of ASCII and of two-byte characters, and in every other text
        // half-width katakana, which only sjistojis reads.
        bool with_kana = round % 2 == 1;
        text t;
        while (t.size() < static_cast<std::size_t>(1 + round % 60)) {
            int kind = pick(with_kana ? 3 : 2);
            for (int n = 1 + pick(6); n > 0; --n)
                t.push_back(kind == 0   ? std::string(1, ascii[pick(static_cast<int>(ascii.size()))])
                            : kind == 1 ? kanji[pick(static_cast<int>(kanji.size()))].utf8
                                        : kana[pick(static_cast<int>(kana.size()))].half);
        }
        for (const direction &d : directions)
            if (!with_kana || d.fn == sjistojis) {
                ASSERT_EQ(check_prefix(d, t), 0u);
            }
        ++texts;
        characters += static_cast<int>(t.size());
    }
    std::printf("iconv oracle: %d random texts, %d characters\n", texts, characters);
    RecordProperty("random_texts", texts);
    RecordProperty("random_characters", characters);
}

// Repeats pattern after a lead of `offset` ASCII characters until the text
// holds `count` characters.
text pattern_text(int offset, const text &pattern, std::size_t count)
{
    text t(static_cast<std::size_t>(offset), "a");
    while (t.size() < count)
        for (const std::string &c : pattern)
            if (t.size() < count)
                t.push_back(c);
    return t;
}

TEST(Capacity, CutBeforeTheFirstCharacterThatDoesNotFit)
{
    const std::string kanji = "漢", kana = kana_chars()[0x10].half; // ｱ
    // Worst cases (each change of mode costs an escape sequence), long runs
    // of one kind, and ASCII alone; each shifted by 0 to 9 leading ASCII
    // characters so the limit falls on every alignment.
    const text patterns[] = {{kana, "x"}, {kanji, "x"}, {kanji}, {kana}, {"x"}, {kanji, kanji, "x"}};
    for (const direction &d : directions) {
        SCOPED_TRACE(name_of(d.fn));
        bool filled = false, short_of_full = false;
        for (const text &pattern : patterns) {
            if (d.fn != sjistojis && pattern[0] == kana)
                continue;
            for (int offset = 0; offset < 10; ++offset) {
                text t = pattern_text(offset, pattern, 1200);
                ASSERT_GT(check_prefix(d, t), 0u);
                std::size_t got = run(d.fn, iconv_text(d.from, "UTF-8", join(t, t.size(), false))).size();
                filled |= got == limit;
                short_of_full |= got < limit;
            }
        }
        // Both a result that fills the buffer to the last byte and one that
        // stops short because the next character would not fit were seen.
        EXPECT_TRUE(filled);
        EXPECT_TRUE(short_of_full);
    }
}

TEST(Capacity, WorstCaseInputsAtTheGuaranteedLengths)
{
    const std::string kanji = "漢", kana = kana_chars()[0x10].half;
    struct bound {
        direction d;
        text pattern;
        std::size_t max_bytes; // the longest input that always fits
    };
    const bound bounds[] = {
        {directions[0], {kana, "x"}, 226},
        {directions[1], {kanji, "x"}, 340},
        {directions[2], {"x"}, 1023},
        {directions[3], {"x"}, 1023},
    };
    for (const bound &b : bounds) {
        SCOPED_TRACE(name_of(b.d.fn));
        // Lengthen the worst case one character at a time: everything up to
        // the guaranteed length converts whole, and past it the result is cut.
        bool cut_seen = false;
        for (std::size_t n = 1;; ++n) {
            text t = pattern_text(0, b.pattern, n);
            std::size_t input = iconv_text(b.d.from, "UTF-8", join(t, n, false)).size();
            std::size_t dropped = check_prefix(b.d, t);
            if (input <= b.max_bytes) {
                EXPECT_EQ(dropped, 0u) << input << " bytes";
            } else if (dropped > 0) {
                cut_seen = true;
                break;
            }
            ASSERT_LT(input, 2000u);
        }
        EXPECT_TRUE(cut_seen);
    }
}

} // namespace
