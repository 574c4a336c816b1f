#include "codeconv.h"

namespace {

// Full-width counterparts of the half-width katakana 0xA1 to 0xDF, in order,
// as EUC-JP codes (two bytes each, first byte first):
// 。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワン゛゜
// The sound marks 0xDE and 0xDF become the spacing marks, each on its own.
constexpr char kana[] =
    "\xA1\xA3\xA1\xD6\xA1\xD7\xA1\xA2\xA1\xA6\xA5\xF2\xA5\xA1"          // A1-A7
    "\xA5\xA3\xA5\xA5\xA5\xA7\xA5\xA9\xA5\xE3\xA5\xE5\xA5\xE7\xA5\xC3"  // A8-AF
    "\xA1\xBC\xA5\xA2\xA5\xA4\xA5\xA6\xA5\xA8\xA5\xAA\xA5\xAB\xA5\xAD"  // B0-B7
    "\xA5\xAF\xA5\xB1\xA5\xB3\xA5\xB5\xA5\xB7\xA5\xB9\xA5\xBB\xA5\xBD"  // B8-BF
    "\xA5\xBF\xA5\xC1\xA5\xC4\xA5\xC6\xA5\xC8\xA5\xCA\xA5\xCB\xA5\xCC"  // C0-C7
    "\xA5\xCD\xA5\xCE\xA5\xCF\xA5\xD2\xA5\xD5\xA5\xD8\xA5\xDB\xA5\xDE"  // C8-CF
    "\xA5\xDF\xA5\xE0\xA5\xE1\xA5\xE2\xA5\xE4\xA5\xE6\xA5\xE8\xA5\xE9"  // D0-D7
    "\xA5\xEA\xA5\xEB\xA5\xEC\xA5\xED\xA5\xEF\xA5\xF3\xA1\xAB\xA1\xAC"; // D8-DF

constexpr int kana_first = 0xA1;
constexpr int kana_last = 0xDF;

constexpr int kana_cell(int ch)
{
    int i = 2 * (ch - kana_first);
    return static_cast<unsigned char>(kana[i]) << 8 | static_cast<unsigned char>(kana[i + 1]);
}

// Every entry is a JIS X 0208 character in EUC-JP, and the katakana from
// ア (0xB1) to ン (0xDD) follow the order of the JIS katakana row.
constexpr bool kana_well_formed()
{
    for (int ch = kana_first; ch <= kana_last; ++ch) {
        int code = kana_cell(ch);
        if ((code >> 8) < 0xA1 || (code >> 8) > 0xFE || (code & 0xFF) < 0xA1 || (code & 0xFF) > 0xFE)
            return false;
        if (ch > 0xB1 && ch <= 0xDD && code <= kana_cell(ch - 1))
            return false;
    }
    return true;
}

static_assert(sizeof kana == 2 * (kana_last - kana_first + 1) + 1 && sizeof kana == 127);
static_assert(kana[126] == '\0');
static_assert(kana_well_formed());
static_assert(kana_cell(0xA1) == 0xA1A3); // 。
static_assert(kana_cell(0xA6) == 0xA5F2); // ヲ
static_assert(kana_cell(0xB0) == 0xA1BC); // ー
static_assert(kana_cell(0xB1) == 0xA5A2); // ア
static_assert(kana_cell(0xDD) == 0xA5F3); // ン
static_assert(kana_cell(0xDE) == 0xA1AB); // ゛
static_assert(kana_cell(0xDF) == 0xA1AC); // ゜

// Result buffer size of each string converter. The buffers are separate
// objects, not one array, so that a converter running past its own buffer
// shows up under AddressSanitizer instead of landing in its neighbour.
constexpr int bufsize = 1024;
char sjistojis_buf[bufsize];
char euctojis_buf[bufsize];
char jistosjis_buf[bufsize];
char jistoeuc_buf[bufsize];

// A JIS writer in two-byte mode owes ESC ( B and the terminator; in ASCII
// mode only the terminator. Every step first checks that the character plus
// what it then owes still fits, so the closing bytes always have room.
constexpr int owed(int mode) { return mode == 'K' ? 4 : 1; }

inline void put2(char *t, int &p, int code)
{
    t[p++] = static_cast<char>(code >> 8);
    t[p++] = static_cast<char>(code & 0xFF);
}

// Shift_JIS (sjis true) or EUC-JP text to JIS text in t.
template <bool sjis>
const char *tojis(const char *s, char *t)
{
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    int p = 0;
    int mode = 'A';
    for (int ch; (ch = *u) != 0;) {
        int code;
        int len;
        if (sjis ? issjis(ch) : iseuc(ch)) {
            if (u[1] == 0) // lead byte cut off by the end of the input
                break;
            code = ch << 8 | u[1];
            code = sjis ? stoj(code) : etoj(code);
            len = 2;
        } else if (sjis && iskana(ch)) {
            code = etoj(kanakana(ch));
            len = 1;
        } else {
            if (p + (mode == 'A' ? 0 : 3) + 1 + owed('A') > bufsize)
                break;
            if (mode != 'A') {
                putescape(t, &p, '(');
                mode = 'A';
            }
            t[p++] = static_cast<char>(ch);
            ++u;
            continue;
        }
        if (p + (mode == 'K' ? 0 : 3) + 2 + owed('K') > bufsize)
            break;
        if (mode != 'K') {
            putescape(t, &p, '$');
            mode = 'K';
        }
        put2(t, p, code);
        u += len;
    }
    if (mode != 'A')
        putescape(t, &p, '(');
    t[p] = '\0';
    return t;
}

// JIS text to Shift_JIS (sjis true) or EUC-JP text in t. The output is never
// longer than the input, so only input over 1023 bytes can be cut short.
template <bool sjis>
const char *fromjis(const char *s, char *t)
{
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    int p = 0;
    int mode = 'A';
    for (int ch; (ch = *u) != 0;) {
        // Only the selector byte is examined: ESC $ @ counts as ESC $ B, and
        // ESC ( J or ESC ( I as ESC ( B. Any other ESC is data.
        if (ch == 0x1B && (u[1] == '$' || u[1] == '(')) {
            if (u[2] == 0) // sequence cut off by the end of the input
                break;
            if (u[1] == '$')
                mode = 'K';
            else
                mode = 'A';
            u += 3;
        } else if (mode == 'K') {
            if (u[1] == 0 || p + 2 + 1 > bufsize)
                break;
            int code = ch << 8 | u[1];
            put2(t, p, sjis ? jtos(code) : jtoe(code));
            u += 2;
        } else {
            if (p + 1 + 1 > bufsize)
                break;
            t[p++] = static_cast<char>(ch);
            ++u;
        }
    }
    t[p] = '\0';
    return t;
}

} // namespace

int issjis(int ch)
{
    ch &= 0xFF;
    return (ch >= 0x81 && ch <= 0x9F) || (ch >= 0xE0 && ch <= 0xEF);
}

int iskana(int ch)
{
    ch &= 0xFF;
    return ch >= kana_first && ch <= kana_last;
}

int iseuc(int ch) { return (ch & 0x80) != 0; }

int jtos(int ch)
{
    int hi = ch >> 8 & 0xFF;
    int lo = ch & 0xFF;
    // Truncating division, also below 0x21: jtos(0x2000) is 0x817E.
    int x = (hi - 0x21) / 2 + 0x81;
    if (x > 0x9F)
        x += 0x40;
    int y;
    if (hi & 1) {
        y = lo + 0x1F;
        if (y > 0x7E) // Shift_JIS trail bytes skip 0x7F
            ++y;
    } else {
        y = lo + 0x7E;
    }
    return (x & 0xFF) << 8 | (y & 0xFF);
}

int stoj(int ch)
{
    int hi = ch >> 8 & 0xFF;
    int lo = ch & 0xFF;
    if (hi > 0xDF)
        hi -= 0x40;
    int x;
    int y;
    if (lo > 0x9E) {
        x = (hi - 0x81) * 2 + 0x22;
        y = lo - 0x7E;
    } else {
        x = (hi - 0x81) * 2 + 0x21;
        if (lo > 0x7F)
            --lo;
        y = lo - 0x1F;
    }
    return (x & 0xFF) << 8 | (y & 0xFF);
}

int etoj(int ch) { return ch & 0x7F7F; }

int jtoe(int ch) { return (ch | 0x8080) & 0xFFFF; }

int kanakana(int ch)
{
    if (!iskana(ch))
        return 0;
    return kana_cell(ch & 0xFF);
}

void putescape(char *s, int *p, int ch)
{
    s[(*p)++] = 0x1B;
    s[(*p)++] = static_cast<char>(ch);
    s[(*p)++] = 0x42;
}

const char *sjistojis(const char *s) { return tojis<true>(s, sjistojis_buf); }
const char *euctojis(const char *s) { return tojis<false>(s, euctojis_buf); }
const char *jistosjis(const char *s) { return fromjis<true>(s, jistosjis_buf); }
const char *jistoeuc(const char *s) { return fromjis<false>(s, jistoeuc_buf); }
