#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "irkb101.h"
#include "irkb101_link.h"
#include "ps2_encoder.h"

namespace {

using decoder_test::bytes;
using decoder_test::result;

// Feeds each chunk in turn to d (a fresh decoder if none), through a buffer
// with the 4096 bytes of room the decoder may fill whatever the chunk's
// size.
result decode(const std::vector<bytes> &chunks, irkb101_decoder *d = nullptr)
{
    return decoder_test::feed(chunks, 4096, d);
}

// --- Runs, gaps, unfinished runs and broken pairs ------------------------------
struct frame_case {
    const char *name;
    std::vector<bytes> chunks;
    bytes payload;
    int carried = 0;
};

// Names the case in test listings and failures instead of dumping its bytes.
void PrintTo(const frame_case &c, std::ostream *os) { *os << c.name; }

class IrKB101Frames : public testing::TestWithParam<frame_case> {};

TEST_P(IrKB101Frames, YieldThePayload)
{
    const result r = decode(GetParam().chunks);
    EXPECT_EQ(r.out, GetParam().payload);
    EXPECT_EQ(r.carried, GetParam().carried);
    EXPECT_EQ(r.messages, "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Runs, IrKB101Frames, testing::Values(
    frame_case{"one_pair", {{0x1C, 0xE3}}, {0x1C}},
    frame_case{"runs_with_gaps", {{0xFF, 0xFF, 0x1C, 0xE3, 0x1B, 0xE4, 0xFF, 0xF0, 0x0F}}, {0x1C, 0x1B, 0xF0}},
    frame_case{"no_gaps_at_all", {{0x12, 0xED, 0x1C, 0xE3, 0xF0, 0x0F}}, {0x12, 0x1C, 0xF0}},
    frame_case{"complement_first_is_a_pair_too", {{0xE3, 0x1C}}, {0xE3}},
    frame_case{"FF_00_inside_a_run_is_payload_FF", {{0x1C, 0xE3, 0xFF, 0x00, 0x1B, 0xE4}}, {0x1C, 0xFF, 0x1B}},
    frame_case{"00_FF_is_payload_00", {{0xFF, 0x00, 0xFF}}, {0x00}},
    frame_case{"gaps_only", {{0xFF, 0xFF, 0xFF}}, {}},
    // An unfinished run waits for the next chunk, whole.
    frame_case{"held_run_completed_later", {{0xFF, 0x1C, 0xE3, 0x1B}, {}, {}, {0xE4}}, {0x1C, 0x1B}},
    frame_case{"trailing_FF_holds_the_run", {{0x1C, 0xE3, 0xFF}}, {}, 3},
    frame_case{"held_FF_turns_out_a_gap", {{0x1C, 0xE3, 0xFF}, {0xFF, 0x1C, 0xE3}}, {0x1C, 0x1C}},
    frame_case{"held_FF_turns_out_payload", {{0x1C, 0xE3, 0xFF}, {0x00}}, {0x1C, 0xFF}},
    frame_case{"earlier_runs_go_out_at_once", {{0x1C, 0xE3, 0xFF, 0x1B, 0xE4, 0xFF, 0x1A}}, {0x1C, 0x1B}, 1},
    // A byte whose partner was lost is dropped alone (see also IrKB101BrokenPairs).
    frame_case{"the_next_byte_waits_for_its_partner", {{0x1B, 0x1C}}, {}, 1},
    frame_case{"several_lost_in_a_row", {{0x1B, 0x1A, 0x19, 0x1C, 0xE3}}, {0x1C}}),
    decoder_test::case_name<frame_case>);
// clang-format on

// --- Split points and lost bytes, against the keyboard's framing --------------
TEST(IrKB101Splits, EverySplitPointGivesTheSamePayload)
{
    bytes payload;
    sim::ps2_encode_text("The quick brown fox jumps over the lazy dog: 1+1=2? \x80\x85", payload);
    // Payload 0x00 travels as 00 FF, whose FF a gap could be mistaken for. Not so
    // 0xFF: in front of a chunk boundary it reads as a gap, by design.
    payload.insert(payload.end(), {0x00, 0x00, 0x1C});
    for (const sim::irkb101_framing &f : {sim::irkb101_framing{0, 1, 1}, {1, 1, 0}, {3, 2, 1}, {5, 1, 3}}) {
        bytes framed;
        ASSERT_TRUE(sim::irkb101_frame(payload, framed, f));
        for (std::size_t k = 0; k <= framed.size(); ++k) {
            const auto cut = framed.begin() + static_cast<std::ptrdiff_t>(k);
            const result r = decode({bytes(framed.begin(), cut), bytes(cut, framed.end())});
            ASSERT_EQ(r.out, payload) << "pairs per run " << f.pairs_per_run << ", split at " << k;
            ASSERT_EQ(r.carried, 0);
        }
    }
}

TEST(IrKB101BrokenPairs, ALostByteCostsOnlyItsOwnPayloadByte)
{
    // Payload below 0x80 and no two neighbours alike, so no stray byte can
    // pair up by chance.
    const bytes payload = {0x1C, 0x32, 0x21, 0x23, 0x24, 0x2B, 0x34};
    bytes framed;
    ASSERT_TRUE(sim::irkb101_frame(payload, framed, {2, 1, 1}));
    for (std::size_t lost = 0; lost < framed.size(); ++lost) {
        const auto at = framed.begin() + static_cast<std::ptrdiff_t>(lost);
        bytes damaged(framed.begin(), at);
        damaged.insert(damaged.end(), at + 1, framed.end());
        damaged.insert(damaged.end(), {0xFF, 0x1A, 0xE5});
        // The framed bytes other than gaps come in pairs, one per payload byte.
        const auto pair = std::count_if(framed.begin(), at, [](unsigned char b) { return b != 0xFF; }) / 2;
        bytes expected = payload;
        if (*at != 0xFF)
            expected.erase(expected.begin() + pair);
        expected.push_back(0x1A);
        const result r = decode({damaged});
        EXPECT_EQ(r.out, expected) << "byte " << lost << " lost";
        EXPECT_EQ(r.carried, 0);
    }
}

// --- Capacity ----------------------------------------------------------------
// 4096 pairs, the first 0, 1 or 8191 bytes of them held back as an
// unfinished run, the rest in one chunk of exactly the room left: nothing is
// lost and nothing reported. A byte more is dropped and reported.
TEST(IrKB101Capacity, AChunkOfTheRoomIsKeptWholeAndAByteMoreIsDropped)
{
    bytes payload, framed;
    for (int k = 0; k < 4096; ++k)
        payload.push_back(static_cast<unsigned char>(k % 200));
    ASSERT_TRUE(sim::irkb101_frame(payload, framed, {0, 1, 0}));
    ASSERT_EQ(framed.size(), 8192u);
    payload.push_back(0x2B); // from the chunk after
    for (const std::ptrdiff_t held : {0, 1, 8191}) {
        const auto cut = framed.begin() + held;
        const decoder_test::capacity_case c{
            bytes(framed.begin(), cut), bytes(cut, framed.end()), 0x2A, {0xFF, 0x2B, 0xD4}, payload};
        decoder_test::expect_capacity<irkb101_decoder>(c, 4096, "keyferry: irkb101conv: buffer overflow\n");
    }
}

// --- The process-wide instance ------------------------------------------------

// First, whatever an earlier caller left in it: FF, 1C and E3, a byte at a
// time so that even a full buffer takes each. 1C cannot pair with the FF
// before it, so it starts the pair 1C E3, which ends the stream: the last
// run is whole and nothing is carried.
TEST(IrKB101ProcessWide, KeepsItsStateBetweenCalls)
{
    bytes buf(4096);
    for (const unsigned char b : {0xFF, 0x1C, 0xE3}) {
        buf[0] = b;
        irkb101conv(1, buf.data());
    }
    ASSERT_EQ(irkb101room(), 8192);

    buf = {0x1C, 0xE3, 0x1B};
    buf.resize(4096);
    EXPECT_EQ(irkb101conv(3, buf.data()), 0);
    EXPECT_EQ(irkb101room(), 8189);
    buf[0] = 0xE4;
    ASSERT_EQ(irkb101conv(1, buf.data()), 2);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 2), (bytes{0x1C, 0x1B}));
}

} // namespace
