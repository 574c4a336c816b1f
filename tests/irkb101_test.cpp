#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "irkb101.h"
#include "irkb101_link.h"
#include "ps2_encoder.h"
#include "ps2key.h"

namespace {

using bytes = std::vector<unsigned char>;

struct result {
    bytes payload;
    std::string messages;
    int carried = 0;
};

// Feeds each chunk to d in turn, through a buffer with the 4096 bytes of
// room the decoder may fill whatever the chunk's size.
result decode_chunks(irkb101_decoder &d, const std::vector<bytes> &chunks)
{
    result r;
    testing::internal::CaptureStderr();
    for (const bytes &chunk : chunks) {
        bytes buf = chunk;
        if (buf.size() < 4096)
            buf.resize(4096, 0xEE);
        const int n = d.convert(static_cast<int>(chunk.size()), buf.data());
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 4096);
        r.payload.insert(r.payload.end(), buf.begin(), buf.begin() + n);
    }
    r.messages = testing::internal::GetCapturedStderr();
    r.carried = d.p;
    return r;
}

result decode(const std::vector<bytes> &chunks)
{
    auto d = std::make_unique<irkb101_decoder>();
    return decode_chunks(*d, chunks);
}

const std::string overflow = "keyferry: irkb101conv: buffer overflow\n";

bytes frame(const bytes &payload, const irkb101_framing &f)
{
    bytes out;
    EXPECT_TRUE(irkb101_frame(payload, out, f));
    return out;
}

// --- Runs and separators -----------------------------------------------------

struct frame_case {
    const char *what;
    std::vector<bytes> chunks;
    bytes payload;
    int carried;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const frame_case &c, std::ostream *os) { *os << c.what; }

class Frames : public testing::TestWithParam<frame_case> {};

TEST_P(Frames, YieldThePayload)
{
    const frame_case &c = GetParam();
    const result r = decode(c.chunks);
    EXPECT_EQ(r.payload, c.payload);
    EXPECT_EQ(r.carried, c.carried);
    EXPECT_EQ(r.messages, "");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Frames,
    testing::Values(
        frame_case{"one pair", {{0x1C, 0xE3}}, {0x1C}, 0},
        frame_case{"runs with separators", {{0xFF, 0x1C, 0xE3, 0xFF, 0x1B, 0xE4}}, {0x1C, 0x1B}, 0},
        frame_case{"runs of several pairs",
                   {{0xFF, 0xFF, 0x1C, 0xE3, 0x1B, 0xE4, 0xFF, 0xF0, 0x0F, 0x1C, 0xE3}},
                   {0x1C, 0x1B, 0xF0, 0x1C},
                   0},
        frame_case{"no separators at all",
                   {{0x12, 0xED, 0x1C, 0xE3, 0xF0, 0x0F, 0x1C, 0xE3}},
                   {0x12, 0x1C, 0xF0, 0x1C},
                   0},
        frame_case{"complement first is a pair too", {{0xE3, 0x1C}}, {0xE3}, 0},
        frame_case{"FF 00 inside a run is payload FF", {{0x1C, 0xE3, 0xFF, 0x00}}, {0x1C, 0xFF}, 0},
        frame_case{
            "FF 00 in the middle of a run", {{0x1C, 0xE3, 0xFF, 0x00, 0x1B, 0xE4}}, {0x1C, 0xFF, 0x1B}, 0},
        frame_case{"00 FF is payload 00", {{0xFF, 0x00, 0xFF}}, {0x00}, 0},
        frame_case{"separators only", {{0xFF, 0xFF, 0xFF}}, {}, 0},
        frame_case{"lone byte waits", {{0x1C}}, {}, 1},
        frame_case{"run held back by a lone last byte", {{0xFF, 0x1C, 0xE3, 0x1B}}, {}, 3},
        frame_case{
            "held run completed by the next call", {{0xFF, 0x1C, 0xE3, 0x1B}, {0xE4}}, {0x1C, 0x1B}, 0},
        frame_case{"trailing FF holds the run", {{0x1C, 0xE3, 0xFF}}, {}, 3},
        frame_case{
            "held FF turns out a separator", {{0x1C, 0xE3, 0xFF}, {0xFF, 0x1C, 0xE3}}, {0x1C, 0x1C}, 0},
        frame_case{"held FF turns out payload", {{0x1C, 0xE3, 0xFF}, {0x00}}, {0x1C, 0xFF}, 0},
        frame_case{"empty call keeps the held run", {{0x1C, 0xE3, 0x1B}, {}, {}, {0xE4}}, {0x1C, 0x1B}, 0},
        frame_case{
            "earlier runs go out at once", {{0x1C, 0xE3, 0xFF, 0x1B, 0xE4, 0xFF, 0x1A}}, {0x1C, 0x1B}, 1}),
    [](const testing::TestParamInfo<frame_case> &info) {
        std::string name;
        for (const char *s = info.param.what; *s; ++s)
            name += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
        return name;
    });

TEST(Frames, NegativeCountAppendsNothing)
{
    auto d = std::make_unique<irkb101_decoder>();
    const result first = decode_chunks(*d, {{0x1C, 0xE3, 0x1B}});
    EXPECT_EQ(first.carried, 3);
    bytes buf(4096, 0x00);
    EXPECT_EQ(d->convert(-1, buf.data()), 0);
    EXPECT_EQ(d->p, 3);
}

// --- Split points ----------------------------------------------------------

bytes long_payload()
{
    bytes scan;
    ps2_encode_text("The quick brown fox jumps over the lazy dog: 1+1=2? \x80\x85", scan);
    // Payload 0x00 travels as 00 FF, whose FF a gap could be mistaken for.
    // (Payload 0xFF is left out: at the start of a chunk it reads as a gap,
    // so a chunk boundary in front of it changes the payload by design.)
    scan.push_back(0x00);
    scan.push_back(0x00);
    scan.push_back(0x1C);
    return scan;
}

TEST(Splits, EverySplitPointGivesTheSamePayload)
{
    const bytes payload = long_payload();
    const irkb101_framing framings[] = {{0, 1, 1}, {1, 1, 0}, {3, 2, 1}, {5, 1, 3}};
    for (const irkb101_framing &f : framings) {
        const bytes framed = frame(payload, f);
        ASSERT_EQ(decode({framed}).payload, payload);
        for (std::size_t k = 0; k <= framed.size(); ++k) {
            const auto cut = framed.begin() + static_cast<std::ptrdiff_t>(k);
            const result r = decode({bytes(framed.begin(), cut), bytes(cut, framed.end())});
            ASSERT_EQ(r.payload, payload) << "pairs per run " << f.pairs_per_run << ", split at " << k;
            ASSERT_EQ(r.carried, 0);
        }
    }
}

TEST(Splits, RandomChunkingGivesTheSamePayload)
{
    const bytes payload = long_payload();
    std::mt19937 rng(101);
    for (int round = 0; round < 200; ++round) {
        irkb101_framing f;
        f.pairs_per_run = std::uniform_int_distribution<std::size_t>(0, 6)(rng);
        f.gap = std::uniform_int_distribution<std::size_t>(1, 3)(rng);
        f.lead = std::uniform_int_distribution<std::size_t>(0, 2)(rng);
        const bytes framed = frame(payload, f);
        std::vector<bytes> chunks;
        for (std::size_t at = 0; at < framed.size();) {
            const std::size_t len = std::uniform_int_distribution<std::size_t>(0, 9)(rng);
            const std::size_t end = std::min(framed.size(), at + len);
            chunks.emplace_back(framed.begin() + static_cast<std::ptrdiff_t>(at),
                                framed.begin() + static_cast<std::ptrdiff_t>(end));
            at = end;
        }
        ASSERT_EQ(decode(chunks).payload, payload) << "round " << round;
    }
}

TEST(Framer, PayloadFFNeverStartsARun)
{
    const bytes payload = {0x1C, 0xFF, 0x00, 0x1B};
    const bytes framed = frame(payload, {1, 1, 1});
    EXPECT_EQ(framed, (bytes{0xFF, 0x1C, 0xE3, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x1B, 0xE4}));
    EXPECT_EQ(decode({framed}).payload, payload);

    bytes out = {0x42};
    EXPECT_FALSE(irkb101_frame(bytes{0xFF, 0x00}, out));
    EXPECT_EQ(out, bytes{0x42});
}

TEST(Framer, ZeroPayloadAfterALoneGapGetsASecondFF)
{
    // A lone FF between runs in front of payload 00 would be the pair FF 00.
    const bytes payload = {0x1C, 0x00, 0x1B};
    const bytes framed = frame(payload, {1, 1, 1});
    EXPECT_EQ(framed, (bytes{0xFF, 0x1C, 0xE3, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0x1B, 0xE4}));
    EXPECT_EQ(decode({framed}).payload, payload);
}

// --- Broken pairs ------------------------------------------------------------

TEST(BrokenPairs, FirstByteIsDroppedAndDecodingResumes)
{
    struct broken_case {
        bytes in;
        bytes payload;
        int carried;
    };
    const broken_case cases[] = {
        {{0x1C, 0x32, 0xCD}, {0x32}, 0},                   // E3 lost
        {{0xE3, 0x32, 0xCD}, {0x32}, 0},                   // 1C lost
        {{0x1C, 0xE3, 0x1B, 0x1C, 0xE3}, {0x1C, 0x1C}, 0}, // E4 lost inside a run
        {{0x1C, 0xE3, 0x1B, 0xFF, 0x1C, 0xE3}, {0x1C, 0x1C}, 0},
        {{0x1B, 0x1C}, {}, 1},                       // the next byte waits for its partner
        {{0x1B, 0x1A, 0x19, 0x1C, 0xE3}, {0x1C}, 0}, // several in a row
    };
    for (const broken_case &c : cases) {
        const result r = decode({c.in});
        EXPECT_EQ(r.payload, c.payload);
        EXPECT_EQ(r.carried, c.carried);
        EXPECT_EQ(r.messages, "");
    }
}

TEST(BrokenPairs, ALostByteCostsOnlyItsOwnPayloadByte)
{
    // Payload below 0x80 and no two neighbours alike, so no stray byte can
    // pair up by chance.
    const bytes payload = {0x1C, 0x32, 0x21, 0x23, 0x24, 0x2B, 0x34};
    const bytes framed = frame(payload, {2, 1, 1});
    const bytes tail = {0xFF, 0x1A, 0xE5};
    for (std::size_t lost = 0; lost < framed.size(); ++lost) {
        bytes damaged = framed;
        damaged.erase(damaged.begin() + static_cast<std::ptrdiff_t>(lost));
        damaged.insert(damaged.end(), tail.begin(), tail.end());
        // The framed bytes other than gaps come in pairs, one per payload byte.
        bytes expected = payload;
        if (framed[lost] != 0xFF) {
            const auto before =
                std::count_if(framed.begin(), framed.begin() + static_cast<std::ptrdiff_t>(lost),
                              [](unsigned char b) { return b != 0xFF; });
            expected.erase(expected.begin() + before / 2);
        }
        expected.push_back(0x1A);
        const result r = decode({damaged});
        EXPECT_EQ(r.payload, expected) << "byte " << lost << " lost";
        EXPECT_EQ(r.carried, 0);
    }
}

// --- Capacity ----------------------------------------------------------------

TEST(Capacity, FullChunkOfPairsYieldsHalfItsLength)
{
    bytes chunk;
    for (int k = 0; k < 4096; ++k) {
        chunk.push_back(static_cast<unsigned char>(k % 200));
        chunk.push_back(static_cast<unsigned char>(0xFF - k % 200));
    }
    const result r = decode({chunk});
    ASSERT_EQ(r.payload.size(), 4096u);
    EXPECT_EQ(r.payload[199], 199);
    EXPECT_EQ(r.messages, "") << "a chunk that fills the buffer exactly drops nothing";
    EXPECT_EQ(r.carried, 0);
}

TEST(Capacity, ChunkOfTheRoomLeftBehindACarriedByteLosesNothing)
{
    bytes chunk = {0xE3};
    for (int k = 0; k < 4095; ++k) {
        chunk.push_back(0x1B);
        chunk.push_back(0xE4);
    }
    auto d = std::make_unique<irkb101_decoder>();
    decode_chunks(*d, {{0x1C}});
    ASSERT_EQ(d->room(), 8191);
    ASSERT_EQ(chunk.size(), 8191u);
    bytes expected = {0x1C};
    expected.insert(expected.end(), 4095, 0x1B);
    const result fits = decode_chunks(*d, {chunk});
    EXPECT_EQ(fits.payload, expected);
    EXPECT_EQ(fits.messages, "");

    // One byte more than the room: that byte is dropped, and reported.
    chunk.push_back(0x2A);
    const result r = decode({{0x1C}, chunk, {0xFF, 0x2A, 0xD5}});
    expected.push_back(0x2A);
    EXPECT_EQ(r.payload, expected);
    EXPECT_EQ(r.messages, overflow);
}

TEST(Capacity, LongestHeldRunStillTakesNewInput)
{
    // 4095 pairs and a lone byte: 8191 bytes held back, one byte of room.
    bytes run;
    for (int k = 0; k < 4095; ++k) {
        run.push_back(0x1C);
        run.push_back(0xE3);
    }
    run.push_back(0x1B);
    auto d = std::make_unique<irkb101_decoder>();
    const result held = decode_chunks(*d, {run});
    EXPECT_TRUE(held.payload.empty());
    EXPECT_EQ(held.carried, 8191);
    EXPECT_EQ(d->room(), 1);

    const result done = decode_chunks(*d, {{0xE4, 0x55}});
    ASSERT_EQ(done.payload.size(), 4096u);
    EXPECT_EQ(done.payload.back(), 0x1B);
    EXPECT_EQ(done.messages, overflow);
    EXPECT_EQ(done.carried, 0);
}

TEST(Irkb101conv, KeepsItsStateBetweenCalls)
{
    bytes buf(4096, 0);
    buf[0] = 0x1C;
    buf[1] = 0xE3;
    buf[2] = 0x1B;
    EXPECT_EQ(irkb101conv(3, buf.data()), 0);
    buf[0] = 0xE4;
    ASSERT_EQ(irkb101conv(1, buf.data()), 2);
    EXPECT_EQ(buf[0], 0x1C);
    EXPECT_EQ(buf[1], 0x1B);
}

} // namespace
