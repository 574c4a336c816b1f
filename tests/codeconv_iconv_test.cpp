// The conversions against glibc iconv as an independent converter, on texts
// made in UTF-8: every character alone, random mixed texts, and long texts,
// whose result must be iconv's conversion of the longest prefix that fits in
// 1023 bytes. Where the module differs on purpose the texts keep clear: JIS
// text is expected with half-width katakana widened, which glibc's JIS lacks,
// and Shift_JIS 0x5C and 0x7E (to glibc yen sign and overline) only come from
// backslash and tilde, which glibc writes as those bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codeconv.h"
#include "iconv_oracle.h"

namespace {

using iconv_oracle::direction;
using iconv_oracle::directions;
using text = std::vector<std::string>; // characters in UTF-8

// The half-width katakana 0xA1 to 0xDF and their full-width counterparts.
const std::string half = "｡｢｣､･ｦｧｨｩｪｫｬｭｮｯｰｱｲｳｴｵｶｷｸｹｺｻｼｽｾｿﾀﾁﾂﾃﾄﾅﾆﾇﾈﾉﾊﾋﾌﾍﾎﾏﾐﾑﾒﾓﾔﾕﾖﾗﾘﾙﾚﾛﾜﾝﾞﾟ";
const std::string full =
    "。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノ"
    "ハヒフヘホマミムメモヤユヨラリルレロワン゛゜";

int code(const std::string &s, std::size_t at = 0) { return (s[at] & 0xFF) << 8 | (s[at + 1] & 0xFF); }

// Every JIS X 0208 character that glibc maps.
const text &jis_x0208()
{
    static const text all = [] {
        text v;
        for (int hi = 0x21; hi <= 0x7E; ++hi)
            for (int lo = 0x21; lo <= 0x7E; ++lo)
                v.push_back(
                    iconv_oracle::convert("UTF-8", "ISO-2022-JP", {'\x1b', '$', 'B', char(hi), char(lo)}));
        std::erase(v, std::string()); // unassigned
        return v;
    }();
    return all;
}

// Converts t with d.fn, from a heap copy that ends at its terminator for
// AddressSanitizer, and compares with iconv's conversion of the longest prefix
// of t that fits. Returns the input's size if the whole of t fits, else 0.
std::size_t check(const direction &d, const text &t)
{
    auto encode = [&t](const char *to, std::size_t n, bool widen) {
        std::string s;
        for (std::size_t i = 0, k = 0; i < n; ++i)
            s += widen && (k = half.find(t[i])) != std::string::npos ? full.substr(k, 3) : t[i];
        return iconv_oracle::convert(to, "UTF-8", s);
    };
    std::size_t lo = 0, hi = t.size();
    while (lo < hi) // a conversion grows with every character: bisect for the cut
        if (const std::size_t mid = (lo + hi + 1) / 2; encode(d.to, mid, true).size() <= 1023)
            lo = mid;
        else
            hi = mid - 1;
    const std::string in = encode(d.from, t.size(), false);
    const std::vector<char> copy(in.c_str(), in.c_str() + in.size() + 1);
    EXPECT_EQ(d.fn(copy.data()), encode(d.to, lo, true)) << d.from << ", " << in.size() << " bytes";
    return lo == t.size() ? in.size() : 0;
}

TEST(IconvOracle, EveryCharacterAlone)
{
    ASSERT_EQ(jis_x0208().size(), 6879u); // the whole of JIS X 0208:1997
    for (const std::string &c : jis_x0208()) {
        const int jis = code(iconv_oracle::convert("ISO-2022-JP", "UTF-8", c), 3);
        const int sjis = code(iconv_oracle::convert("SHIFT_JIS", "UTF-8", c)),
                  euc = code(iconv_oracle::convert("EUC-JP", "UTF-8", c));
        EXPECT_EQ(std::vector({jtos(jis), stoj(sjis), jtoe(jis), etoj(euc)}),
                  std::vector({sjis, jis, euc, jis}));
        for (const direction &d : directions)
            check(d, {c});
    }
    for (std::size_t k = 0; k < half.size(); k += 3)
        check(directions[0], {half.substr(k, 3)});
}

TEST(IconvOracle, RandomTextsInEveryDirection)
{
    const std::string ascii = "\t\n !\"#$%&'()*+,-./0123456789:;<=>?@ABCXYZ[\\]^_`abcxyz{|}~";
    std::mt19937 rng(20240605);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        // Runs of ASCII, of two-byte characters and, in every other text, of
        // half-width katakana, which only Shift_JIS has.
        const bool with_kana = round % 2 == 1;
        text t;
        while (t.size() < static_cast<std::size_t>(1 + round % 60)) {
            const std::size_t kind = pick(with_kana ? 3 : 2);
            for (std::size_t n = 1 + pick(6); n > 0; --n)
                t.push_back(kind == 0   ? std::string(1, ascii[pick(ascii.size())])
                            : kind == 1 ? jis_x0208()[pick(jis_x0208().size())]
                                        : half.substr(3 * pick(63), 3));
        }
        for (const direction &d : directions)
            if (!with_kana || d.fn == sjistojis)
                check(d, t);
    }
}

TEST(IconvOracle, LongTextsCutAtTheLimit)
{
    // count characters: offset times "a", then pattern over and over.
    auto repeat = [](std::size_t offset, const text &pattern, std::size_t count) {
        text t(offset, "a");
        while (t.size() < count)
            t.push_back(pattern[(t.size() - offset) % pattern.size()]);
        return t;
    };
    const std::string kanji = "漢", kana = "ｱ";
    // Worst cases (every character a change of mode), runs of one kind, ASCII
    // alone, after 0 to 9 ASCII characters so that the limit falls at every
    // alignment; and the worst case at the longest input that converts whole.
    const text patterns[] = {{kana, "x"}, {kanji, "x"}, {kanji}, {kana}, {"x"}, {kanji, kanji, "x"}};
    const text worst[] = {repeat(0, {kana, "x"}, 226), repeat(1, {kanji, "x"}, 227), repeat(0, {"x"}, 1023),
                          repeat(0, {"x"}, 1023)};
    for (std::size_t i = 0; i < 4; ++i) {
        for (const text &pattern : patterns)
            for (std::size_t offset = 0; offset < 10; ++offset)
                if (i == 0 || pattern[0] != kana)
                    check(directions[i], repeat(offset, pattern, 1200));
        EXPECT_EQ(check(directions[i], worst[i]), directions[i].whole) << directions[i].from;
    }
}

} // namespace
