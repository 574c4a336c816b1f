// Throughput of the four string converters against glibc iconv doing the
// same conversion on the same text: Japanese prose mixing ASCII, kanji,
// hiragana and full-width katakana, cut at character boundaries into chunks
// as long as each converter is guaranteed to take (226 bytes of Shift_JIS,
// 340 of EUC-JP, 1023 of JIS). Throughput counts input bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <iterator>
#include <string>
#include <vector>

#include "iconv_oracle.h"

namespace {

using iconv_oracle::direction;
using iconv_oracle::directions;

const char *const prose[] = {
    "keyferry は、シリアルポートにつないだ外部キーボードの入力を携帯端末のキーイベントに変換して送り込む小さなプログラムです。\n",
    "起動するときに -m h を指定すると Happy Hacking Cradle の PS/2 スキャンコードを解釈し、-m i では IrKB101 の赤外線フレームをほどきます。\n",
    "通信速度は既定で 9600 bps、クレードルでは 4800 bps です。設定ファイルや環境変数は使いません。\n",
    "漢字コードの変換モジュールは、シフトJIS・EUC-JP・JIS（ISO-2022-JP）の三つの符号化を相互に変換します。\n",
    "例: 「東京都千代田区丸の内1-2-3」→ 1B 24 42 ... 1B 28 42 のように、二バイト文字の前後にエスケープシーケンスが入ります。\n",
    "Error: can't open /dev/ttyS1 (デバイスが見つかりません)。ケーブルの接続と権限を確認してください。\n",
    "半角カナは全角カナに広げてから出力し、濁点や半濁点は一文字ずつ別の文字として扱います。\n",
    "Version 1.0 では、リレーの経路からこのモジュールを呼び出すことはありません。\n",
    "試験では glibc の iconv と結果を比べ、JIS X 0208 の全 6879 文字を確かめています。\n",
    "今日は晴れ、明日は雨の予報です。午後3時から会議室Bで打ち合わせ（資料は共有フォルダ）。\n",
};

// The text converted by iconv; a conversion iconv refuses ends the run.
std::string iconv_all(const char *to, const char *from, const std::string &in)
{
    std::string out = iconv_oracle::convert(to, from, in);
    if (out.empty() && !in.empty()) {
        std::fprintf(stderr, "codeconv_bench: iconv cannot convert %s to %s\n", from, to);
        std::exit(1);
    }
    return out;
}

// The prose repeated to about 64 KiB, as UTF-8 characters.
std::vector<std::string> characters()
{
    std::string text;
    while (text.size() < 64 * 1024)
        for (const char *line : prose)
            text += line;
    std::vector<std::string> chars;
    for (std::size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        std::size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        chars.push_back(text.substr(i, n));
        i += n;
    }
    return chars;
}

// The text in encoding `enc`, cut into the longest chunks of whole
// characters whose encoding stays within max_bytes. Every character here is
// one byte of ASCII or two bytes of JIS X 0208 in all three encodings, and
// JIS text adds an escape sequence of three bytes at each change between
// the two and at the end of a two-byte run, so chunk sizes are counted
// without converting; iconv then encodes each chunk.
std::vector<std::string> chunks(const char *enc, std::size_t max_bytes)
{
    static const std::vector<std::string> chars = characters();
    const bool jis = std::strcmp(enc, "ISO-2022-JP") == 0;
    std::vector<std::string> out;
    std::string utf8;
    std::size_t size = 0;
    bool two_byte = false;
    auto flush = [&] {
        std::string encoded = iconv_all(enc, "UTF-8", utf8);
        if (encoded.size() > max_bytes) {
            std::fprintf(stderr, "codeconv_bench: %s chunk of %zu bytes\n", enc, encoded.size());
            std::exit(1);
        }
        out.push_back(encoded);
        utf8.clear();
        size = 0;
        two_byte = false;
    };
    for (const std::string &c : chars) {
        bool wide = c.size() > 1;
        std::size_t grown = size + (wide ? 2 : 1);
        if (jis)
            grown += (wide != two_byte ? 3 : 0) + (wide ? 3 : 0); // switch, closing ESC ( B
        if (grown > max_bytes)
            flush();
        if (jis)
            size += (wide != two_byte ? 3 : 0);
        size += wide ? 2 : 1;
        two_byte = wide;
        utf8 += c;
    }
    flush();
    return out;
}

struct workload {
    std::vector<std::string> in;
    std::size_t bytes = 0;
};

// The chunks for one direction, checked once: the module and iconv must
// produce the same result for every chunk, or the comparison is unfair.
const workload &load(int d)
{
    static workload loads[std::size(directions)];
    workload &w = loads[d];
    if (w.in.empty()) {
        const direction &dir = directions[d];
        w.in = chunks(dir.from, dir.whole);
        for (const std::string &c : w.in) {
            w.bytes += c.size();
            if (iconv_all(dir.to, dir.from, c) != dir.fn(c.c_str())) {
                std::fprintf(stderr, "codeconv_bench: module and iconv differ on a chunk\n");
                std::exit(1);
            }
        }
    }
    return w;
}

// Throughput in input bytes, with the size of the workload.
void report(benchmark::State &state, const workload &w)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * w.bytes));
    state.counters["chunks"] = static_cast<double>(w.in.size());
    state.counters["bytes"] = static_cast<double>(w.bytes);
}

void module(benchmark::State &state, int d)
{
    const workload &w = load(d);
    const auto fn = directions[d].fn;
    for (auto _ : state)
        for (const std::string &c : w.in)
            benchmark::DoNotOptimize(fn(c.c_str()));
    report(state, w);
}

// iconv as a caller would use it for the same job: back to the initial
// state, convert the chunk, return to ASCII, terminate. The result fits in
// the 1024 bytes, since load() found it equal to the module's.
void glibc_iconv(benchmark::State &state, int d)
{
    const workload &w = load(d);
    iconv_t cd = iconv_open(directions[d].to, directions[d].from);
    char out[1024];
    auto convert = [&](const std::string &c) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char *ip = const_cast<char *>(c.data());
        std::size_t il = c.size();
        char *op = out;
        std::size_t ol = sizeof out - 1;
        iconv(cd, &ip, &il, &op, &ol);
        iconv(cd, nullptr, nullptr, &op, &ol);
        *op = '\0';
    };
    for (auto _ : state)
        for (const std::string &c : w.in) {
            convert(c);
            benchmark::DoNotOptimize(out);
            benchmark::ClobberMemory();
        }
    iconv_close(cd);
    report(state, w);
}

} // namespace

BENCHMARK_CAPTURE(module, sjistojis, 0);
BENCHMARK_CAPTURE(glibc_iconv, sjistojis, 0);
BENCHMARK_CAPTURE(module, euctojis, 1);
BENCHMARK_CAPTURE(glibc_iconv, euctojis, 1);
BENCHMARK_CAPTURE(module, jistosjis, 2);
BENCHMARK_CAPTURE(glibc_iconv, jistosjis, 2);
BENCHMARK_CAPTURE(module, jistoeuc, 3);
BENCHMARK_CAPTURE(glibc_iconv, jistoeuc, 3);
