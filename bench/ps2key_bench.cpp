// Decoding speed of the PS/2 scan-code decoder, whose key table is looked up
// through an index built at compile time: prose as a cradle sends it, and
// keys from the bottom of the table, which a walk from the top would reach
// last.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "ps2_encoder.h"
#include "ps2key.h"

namespace {

// A chunk as large as the relay reads: prose with capitals, digits,
// punctuation, control keys and cursor keys, as the cradle sends it.
std::vector<unsigned char> typing_chunk()
{
    std::vector<unsigned char> one;
    sim::ps2_encode_text(
        "The quick brown fox jumps over the lazy dog: 1+1=2? \"Ok\" [x] ~/bin"
        "\t\r\x80\x82\x81\x83\x84\x87\x03",
        one);
    std::vector<unsigned char> chunk;
    while (chunk.size() + one.size() <= 8000)
        chunk.insert(chunk.end(), one.begin(), one.end());
    return chunk;
}

// Keys from the bottom of the table.
std::vector<unsigned char> late_rows_chunk()
{
    std::vector<unsigned char> chunk;
    const unsigned char keys[][3] = {
        {0xE0, 0x6B, 0}, {0xE0, 0x69, 0}, {0x76, 0, 0}, {0x64, 0, 0}, {0xE0, 0x7C, 0}};
    for (int k = 0; chunk.size() < 8000; ++k) {
        for (const unsigned char b : keys[k % 5])
            if (b)
                chunk.push_back(b);
    }
    return chunk;
}

void decode(benchmark::State &state, const std::vector<unsigned char> &chunk)
{
    auto d = std::make_unique<ps2_decoder>();
    std::vector<unsigned char> buf(chunk.size());
    for (auto _ : state) {
        std::memcpy(buf.data(), chunk.data(), chunk.size());
        int n = d->convert(static_cast<int>(chunk.size()), buf.data());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk.size()));
}

void BM_typing(benchmark::State &s) { decode(s, typing_chunk()); }
void BM_late_rows(benchmark::State &s) { decode(s, late_rows_chunk()); }

BENCHMARK(BM_typing);
BENCHMARK(BM_late_rows);

} // namespace
