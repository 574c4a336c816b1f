#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "decoder_harness.h"
#include "golden.h"
#include "ps2_encoder.h"
#include "ps2key.h"

namespace {

using decoder_test::bytes;
using decoder_test::result;

// Feeds each chunk in turn to d (a fresh decoder if none) through a buffer of
// exactly its size: the decoder puts out at most one character per byte.
result decode(const std::vector<bytes> &chunks, ps2_decoder *d = nullptr)
{
    return decoder_test::feed(chunks, 0, d);
}

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

// --- Sequences the golden table cannot show ----------------------------------

struct typing_case {
    const char *name;
    std::vector<bytes> chunks;
    bytes out;
    const char *unknown = ""; // the codes reported unknown, in order
};

// Names the case in test listings and failures instead of dumping its bytes.
void PrintTo(const typing_case &c, std::ostream *os) { *os << c.name; }

class Ps2KeyTyping : public testing::TestWithParam<typing_case> {};

TEST_P(Ps2KeyTyping, DecodesToExactlyTheseCharacters)
{
    const result r = decode(GetParam().chunks);
    std::string messages;
    std::istringstream codes(GetParam().unknown);
    for (std::string code; codes >> code;)
        messages += "unknown keycode " + code + "\n";
    EXPECT_EQ(r.out, GetParam().out);
    EXPECT_EQ(r.messages, messages);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Keys, Ps2KeyTyping, testing::Values(
    typing_case{"caps_lock_does_nothing", {{0x58, 0x1C, 0xF0, 0x58, 0x58, 0x1C}}, text("aa")},
    typing_case{"either_shift_released_clears_shift",
                {{0x12, 0x59, 0xF0, 0x59, 0x1C, 0x59, 0x12, 0xF0, 0x12, 0x1C}}, text("aa")},
    typing_case{"either_ctrl_or_alt_released_clears_it",
                {{0xE0, 0x14, 0x14, 0xF0, 0x14, 0x1E, 0x14, 0x11, 0xE0, 0x11, 0xE0, 0xF0, 0x11, 0x29}}, {'2', 0}},
    typing_case{"release_of_an_unpressed_modifier", {{0xF0, 0x12, 0x1C}}, text("a")},
    typing_case{"a_key_typing_nothing_leaves_alt_held", {{0x11, 0x00, 0xF0, 0x00, 0x14, 0x29}}, {}},
    typing_case{"E0_00_is_unknown", {{0xE0, 0x00}}, {}, "00"},
    typing_case{"unknown_codes_then_keys", {{0xAA, 0x1C, 0xFA, 0xE1, 0x32}}, text("ab"), "aa fa e1"},
    typing_case{"E0_before_a_plain_key", {{0xE0, 0x12, 0x1C}}, text("a"), "12"},
    typing_case{"release_of_an_unknown_code", {{0xF0, 0xAA, 0xE0, 0xF0, 0x1C}}, {}, "aa 1c"},
    typing_case{"prefixes_in_the_wrong_order", {{0xF0, 0xE0, 0x6B, 0x1C}}, text("a"), "e0 6b"},
    typing_case{"E0_E0_takes_the_second_as_key", {{0xE0, 0xE0, 0x6B}}, {}, "e0 6b"},
    typing_case{"F0_F0", {{0xF0, 0xF0, 0x1C}}, text("a"), "f0"},
    // Prefixes cut off by the end of a chunk wait for the key byte.
    typing_case{"E0_waits", {{0xE0}, {}, {0x6B}}, {128}},
    typing_case{"E0_F0_waits", {{0x12, 0xE0, 0xF0}, {}, {}, {0x6B, 0x1C}}, text("A")},
    typing_case{"F0_after_a_carried_E0_waits", {{0xE0}, {0xF0}, {0x6B}}, {}},
    typing_case{"F0_waits", {{0xF0}, {0x1C}}, {}}),
    decoder_test::case_name<typing_case>);
// clang-format on

// Every key in every modifier state, as tests/golden/ps2_keys.txt (written
// once from the cradle keyboard's key table) says it types: the modifiers of
// the column, left-hand keys and then right-hand ones, held around two makes
// and a break of the key, then the key alone again.
TEST(Ps2KeyTyping, EveryKeyInEveryColumnAsTheGoldenTableSays)
{
    const std::vector<bytes> mods[2] = {{{0x12}, {0x14}, {0x11}}, {{0x59}, {0xE0, 0x14}, {0xE0, 0x11}}};
    auto strike = [](bytes &in, const bytes &key, bool release) {
        in.insert(in.end(), key.begin(), key.end() - 1);
        if (release)
            in.push_back(0xF0);
        in.push_back(key.back());
    };
    int keys = 0, cells = 0;
    for (const std::vector<std::string> &row : golden::rows("ps2_keys.txt")) {
        ASSERT_EQ(row.size(), 9u) << row.at(0);
        const std::string &code = row[0];
        const std::string *says = &row[1];
        bytes key = {static_cast<unsigned char>(std::stoi(code.substr(code.size() - 2), nullptr, 16))};
        if (code.size() == 4)
            key.insert(key.begin(), 0xE0);
        ++keys;
        for (int column = 0; column < 16; ++column) { // 8 to 15: the right-hand modifiers
            const std::string &cell = says[column % 8];
            if (cell != "-" && !std::isdigit(static_cast<unsigned char>(cell[0])))
                continue; // a modifier or Caps Lock: typed nothing, held above
            const std::vector<bytes> &side = mods[column / 8];
            bytes in, expected;
            for (int bit = 0; bit < 3; ++bit)
                if (column & (1 << bit))
                    in.insert(in.end(), side[bit].begin(), side[bit].end());
            strike(in, key, false);
            strike(in, key, false);
            strike(in, key, true);
            for (int bit = 2; bit >= 0; --bit)
                if (column & (1 << bit))
                    strike(in, side[bit], true);
            strike(in, key, false);
            for (const std::string &typed : {cell, cell, says[0]})
                if (typed != "-")
                    expected.push_back(static_cast<unsigned char>(std::stoi(typed)));
            const result r = decode({in});
            EXPECT_EQ(r.out, expected) << "key " << code << ", column " << column;
            EXPECT_EQ(r.messages, "") << "key " << code;
            ++cells;
        }
    }
    EXPECT_EQ(keys, 71);
    EXPECT_EQ(cells, 2 * 512); // all but the 56 cells of the modifier and Caps Lock rows
}

// --- Carry-over between chunks --------------------------------------------

// Typing, extended keys, unknown and misordered sequences and the zero byte,
// ending in an unfinished sequence.
TEST(Ps2KeyCarryOver, EverySplitPointGivesTheSameResult)
{
    bytes s;
    sim::ps2_encode_text("The quick brown fox: 1+1=2?\r\x80\x81\x82\x83\x84\x85\x86\x87~|\x1f", s);
    const bytes odd = {0xAA, 0xE0, 0x12, 0xF0, 0xE0, 0x6B, 0x00, 0xE0, 0x00, 0xF0, 0xAA, 0xFA, 0xE1,
                       0x14, 0x11, 0x29, 0x76, 0x12, 0x29, 0xF0, 0x12, 0xF0, 0x11, 0xF0, 0x14};
    s.insert(s.begin() + 40, odd.begin(), odd.end());
    sim::ps2_encode_text("Ok.", s);
    s.push_back(0xE0);
    s.push_back(0xF0);

    const result whole = decode({s});
    ASSERT_NE(whole.messages, "");
    ASSERT_GT(whole.out.size(), 30u);
    for (std::size_t k = 0; k <= s.size(); ++k) {
        const auto cut = s.begin() + static_cast<std::ptrdiff_t>(k);
        const result split = decode({bytes(s.begin(), cut), bytes(cut, s.end())});
        ASSERT_EQ(split.out, whole.out) << "split at " << k;
        ASSERT_EQ(split.messages, whole.messages) << "split at " << k;
    }
}

// --- Capacity ---------------------------------------------------------------

// A chunk of exactly the room left behind 0, 1 or 2 carried prefix bytes is
// decoded to its last byte in silence; a byte more is dropped and reported.
// The chunk's first byte ends the carried release; its last two, E0 F0, are
// carried on, and the next chunk ends them.
TEST(Ps2KeyCapacity, AChunkOfTheRoomIsKeptWholeAndAByteMoreIsDropped)
{
    for (const bytes &carried : {bytes{}, bytes{0xF0}, bytes{0xE0, 0xF0}}) {
        bytes room(decoder_test::buffer_bytes - carried.size() - 2, 0x1C);
        room[0] = carried.size() == 2 ? 0x6B : 0x1C;
        room.insert(room.end(), {0xE0, 0xF0});
        bytes out(room.size() - 2 - (carried.empty() ? 0 : 1), 'a');
        out.push_back('c');
        const decoder_test::capacity_case c{carried, room, 0x32, {0x6B, 0x21}, out};
        decoder_test::expect_capacity<ps2_decoder>(c, 0, "keyferry: ps2conv: buffer overflow\n");
    }
}

// --- The process-wide instance ----------------------------------------------

// First, whatever an earlier caller left in it: a 00 ends any carried prefix
// (E0 00 is reported unknown), and the releases of Shift, Ctrl and Alt clear
// those modifiers.
TEST(Ps2KeyProcessWide, KeepsItsStateBetweenCalls)
{
    unsigned char reset[] = {0x00, 0xF0, 0x12, 0xF0, 0x14, 0xF0, 0x11};
    testing::internal::CaptureStderr();
    EXPECT_EQ(ps2conv(sizeof reset, reset), 0);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(ps2room(), 8192);

    unsigned char buf[2] = {0x12, 0xE0}, more[2] = {0x6B, 0x1C};
    EXPECT_EQ(ps2conv(2, buf), 0);
    EXPECT_EQ(ps2room(), 8191);
    ASSERT_EQ(ps2conv(2, more), 2);
    EXPECT_EQ(more[0], 128);
    EXPECT_EQ(more[1], 'A');
}

} // namespace
